#pragma once
// The clerk's login to the application server: user and password, asked when the server wants
// a session. The user name is remembered between runs; the password never leaves memory.
#include <QDialog>
#include <QSettings>

class QLabel;
class QLineEdit;

class TLoginDialog : public QDialog {
    Q_OBJECT
public:
    // settings: where the last user is remembered.
    TLoginDialog(QSettings& settings, const QString& server, const QString& error,
                 QWidget* parent = nullptr);

    QString user() const;
    QString password() const;
    QLineEdit* userEdit() const { return m_user; }
    QLineEdit* passwordEdit() const { return m_password; }

    void accept() override;

private:
    QSettings& m_settings;
    QLineEdit* m_user;
    QLineEdit* m_password;
    QLabel* m_error;
};

// Installs the dialog as every connection's login prompt, remembering the user in settings.
void installLoginPrompt(QSettings& settings);
