#include "HostDialogs.h"

namespace {
IHostDialogs* g_installed = nullptr;
IHostDialogs* g_default = nullptr;
} // namespace

IHostDialogs& HostDialogs() {
    if (g_installed)
        return *g_installed;
    if (g_default)
        return *g_default;
    // Nobody registered dialogs: nothing is shown and every question is cancelled.
    static TScriptedDialogs none;
    return none;
}

void SetHostDialogs(IHostDialogs* dialogs) {
    g_installed = dialogs;
}

void SetDefaultHostDialogs(IHostDialogs* dialogs) {
    g_default = dialogs;
}

bool Pesquisar(TDataSource* source, const QString& title, bool flagA, bool flagB) {
    return HostDialogs().pesquisar(source, title, flagA, flagB);
}

bool PesquisaLista(TDataSource* source, const QString& keyField, const QString& title, bool flag,
                   QString& keys) {
    return HostDialogs().pesquisaLista(source, keyField, title, flag, keys);
}

void Procura(TDataSet* dataset) {
    HostDialogs().procura(dataset);
}

void TScriptedDialogs::showError(const QString& text) {
    shown.append({QStringLiteral("error"), text, int(TMsgDlgType::Error)});
}

int TScriptedDialogs::showMessage(const QString& text, TMsgDlgType type, int buttons) {
    shown.append({QStringLiteral("message"), text, int(type)});
    if (onMessage)
        return onMessage(text, type, buttons);
    return (buttons & mbOK) ? mrOk : mrCancel;
}

bool TScriptedDialogs::pesquisar(TDataSource* source, const QString& title, bool, bool) {
    shown.append({QStringLiteral("pesquisar"), title, 0});
    return onPesquisar ? onPesquisar(source, title) : false;
}

bool TScriptedDialogs::pesquisaLista(TDataSource* source, const QString& keyField,
                                     const QString& title, bool, QString& keys) {
    shown.append({QStringLiteral("pesquisaLista"), title, 0});
    return onPesquisaLista ? onPesquisaLista(source, keyField, title, keys) : false;
}

void TScriptedDialogs::procura(TDataSet* dataset) {
    shown.append({QStringLiteral("procura"), QString(), 0});
    if (onProcura)
        onProcura(dataset);
}

QString TScriptedDialogs::chooseSaveFile(const QString& title, const QString&) {
    shown.append({QStringLiteral("saveFile"), title, 0});
    return onSaveFile ? onSaveFile(title) : QString();
}

bool TScriptedDialogs::printSetup(QPrinter& printer) {
    shown.append({QStringLiteral("printSetup"), QString(), 0});
    return onPrintSetup ? onPrintSetup(printer) : false;
}

QStringList TScriptedDialogs::errors() const {
    QStringList out;
    for (const auto& s : shown)
        if (s.kind == QLatin1String("error"))
            out << s.text;
    return out;
}

QStringList TScriptedDialogs::messages() const {
    QStringList out;
    for (const auto& s : shown)
        if (s.kind == QLatin1String("message"))
            out << s.text;
    return out;
}

int TScriptedDialogs::count(const QString& kind) const {
    int n = 0;
    for (const auto& s : shown)
        n += s.kind == kind;
    return n;
}
