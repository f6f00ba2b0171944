// The server's database connection lost under it (the attachment killed from outside, as a
// database restart or an administrator does): the statements it kept prepared die with it, and
// the server opens a new connection instead of crashing or failing forever. A read runs again
// at once; a write answers a clear failure and the next one works. A client that goes away in
// the middle of a large answer costs the others nothing.
#include "ServerFixture.h"

#include "Fis98100Contracts.h"
#include "core/DataPacket.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QtTest>

class TestRecovery : public TServerFixture {
    Q_OBJECT
private slots:
    void initTestCase() { startServer(); }
    void cleanupTestCase() { stopServer(); }

    void readsSurviveALostDatabaseConnection();
    void writeAfterALostConnectionRunsOnceOnANewOne();
    void clientGoneInTheMiddleOfAnAnswer();

private:
    // Ends every attachment but the test's own: the server's connection is gone.
    int killServerAttachments();
    QString paramFiscalRow();
};

int TestRecovery::killServerAttachments() {
    QSqlQuery q(db());
    if (!q.exec(QStringLiteral("DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID <> "
                               "CURRENT_CONNECTION AND MON$SYSTEM_FLAG = 0")))
        qFatal("%s", qPrintable(q.lastError().text()));
    return q.numRowsAffected();
}

QString TestRecovery::paramFiscalRow() {
    const TServerAnswer a = GetParamFiscal(m_con);
    if (!a.ok)
        return QStringLiteral("erro: ") + a.error;
    const TDataPacket p = TDataPacket::fromCbor(a.payload);
    return p.rows.value(0).value(0).toString();
}

void TestRecovery::readsSurviveALostDatabaseConnection() {
    const QString expected = paramFiscalRow();
    QVERIFY2(!expected.startsWith(QStringLiteral("erro")), qPrintable(expected));
    QString flag = QStringLiteral("T");
    for (int round = 0; round < 3; ++round) {
        QVERIFY(killServerAttachments() >= 1);
        // The kept statements and transaction belonged to the killed attachment.
        QCOMPARE(paramFiscalRow(), expected);
        const TServerAnswer tipos = GetTipoOper(m_con, flag);
        QVERIFY2(tipos.ok, qPrintable(tipos.error));
        QVERIFY(!TDataPacket::fromCbor(tipos.payload).rows.isEmpty());
        TFilter f;
        f.emp = QStringLiteral("01");
        const TServerAnswer notas = notaFiscal(f);
        QVERIFY2(notas.ok, qPrintable(notas.error));
        QVERIFY(!rowsOf(notas).isEmpty());
    }
    QCOMPARE(m_server.state(), QProcess::Running);
}

void TestRecovery::writeAfterALostConnectionRunsOnceOnANewOne() {
    const auto it = std::find_if(m_all.begin(), m_all.end(), [](const TNote& n) {
        return n.imposto == QLatin1String("01") && n.status == QLatin1String("N") && n.valor > 0;
    });
    QVERIFY(it != m_all.end());
    const TNote n = *it;
    auto stored = [&](const QString& hist) {
        return count(QStringLiteral("SELECT COUNT(*) FROM IMPOSTONF WHERE CDFILIAL = '%1' AND "
                                    "NRLANCTONF = '%2' AND CDIMPOSTONFE = '%3' AND "
                                    "DSHISTGUIAPAGDOC = '%4'")
                         .arg(n.filial, n.lancto, n.imposto, hist));
    };
    auto save = [&](const QString& hist) {
        QString tax = n.imposto;
        return setDarfDoc(m_con, n.filial, n.lancto, tax, QStringLiteral("N"), 1.0, 2.0,
                          QStringLiteral("30/09/2026"), hist, QString(), QStringLiteral("5123"));
    };
    QVERIFY(save(QStringLiteral("antes")).ok);
    QVERIFY(killServerAttachments() >= 1);
    // The session's account check reads first and finds the attachment gone, so the write
    // starts on a new one and runs exactly once.
    const TServerAnswer during = save(QStringLiteral("durante"));
    QVERIFY2(during.ok, qPrintable(during.error));
    QCOMPARE(stored(QStringLiteral("durante")), 1);
    const TServerAnswer again = save(QStringLiteral("depois"));
    QVERIFY2(again.ok, qPrintable(again.error));
    QCOMPARE(stored(QStringLiteral("depois")), 1);
    // The log keeps the database's own text.
    QTRY_VERIFY(m_log.contains(QStringLiteral("setDarfDoc")));
}

void TestRecovery::clientGoneInTheMiddleOfAnAnswer() {
    for (int i = 0; i < 5; ++i) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, quint16(m_port));
        QVERIFY(s.waitForConnected(5000));
        s.write(request(1, QStringLiteral("GetNotaFiscal"),
                        {QStringLiteral("01"), QString(), QString(), QStringLiteral("T"), QString(),
                         QString(), QCborValue(QCborValue::Null), QCborValue(QCborValue::Null),
                         QCborValue(QCborValue::Null), QCborValue(QCborValue::Null), QString(),
                         QStringLiteral("01")}));
        QVERIFY(s.waitForBytesWritten(5000));
        // The first bytes of the answer, then gone without reading the rest.
        QVERIFY(s.waitForReadyRead(10000));
        s.read(100);
        s.abort();
    }
    QVERIFY(!paramFiscalRow().startsWith(QStringLiteral("erro")));
    QCOMPARE(m_server.state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestRecovery)
#include "test_recovery.moc"
