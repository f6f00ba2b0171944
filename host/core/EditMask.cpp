#include "EditMask.h"

namespace {

// Characters a Qt input mask reads as commands; a literal among them is escaped.
const QString kQtSpecial = QStringLiteral("AaNnXx9D0d#HhBb><!\\{}[];");

// The mask's three fields, split at unescaped ';'.
QStringList splitFields(const QString& mask) {
    QStringList fields{QString()};
    for (int i = 0; i < mask.size(); ++i) {
        const QChar c = mask.at(i);
        if (c == QLatin1Char(';') && fields.size() < 3) {
            fields.append(QString());
            continue;
        }
        fields.last() += c;
        if (c == QLatin1Char('\\') && i + 1 < mask.size() && fields.size() == 1)
            fields.last() += mask.at(++i);
    }
    return fields;
}

} // namespace

const QList<TEditMask::TPlaceholder>& TEditMask::Placeholders() {
    using A = TAccepts;
    static const QList<TPlaceholder> table = {
        {QLatin1Char('0'), A::Digit, true, QLatin1Char('9')},
        {QLatin1Char('9'), A::Digit, false, QLatin1Char('0')},
        {QLatin1Char('#'), A::DigitOrSign, false, QLatin1Char('#')},
        {QLatin1Char('L'), A::Letter, true, QLatin1Char('A')},
        {QLatin1Char('l'), A::Letter, false, QLatin1Char('a')},
        {QLatin1Char('A'), A::LetterOrDigit, true, QLatin1Char('N')},
        {QLatin1Char('a'), A::LetterOrDigit, false, QLatin1Char('n')},
        {QLatin1Char('C'), A::Any, true, QLatin1Char('X')},
        {QLatin1Char('c'), A::Any, false, QLatin1Char('x')},
    };
    return table;
}

const TEditMask::TPlaceholder* TEditMask::PlaceholderOf(QChar c) {
    for (const TPlaceholder& p : Placeholders())
        if (p.host == c)
            return &p;
    return nullptr;
}

TEditMask::TEditMask(const QString& hostMask) : m_text(hostMask) {
    const QStringList fields = splitFields(hostMask);
    const QString& body = fields.at(0);
    m_saveLiterals = fields.size() > 1 && fields.at(1) == QLatin1String("1");
    if (fields.size() > 2 && !fields.at(2).isEmpty())
        m_blank = fields.at(2).at(0);
    for (int i = 0; i < body.size(); ++i) {
        const QChar c = body.at(i);
        if (c == QLatin1Char('\\') && i + 1 < body.size()) {
            const QChar literal = body.at(++i);
            m_positions.append({literal, false});
            m_qtBody += QLatin1Char('\\');
            m_qtBody += literal;
            continue;
        }
        if (c == QLatin1Char('<') && i + 1 < body.size() && body.at(i + 1) == QLatin1Char('>')) {
            m_qtBody += QLatin1Char('!'); // case as typed again
            ++i;
            continue;
        }
        if (c == QLatin1Char('>') || c == QLatin1Char('<')) {
            m_qtBody += c;
            continue;
        }
        if (c == QLatin1Char('!')) // Qt has no such switch; what is typed is kept as typed
            continue;
        if (const TPlaceholder* p = PlaceholderOf(c)) {
            m_positions.append({c, true});
            m_qtBody += p->qt;
            continue;
        }
        m_positions.append({c, false});
        if (kQtSpecial.contains(c))
            m_qtBody += QLatin1Char('\\');
        m_qtBody += c;
    }
}

bool TEditMask::IsPlaceholder(int position) const {
    return position >= 0 && position < m_positions.size() && m_positions.at(position).placeholder;
}

int TEditMask::FirstPlaceholder() const {
    for (int i = 0; i < m_positions.size(); ++i)
        if (m_positions.at(i).placeholder)
            return i;
    return 0;
}

QString TEditMask::QtInputMask() const {
    if (IsEmpty())
        return QString();
    return m_qtBody + QLatin1Char(';') + m_blank;
}

QString TEditMask::TypedText(const QString& shown) const {
    if (IsEmpty())
        return shown;
    QString out;
    const int n = std::min(int(m_positions.size()), int(shown.size()));
    for (int i = 0; i < n; ++i)
        if (m_positions.at(i).placeholder && shown.at(i) != m_blank)
            out += shown.at(i);
    return out;
}

QString TEditMask::StoredText(const QString& shown) const {
    if (IsEmpty())
        return shown;
    if (!m_saveLiterals)
        return TypedText(shown);
    QString out = shown;
    for (int i = 0; i < std::min(int(m_positions.size()), int(out.size())); ++i)
        if (m_positions.at(i).placeholder && out.at(i) == m_blank)
            out[i] = QLatin1Char(' ');
    return out;
}

QString TEditMask::Format(const QString& text) const {
    if (IsEmpty())
        return text;
    QString out;
    int pos = 0;
    for (const TPosition& p : m_positions) {
        if (p.placeholder) {
            out += pos < text.size() ? text.at(pos) : m_blank;
            ++pos;
        } else {
            out += p.ch;
            if (m_saveLiterals)
                ++pos;
        }
    }
    return out;
}

QString QtInputMask(const QString& hostMask) {
    return TEditMask(hostMask).QtInputMask();
}
