#pragma once
// An edit mask in the host's form "body;save;blank", parsed once. Every masked control (the
// masked edit, the date edit, the grid's editor) and FormatMaskText read a mask through this
// type, so one mask accepts and stores the same text wherever it is typed.
//
//  body   placeholders (see Placeholders()) take one character each; any other character is a
//         literal, and \ makes the next character a literal. > switches to upper case, < to
//         lower case, <> back to as typed. ! (the host's "trim leading blanks") is accepted
//         and has no effect.
//  save   "1" keeps the literals in the stored text; anything else leaves them out.
//  blank  the character an empty position shows; '_' when not given.
//
// The stored text of what a masked control shows: with save 1 the whole text, each blank read
// as a space ("12/05/    "); otherwise only the characters typed into placeholders, blanks left
// out ("123.4__" -> "1234"). A mask with an empty body is no mask: text stands as it is.
#include "HostExport.h"

#include <QList>
#include <QString>

class FIS_EXPORT TEditMask {
public:
    enum class TAccepts { Digit, DigitOrSign, Letter, LetterOrDigit, Any };
    // One host placeholder: what it accepts, whether the position must be filled, and the Qt
    // input-mask character with the same meaning.
    struct TPlaceholder {
        QChar host;
        TAccepts accepts;
        bool required;
        QChar qt;
    };
    // The host's placeholders: 0 9 # L l A a C c.
    static const QList<TPlaceholder>& Placeholders();
    // The entry for c; nullptr when c is not a placeholder.
    static const TPlaceholder* PlaceholderOf(QChar c);

    TEditMask() = default;
    explicit TEditMask(const QString& hostMask);

    bool IsEmpty() const { return m_positions.isEmpty(); }
    const QString& Text() const { return m_text; } // the mask as given
    bool SaveLiterals() const { return m_saveLiterals; }
    QChar Blank() const { return m_blank; }
    // Positions a control shows (placeholders and literals).
    int Length() const { return int(m_positions.size()); }
    bool IsPlaceholder(int position) const;
    // The first position that takes a typed character; 0 when there is none.
    int FirstPlaceholder() const;

    // The same mask as a QLineEdit input mask ("00/00/0000; " for "!99/99/9999;1; ");
    // empty for no mask.
    QString QtInputMask() const;
    // The characters typed into placeholders of shown (a control's text with its blanks),
    // blanks left out.
    QString TypedText(const QString& shown) const;
    // What is stored from shown, by the save flag (see above).
    QString StoredText(const QString& shown) const;
    // Lays text into the mask as a control shows it: each placeholder takes the next character
    // (the blank when text is used up); with save 1 each literal also consumes one.
    QString Format(const QString& text) const;

private:
    struct TPosition {
        QChar ch; // the literal, or the host placeholder
        bool placeholder;
    };
    QString m_text;
    QList<TPosition> m_positions;
    QString m_qtBody;
    bool m_saveLiterals = false;
    QChar m_blank = QLatin1Char('_');
};

// TEditMask(hostMask).QtInputMask().
FIS_EXPORT QString QtInputMask(const QString& hostMask);
