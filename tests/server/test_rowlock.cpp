// A save and an issue of the same guide wait for each other: a colleague who keeps saving a note
// delays its issue but does not refuse it, and a row held past the bound ends the wait with a
// clear refusal instead of a call that never answers.
#include "ServerFixture.h"

#include "DataAccess.h"
#include "Fis98100Contracts.h"
#include "FisDatabase.h"
#include "core/Frame.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>
#include <atomic>
#include <thread>

using namespace FisServer;

class TestRowLock : public TServerFixture {
    Q_OBJECT
private slots:
    void initTestCase() {
        m_serverArgs = {QStringLiteral("--lock-wait"), QStringLiteral("3")};
        startServer();
    }
    void cleanupTestCase() { stopServer(); }

    void busyColleagueDoesNotRefuseTheIssue();
    void rowHeldPastTheBoundIsRefused();
    void lockWaitIsCancelledAndTheConnectionClosed();
};

// A colleague's screen saving the same note over and over while the clerk issues it.
void TestRowLock::busyColleagueDoesNotRefuseTheIssue() {
    QList<TNote> notes;
    for (const TNote& n : m_all)
        if (n.empresa == QLatin1String("03") && n.imposto == QLatin1String("01") &&
            n.status == QLatin1String("N") && n.valor > 0 && notes.size() < 8)
            notes << n;
    QCOMPARE(notes.size(), 8);
    for (const TNote& n : notes) {
        std::atomic<bool> stop{false};
        std::atomic<int> saves{0}, failures{0};
        const QByteArray save =
            request(1, QStringLiteral("setDarfDoc"),
                    {n.filial, n.lancto, n.imposto, QStringLiteral("N"), 0.0, 0.0,
                     QStringLiteral("30/09/2026"), QString(), QString(), QStringLiteral("5123")});
        const quint16 port = quint16(m_port);
        std::thread colleague([&] {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, port);
            if (!s.waitForConnected(5000))
                return;
            while (!stop) {
                s.write(save);
                TFrameReader reader;
                QCborValue item;
                while (reader.next(item) != TFrameReader::Status::Item) {
                    if (!s.waitForReadyRead(30000))
                        return;
                    reader.readFrom(&s);
                }
                if (item.toMap().value(QStringLiteral("result")).isBool())
                    ++saves;
                else
                    ++failures;
            }
        });
        // Let the colleague get going.
        QTRY_VERIFY(saves > 3);
        const TDarfBarcode darf = composed(n, 0, 0);
        QString tax = n.imposto, bar = darf.STBARRAGUIA, line = darf.STLINHADIGI;
        const int before = saves;
        const TServerAnswer a =
            GeraContaPagar(m_con, n.empresa, tax, payable(n, 0, 0, bar, line), bar, line, {});
        const int during = saves - before;
        stop = true;
        colleague.join();
        QVERIFY2(a.ok && a.payload.isArray(),
                 qPrintable(a.ok ? a.payload.toDiagnosticNotation() : a.error));
        QCOMPARE(TDataPacket::fromCbor(a.payload.toArray()[0]).rows[0].mid(0, 2),
                 (QVariantList{QStringLiteral("MSG"), QStringLiteral("CONTAPAGAR_OK")}));
        // Nor was the colleague refused: saving an issued guide again with its own values is
        // accepted.
        QCOMPARE(failures.load(), 0);
        qInfo("%s: %d saves of the colleague during the issue", qPrintable(n.key()), during);
    }
    QTest::qWait(100);
    qInfo("issues after a conflict: %lld of 8",
          qint64(m_log.count(QStringLiteral("CONTAPAGAR_OK (após conflito de transação)"))));
}

