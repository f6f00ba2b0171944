#include "QtHostDialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QStandardPaths>

namespace {
QWidget* dialogParent() {
    return QApplication::activeWindow();
}

// Wherever the host library is loaded, the clerk's dialogs are the default.
[[maybe_unused]] const bool g_registered = [] {
    static TQtHostDialogs dialogs;
    SetDefaultHostDialogs(&dialogs);
    return true;
}();
} // namespace

void TQtHostDialogs::showError(const QString& text) {
    QPointer<QMessageBox> box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Erro"), text,
                                                QMessageBox::Ok, dialogParent());
    box->exec();
    delete box;
}

int TQtHostDialogs::showMessage(const QString& text, TMsgDlgType type, int buttons) {
    QMessageBox::Icon icon = QMessageBox::Information;
    QString title = QStringLiteral("Informação");
    switch (type) {
    case TMsgDlgType::Warning:
        icon = QMessageBox::Warning;
        title = QStringLiteral("Aviso");
        break;
    case TMsgDlgType::Error:
        icon = QMessageBox::Critical;
        title = QStringLiteral("Erro");
        break;
    case TMsgDlgType::Confirmation:
        icon = QMessageBox::Question;
        title = QStringLiteral("Confirmação");
        break;
    case TMsgDlgType::Information:
        break;
    }
    QMessageBox::StandardButtons sb;
    if (buttons & mbOK)
        sb |= QMessageBox::Ok;
    if (buttons & mbYes)
        sb |= QMessageBox::Yes;
    if (buttons & mbNo)
        sb |= QMessageBox::No;
    if (buttons & mbCancel)
        sb |= QMessageBox::Cancel;
    if (!sb)
        sb = QMessageBox::Ok;
    QPointer<QMessageBox> box = new QMessageBox(icon, title, text, sb, dialogParent());
    int r = box->exec();
    delete box;
    switch (r) {
    case QMessageBox::Ok:
        return mrOk;
    case QMessageBox::Yes:
        return mrYes;
    case QMessageBox::No:
        return mrNo;
    default:
        return mrCancel;
    }
}

QString TQtHostDialogs::chooseSaveFile(const QString& title, const QString& filter) {
    // The folder of the last file saved, else the clerk's documents, never the program's own.
    static QString folder;
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!QFileInfo(folder).isDir())
        folder = QDir::homePath();
    const QString file = QFileDialog::getSaveFileName(dialogParent(), title, folder, filter);
    if (!file.isEmpty())
        folder = QFileInfo(file).absolutePath();
    return file;
}

void TQtHostDialogs::printPreview(QPrinter& printer, const std::function<void(QPrinter*)>& paint) {
    QPointer<QPrintPreviewDialog> dialog = new QPrintPreviewDialog(&printer, dialogParent());
    dialog->setWindowTitle(QStringLiteral("Visualizar Impressão"));
    dialog->resize(900, 1000);
    QObject::connect(dialog, &QPrintPreviewDialog::paintRequested, dialog,
                     [&paint](QPrinter* target) { paint(target); });
    dialog->exec();
    delete dialog;
}

bool TQtHostDialogs::printSetup(QPrinter& printer) {
    QPointer<QPrintDialog> dialog = new QPrintDialog(&printer, dialogParent());
    dialog->setWindowTitle(QStringLiteral("Configurar Impressora"));
    const int r = dialog->exec();
    delete dialog;
    return r == QDialog::Accepted;
}
