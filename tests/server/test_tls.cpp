// TLS between client and server, with certificates made by scripts/office-cert: the office CA or
// the pinned certificate lets the client in; plain clients, other CAs and other pins are
// refused, and so is a TLS client at a plain server. A server refuses a network address
// without TLS.
#include "Fis98100Contracts.h"
#include "ServerFixture.h"

#include <QtTest>

class TestTls : public TServerFixture {
    Q_OBJECT

    QString m_certs, m_otherCerts;

    // Runs scripts/office-cert into dir; gives the server's SHA-256 fingerprint as printed.
    static QString makeCerts(const QString& dir) {
        QProcess p;
        p.start(qEnvironmentVariable("FIS_SOURCE_DIR") + QStringLiteral("/scripts/office-cert"),
                {dir, QStringLiteral("localhost"), QStringLiteral("127.0.0.1")});
        p.waitForFinished(60000);
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        if (p.exitCode() != 0)
            return {};
        return out.section(QStringLiteral("SHA-256 do servidor: "), 1).trimmed();
    }

    TServerAnswer callWith(const TTlsSettings& tls, int port) {
        TNetConnection con;
        con.setHost(QStringLiteral("127.0.0.1"));
        con.setPort(port);
        con.setServerName(kObject);
        con.setConnectTimeoutMs(10000);
        con.setTlsSettings(tls);
        QString flag = QStringLiteral("T");
        return GetTipoOper(con, flag);
    }

    QString m_fingerprint;

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_certs = m_dir.filePath(QStringLiteral("certs"));
        m_otherCerts = m_dir.filePath(QStringLiteral("other"));
        m_fingerprint = makeCerts(m_certs);
        QVERIFY2(m_fingerprint.count(QLatin1Char(':')) == 31, qPrintable(m_fingerprint));
        QVERIFY(!makeCerts(m_otherCerts).isEmpty());
        m_serverArgs = {QStringLiteral("--tls-cert"), m_certs + QStringLiteral("/server.pem"),
                        QStringLiteral("--tls-key"), m_certs + QStringLiteral("/server.key")};
        startServer();
        QVERIFY(m_log.contains(QStringLiteral(", TLS")));
    }
    void cleanupTestCase() { stopServer(); }

    void officeCaOrPinAccepted() {
        TTlsSettings ca{true, m_certs + QStringLiteral("/office-ca.pem"), {}};
        TServerAnswer a = callWith(ca, m_port);
        QVERIFY2(a.ok, qPrintable(a.error));
        QVERIFY(!TDataPacket::fromCbor(a.payload).rows.isEmpty());
        TTlsSettings pin{true, {}, m_fingerprint};
        a = callWith(pin, m_port);
        QVERIFY2(a.ok, qPrintable(a.error));
        // Lower case without colons is the same pin.
        pin.fingerprint = m_fingerprint.toLower().remove(QLatin1Char(':'));
        QVERIFY(callWith(pin, m_port).ok);
    }

    void wrongCertificateRefused() {
        TTlsSettings otherCa{true, m_otherCerts + QStringLiteral("/office-ca.pem"), {}};
        TServerAnswer a = callWith(otherCa, m_port);
        QVERIFY(!a.ok);
        QVERIFY2(a.error.contains(QStringLiteral("certificado do servidor recusado")),
                 qPrintable(a.error));
        // Neither CA nor pin: nothing is trusted, not even what the system's list would take.
        a = callWith(TTlsSettings{true, {}, {}}, m_port);
        QVERIFY(!a.ok);
        QVERIFY2(a.error.contains(QStringLiteral("certificado do servidor recusado: nenhuma AC")),
                 qPrintable(a.error));
        QString otherPin = m_fingerprint;
        otherPin.replace(0, 2,
                         otherPin.startsWith(QStringLiteral("00")) ? QStringLiteral("11")
                                                                   : QStringLiteral("00"));
        a = callWith(TTlsSettings{true, {}, otherPin}, m_port);
        QVERIFY(!a.ok);
        QVERIFY2(a.error.contains(QStringLiteral("impressão digital")), qPrintable(a.error));
        // The right CA with the wrong pin is refused too.
        a = callWith(TTlsSettings{true, m_certs + QStringLiteral("/office-ca.pem"), otherPin},
                     m_port);
        QVERIFY(!a.ok);
    }

    void plainClientCannotTalkToTlsServer() {
        const TServerAnswer a = callWith(TTlsSettings{}, m_port);
        QVERIFY(!a.ok);
        QVERIFY(a.payload.isUndefined() || a.payload.isNull());
        QTRY_VERIFY_WITH_TIMEOUT(m_log.contains(QStringLiteral("erro: TLS:")), 10000);
    }

    void tlsClientCannotTalkToPlainServer() {
        QProcess plain;
        QString log;
        connect(&plain, &QProcess::readyReadStandardError, this,
                [&] { log += QString::fromUtf8(plain.readAllStandardError()); });
        plain.start(qEnvironmentVariable("FIS_BINARY_DIR") + QStringLiteral("/bin/fis98100-server"),
                    {QStringLiteral("--database"), m_location, QStringLiteral("--port"),
                     QStringLiteral("0")});
        static const QRegularExpression listening(
            QStringLiteral("escutando em 127\\.0\\.0\\.1:(\\d+)"));
        QTRY_VERIFY_WITH_TIMEOUT(listening.match(log).hasMatch(), 30000);
        const int port = listening.match(log).captured(1).toInt();
        const TServerAnswer a =
            callWith(TTlsSettings{true, m_certs + QStringLiteral("/office-ca.pem"), {}}, port);
        QVERIFY(!a.ok);
        QVERIFY2(a.error.contains(QStringLiteral("Não foi possível conectar")),
                 qPrintable(a.error));
        // The same server answers a plain client.
        QVERIFY(callWith(TTlsSettings{}, port).ok);
        plain.terminate();
        plain.waitForFinished(10000);
    }

    void networkAddressNeedsTls() {
        QProcess p;
        p.start(qEnvironmentVariable("FIS_BINARY_DIR") + QStringLiteral("/bin/fis98100-server"),
                {QStringLiteral("--database"), m_location, QStringLiteral("--listen"),
                 QStringLiteral("0.0.0.0"), QStringLiteral("--port"), QStringLiteral("0")});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 1);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(err.contains(QStringLiteral("sem TLS")) &&
                     err.contains(QStringLiteral("--insecure-network")),
                 qPrintable(err));
        // Half a TLS set-up is refused, not served in clear.
        p.start(qEnvironmentVariable("FIS_BINARY_DIR") + QStringLiteral("/bin/fis98100-server"),
                {QStringLiteral("--database"), m_location, QStringLiteral("--port"),
                 QStringLiteral("0"), QStringLiteral("--tls-cert"),
                 m_certs + QStringLiteral("/server.pem")});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 1);
    }
};

QTEST_MAIN(TestTls)
#include "test_tls.moc"
