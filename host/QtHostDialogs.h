#pragma once
// The dialogs a clerk sees: message boxes, the search list, the multi-select list, the find
// dialog and the file chooser.
#include "HostDialogs.h"

class FIS_EXPORT TQtHostDialogs : public IHostDialogs {
public:
    void showError(const QString& text) override;
    int showMessage(const QString& text, TMsgDlgType type, int buttons) override;
    bool pesquisar(TDataSource* source, const QString& title, bool flagA, bool flagB) override;
    bool pesquisaLista(TDataSource* source, const QString& keyField, const QString& title,
                       bool flag, QString& keys) override;
    void procura(TDataSet* dataset) override;
    QString chooseSaveFile(const QString& title, const QString& filter) override;
    bool printSetup(QPrinter& printer) override;
    void printPreview(QPrinter& printer, const std::function<void(QPrinter*)>& paint) override;
};