// A transaction that holds the guide longer than the bound (a tool left open): the issue gives
// up after the bound with the clerk's text, and the server serves on.
void TestRowLock::rowHeldPastTheBoundIsRefused() {
    const auto it = std::find_if(m_all.begin(), m_all.end(), [](const TNote& n) {
        return n.empresa == QLatin1String("04") && n.imposto == QLatin1String("01") &&
               n.status == QLatin1String("N") && n.valor > 0;
    });
    QVERIFY(it != m_all.end());
    const TNote n = *it;
    QSqlDatabase d = db();
    QVERIFY(d.transaction());
    QSqlQuery hold(d);
    QVERIFY2(hold.exec(QStringLiteral("UPDATE IMPOSTONF SET VRMULTAGUIA = 0 WHERE CDFILIAL = '%1'"
                                      " AND NRLANCTONF = '%2' AND CDIMPOSTONFE = '01'")
                           .arg(n.filial, n.lancto)),
             qPrintable(hold.lastError().text()));
    const TDarfBarcode darf = composed(n, 0, 0);
    QString tax = n.imposto, bar = darf.STBARRAGUIA, line = darf.STLINHADIGI;
    const TServerAnswer a =
        GeraContaPagar(m_con, n.empresa, tax, payable(n, 0, 0, bar, line), bar, line, {});
    QString saveTax = n.imposto;
    const TServerAnswer s = setDarfDoc(m_con, n.filial, n.lancto, saveTax, QStringLiteral("N"), 1.0,
                                       0, QString(), QString(), QString(), QString());
    hold.finish();
    QVERIFY(d.rollback());
    QVERIFY2(a.ok && a.payload.isString(), qPrintable(a.error));
    QCOMPARE(a.payload.toString(),
             QStringLiteral("Conta a pagar: a guia da nota %1/%2 está sendo alterada por outro "
                            "usuário; tente novamente.")
                 .arg(n.filial, n.lancto));
    QVERIFY(!s.ok);
    QCOMPARE(s.error, QStringLiteral("setDarfDoc: a guia da nota %1/%2 está sendo alterada por "
                                     "outro usuário; tente novamente.")
                          .arg(n.filial, n.lancto));
    QTRY_VERIFY(m_log.contains(
        QStringLiteral("recusado: Conta a pagar: a guia da nota %1/%2").arg(n.filial, n.lancto)));
    QVERIFY(m_log.contains(QStringLiteral("(espera pelo bloqueio esgotada)")));
    // Once the row is free, the same connection issues it.
    const TServerAnswer again =
        GeraContaPagar(m_con, n.empresa, tax, payable(n, 0, 0, bar, line), bar, line, {});
    QVERIFY2(again.ok && again.payload.isArray(),
             qPrintable(again.ok ? again.payload.toDiagnosticNotation() : again.error));
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR WHERE CDFILIAL = '%1' AND "
                                  "NRLANCTONF = '%2' AND CDIMPOSTONFE = '01'")
                       .arg(n.filial, n.lancto)),
             1);
}

// In the data access itself: the statement waiting on the lock is cancelled at the bound, the
// attempt ends as a lock timeout, and the connection, which may still carry the cancellation,
// is closed.
void TestRowLock::lockWaitIsCancelledAndTheConnectionClosed() {
    const TNote n = m_all.last();
    const QString where = QStringLiteral(" WHERE CDFILIAL = '%1' AND NRLANCTONF = '%2' AND "
                                         "CDIMPOSTONFE = '%3'")
                              .arg(n.filial, n.lancto, n.imposto);
    QSqlDatabase holder = db();
    QVERIFY(holder.transaction());
    QSqlQuery hold(holder);
    QVERIFY(hold.exec(QStringLiteral("UPDATE IMPOSTONF SET VRJUROGUIA = VRJUROGUIA") + where));
    QSqlDatabase waiter = FisDb::openConnection(m_location, QStringLiteral("waiter"));
    setLockWaitMs(500);
    QElapsedTimer t;
    t.start();
    const TRetried<int> r = retryOnConflict<int>(waiter, [&](TTransaction&) {
        TQuery q(waiter, QStringLiteral("SELECT IDSTATUSGUIA FROM IMPOSTONF") + where +
                             QStringLiteral(" WITH LOCK"));
        q.execLocking(QStringLiteral("ler a guia"));
        return 1;
    });
    const qint64 waited = t.elapsed();
    setLockWaitMs(10000);
    hold.finish();
    QVERIFY(holder.rollback());
    QVERIFY(!r.value);
    QVERIFY(r.lockTimedOut);
    QCOMPARE(r.attempts, 1);
    QVERIFY2(waited >= 500, qPrintable(QString::number(waited)));
    QVERIFY(!waiter.isOpen());
    // Opened again, it works as any connection.
    QVERIFY(waiter.open());
    QSqlQuery q(waiter);
    QVERIFY(q.exec(QStringLiteral("SELECT COUNT(*) FROM IMPOSTONF") + where) && q.next());
    QCOMPARE(q.value(0).toInt(), 1);
    q.finish();
    waiter.close();
    waiter = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("waiter"));
}

QTEST_GUILESS_MAIN(TestRowLock)
#include "test_rowlock.moc"
