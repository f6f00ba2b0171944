#include "Messages.h"

#include "core/HostExceptions.h"

QString TMessages::Msg(const QString& key) const {
    const QString prefix = key + QLatin1Char('|');
    for (const QString& line : m_lines)
        if (line.startsWith(prefix))
            return line.mid(prefix.size());
    return key;
}

bool TMessages::hasKey(const QString& key) const {
    const QString prefix = key + QLatin1Char('|');
    for (const QString& line : m_lines)
        if (line.startsWith(prefix))
            return true;
    return false;
}

int TMessages::ShowMsg(const QString& key, TMsgDlgType type, int buttons, int) const {
    return HostDialogs().showMessage(Msg(key), type, buttons);
}

void MensErro(const QString& text, bool abort) {
    HostDialogs().showError(text);
    if (abort)
        throw EAbort();
}

void Abort() {
    throw EAbort();
}
