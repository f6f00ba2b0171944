#pragma once
// Every modal interaction of the host goes through IHostDialogs. The Qt implementation
// (QtHostDialogs) registers itself as the default when the host library loads; tests install
// TScriptedDialogs, which records what was shown and answers as told, so that no test waits for
// a person. This interface knows no implementation.
#include "core/HostExport.h"

#include <QList>
#include <QString>
#include <functional>

class QPrinter;
class QWidget;
class TDataSource;
class TDataSet;

enum class TMsgDlgType { Warning, Error, Information, Confirmation };
enum TMsgDlgButton { mbOK = 1, mbYes = 2, mbNo = 4, mbCancel = 8 };
enum TModalResult { mrNone = 0, mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };

class FIS_EXPORT IHostDialogs {
public:
    virtual ~IHostDialogs() = default;
    virtual void showError(const QString& text) = 0;
    // Returns the modal result of the button chosen.
    virtual int showMessage(const QString& text, TMsgDlgType type, int buttons) = 0;
    // Modal search over source; true when a row was chosen (it is then the current row).
    virtual bool pesquisar(TDataSource* source, const QString& title, bool flagA, bool flagB) = 0;
    // Modal multi-select over source; on OK leaves the chosen values of keyField in keys.
    virtual bool pesquisaLista(TDataSource* source, const QString& keyField, const QString& title,
                               bool flag, QString& keys) = 0;
    // Find dialog over dataset: positions it on the row found.
    virtual void procura(TDataSet* dataset) = 0;
    // A file to save to; empty when cancelled.
    virtual QString chooseSaveFile(const QString& title, const QString& filter) = 0;
    // Printer set-up on printer; true when confirmed (printer then holds the choice).
    virtual bool printSetup(QPrinter& printer) = 0;
};

FIS_EXPORT IHostDialogs& HostDialogs();

// The host's search facilities under the names screens call them by; each goes to HostDialogs().
// Modal search over source; true when a row was chosen, which is then current.
FIS_EXPORT bool Pesquisar(TDataSource* source, const QString& title, bool flagA, bool flagB);
// Modal multi-select; on OK leaves the chosen values of keyField in keys.
FIS_EXPORT bool PesquisaLista(TDataSource* source, const QString& keyField, const QString& title,
                              bool flag, QString& keys);
// Find dialog over dataset.
FIS_EXPORT void Procura(TDataSet* dataset);
// Installs dialogs (not owned); nullptr restores the default.
FIS_EXPORT void SetHostDialogs(IHostDialogs* dialogs);
// The dialogs HostDialogs() gives while none are installed (not owned). Without a default
// nothing is shown and every question is cancelled.
FIS_EXPORT void SetDefaultHostDialogs(IHostDialogs* dialogs);

// Dialogs for tests: every call is recorded; answers come from the handlers set, or defaults
// (cancel / no row chosen / empty file name / set-up cancelled).
class FIS_EXPORT TScriptedDialogs : public IHostDialogs {
public:
    struct Shown {
        QString kind; // "error", "message", "pesquisar", "pesquisaLista", "procura", "saveFile",
                      // "printSetup"
        QString text; // message text or title
        int type = 0;
    };
    QList<Shown> shown;
    std::function<int(const QString&, TMsgDlgType, int)> onMessage;
    std::function<bool(TDataSource*, const QString&)> onPesquisar;
    std::function<bool(TDataSource*, const QString&, const QString&, QString&)> onPesquisaLista;
    std::function<void(TDataSet*)> onProcura;
    std::function<QString(const QString&)> onSaveFile;
    std::function<bool(QPrinter&)> onPrintSetup;

    void showError(const QString& text) override;
    int showMessage(const QString& text, TMsgDlgType type, int buttons) override;
    bool pesquisar(TDataSource* source, const QString& title, bool, bool) override;
    bool pesquisaLista(TDataSource* source, const QString& keyField, const QString& title, bool,
                       QString& keys) override;
    void procura(TDataSet* dataset) override;
    QString chooseSaveFile(const QString& title, const QString& filter) override;
    bool printSetup(QPrinter& printer) override;

    QStringList errors() const;   // texts of the errors shown, in order
    QStringList messages() const; // texts of the other messages shown, in order
    int count(const QString& kind) const;
    void clear() { shown.clear(); }
};

// Installs a scripted implementation for the lifetime of the object.
class FIS_EXPORT TScopedDialogs {
public:
    explicit TScopedDialogs(IHostDialogs* d) { SetHostDialogs(d); }
    ~TScopedDialogs() { SetHostDialogs(nullptr); }
};
