// The client's login dialog: the last user comes back filled in, the server's refusal is shown,
// and the password is handed over but written nowhere.
#include "LoginDialog.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class TestLoginDialog : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void userRememberedPasswordNever() {
        const QString path = m_dir.filePath(QStringLiteral("client.ini"));
        {
            QSettings settings(path, QSettings::IniFormat);
            TLoginDialog dlg(settings, QStringLiteral("srv:21981"),
                             QStringLiteral("Usuário ou senha inválidos."));
            QVERIFY(dlg.userEdit()->text().isEmpty());
            QCOMPARE(dlg.passwordEdit()->echoMode(), QLineEdit::Password);
            QCOMPARE(dlg.findChild<QLabel*>(QStringLiteral("lblErro"))->text(),
                     QStringLiteral("Usuário ou senha inválidos."));
            QTimer::singleShot(0, &dlg, [&] {
                dlg.userEdit()->setText(QStringLiteral(" maria "));
                dlg.passwordEdit()->setText(QStringLiteral("s3nha-secreta"));
                dlg.accept();
            });
            QCOMPARE(dlg.exec(), int(QDialog::Accepted));
            QCOMPARE(dlg.user(), QStringLiteral("maria"));
            QCOMPARE(dlg.password(), QStringLiteral("s3nha-secreta"));
        }
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray stored = f.readAll();
        QVERIFY2(stored.contains("User=maria"), stored.constData());
        QVERIFY2(!stored.contains("s3nha"), stored.constData());

        // The next dialog starts from the remembered user; cancelling remembers nothing new.
        QSettings again(path, QSettings::IniFormat);
        TLoginDialog next(again, QStringLiteral("srv:21981"), QString());
        QCOMPARE(next.user(), QStringLiteral("maria"));
        QVERIFY(next.password().isEmpty());
        QTimer::singleShot(0, &next, [&] {
            next.userEdit()->setText(QStringLiteral("outro"));
            next.reject();
        });
        QCOMPARE(next.exec(), int(QDialog::Rejected));
        QCOMPARE(QSettings(path, QSettings::IniFormat).value(QStringLiteral("Login/User")),
                 QVariant(QStringLiteral("maria")));
    }
};

QTEST_MAIN(TestLoginDialog)
#include "test_logindialog.moc"
