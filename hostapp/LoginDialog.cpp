#include "LoginDialog.h"

#include "host/BusyIndicator.h"
#include "host/Connection.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

namespace {
const QString kUserKey = QStringLiteral("Login/User");
}

TLoginDialog::TLoginDialog(QSettings& settings, const QString& server, const QString& error,
                           QWidget* parent)
    : QDialog(parent), m_settings(settings) {
    setObjectName(QStringLiteral("dlgLogin"));
    setWindowTitle(QStringLiteral("Entrar no servidor de aplicação"));
    auto* form = new QFormLayout(this);
    form->addRow(new QLabel(QStringLiteral("Servidor: %1").arg(server), this));
    m_user = new QLineEdit(settings.value(kUserKey).toString(), this);
    m_user->setObjectName(QStringLiteral("edtUsuario"));
    m_user->setMaxLength(31);
    m_password = new QLineEdit(this);
    m_password->setObjectName(QStringLiteral("edtSenha"));
    m_password->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("Usuário:"), m_user);
    form->addRow(QStringLiteral("Senha:"), m_password);
    m_error = new QLabel(error, this);
    m_error->setObjectName(QStringLiteral("lblErro"));
    m_error->setWordWrap(true);
    m_error->setStyleSheet(QStringLiteral("color: #a00000"));
    form->addRow(m_error);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("Entrar"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Cancelar"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    form->addRow(buttons);
    (m_user->text().isEmpty() ? m_user : m_password)->setFocus();
}

QString TLoginDialog::user() const {
    return m_user->text().trimmed();
}

QString TLoginDialog::password() const {
    return m_password->text();
}

void TLoginDialog::accept() {
    // The user only: the password is handed to the connection and forgotten.
    m_settings.setValue(kUserKey, user());
    m_settings.sync();
    QDialog::accept();
}

void installLoginPrompt(QSettings& settings) {
    TSocketConnection::setDefaultLoginPrompt(
        [&settings](const QString& server, const QString& error, QString& user, QString& password) {
            TLoginDialog dlg(settings, server, error, QApplication::activeWindow());
            // The call waits on the clerk now, not on the server: the busy box steps aside.
            const QPointer<QWidget> busy = BusyOverlay();
            if (busy)
                busy->hide();
            const int answer = dlg.exec();
            if (busy)
                busy->show();
            if (answer != QDialog::Accepted)
                return false;
            user = dlg.user();
            password = dlg.password();
            dlg.passwordEdit()->clear();
            return true;
        });
}
