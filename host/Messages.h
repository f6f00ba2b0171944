#pragma once
// A screen's keyed message table: lines "key|text"; code fetches texts by key.
#include "HostDialogs.h"

#include <QStringList>

class FIS_EXPORT TMessages {
public:
    TMessages() = default;
    explicit TMessages(const QStringList& lines) : m_lines(lines) {}
    void setLines(const QStringList& lines) { m_lines = lines; }
    void addLines(const QStringList& lines) { m_lines += lines; }
    const QStringList& lines() const { return m_lines; }
    // The text of the first line of that key (exact, case-sensitive). A missing key gives the
    // key itself, so that a forgotten line still shows something recognisable.
    QString Msg(const QString& key) const;
    bool hasKey(const QString& key) const;
    // Shows the text of key in a dialog; returns the modal result.
    int ShowMsg(const QString& key, TMsgDlgType type, int buttons, int helpContext = 0) const;

private:
    QStringList m_lines;
};

// Shows text as an error; with abort true it then ends the running action (silent abort).
FIS_EXPORT void MensErro(const QString& text, bool abort);
// Ends the running action without a message.
[[noreturn]] FIS_EXPORT void Abort();
