// Two application servers on one database, clients spread over both: every method answers
// through either, a note issued through both at the same moment gets one payable, a save through
// one is seen through the other, and stopping one leaves the other serving.
#include "OfficeFixture.h"

#include "Fis98100Contracts.h"
#include "core/Services.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <QtTest>
#include <algorithm>

class TestTwoServers : public TOfficeFixture {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase() { closeOffice(); }

    void everyMethodAnswersThroughBoth();
    void oneNoteIssuedThroughBothAtOnce();
    void aSaveThroughOneIsSeenThroughTheOther();
    void stoppingOneLeavesTheOtherServing();

private:
    // Unissued guides of a tax with payable settings, skipping those already taken.
    QList<TNote> freeGuides(const QString& tax, int n);
    QCborArray issueArgs(const TNote& n);

    QSet<QString> m_taken;
};

void TestTwoServers::initTestCase() {
    createOffice();
    if (QTest::currentTestFailed())
        return;
    for (int k = 0; k < 2 && !QTest::currentTestFailed(); ++k)
        startAppServer();
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(m_servers[0]->port != m_servers[1]->port);
    qInfo("database %s", qPrintable(m_location));
}

QList<TNote> TestTwoServers::freeGuides(const QString& tax, int n) {
    QList<TNote> out;
    for (const TNote& note : std::as_const(m_all))
        if (out.size() < n && note.imposto == tax && note.status == QLatin1String("N") &&
            note.valor > 0 && !m_taken.contains(note.key())) {
            m_taken.insert(note.key());
            out << note;
        }
    return out;
}

QCborArray TestTwoServers::issueArgs(const TNote& n) {
    const TDarfBarcode darf = composed(n, 0, 0);
    return {n.empresa,
            n.imposto,
            payable(n, 0, 0, darf.STBARRAGUIA, darf.STLINHADIGI).toCbor(),
            darf.STBARRAGUIA,
            darf.STLINHADIGI,
            QString()};
}

void TestTwoServers::everyMethodAnswersThroughBoth() {
    const QList<TNote> guides = freeGuides(QStringLiteral("05"), 2);
    QCOMPARE(guides.size(), 2);
    for (int s = 0; s < 2; ++s) {
        auto con = connectTo(s);
        QVERIFY2(con->connected(), qPrintable(con->lastError()));
        QString flag = QStringLiteral("T");
        TServerAnswer a = GetTipoOper(*con, flag);
        QVERIFY2(a.ok && !TDataPacket::fromCbor(a.payload).rows.isEmpty(), qPrintable(a.error));
        flag = QStringLiteral("E");
        a = GetSerie(*con, QString(), QString(), QString(), flag);
        QVERIFY2(a.ok && !TDataPacket::fromCbor(a.payload).rows.isEmpty(), qPrintable(a.error));
        a = GetParamFiscal(*con);
        QVERIFY2(a.ok && TDataPacket::fromCbor(a.payload).rows.size() == 1, qPrintable(a.error));
        a = GetCodRecePad(*con, QStringLiteral("05"));
        QVERIFY2(a.ok && !TDataPacket::fromCbor(a.payload).rows.isEmpty(), qPrintable(a.error));
        a = GetVdCodRece(*con, QStringLiteral("05"), QStringLiteral("8109"));
        QVERIFY2(a.ok, qPrintable(a.error));

        const TNote& n = guides[s];
        TDataPacket p;
        const QVariantList row = worksheetRow(*con, n, &p);
        QVERIFY2(!row.isEmpty(), qPrintable(n.key()));
        QString tax = n.imposto;
        a = setDarfDoc(*con, n.filial, n.lancto, tax, QStringLiteral("N"), 0, 0,
                       QStringLiteral("30/09/2026"), QStringLiteral("Servidor %1").arg(s),
                       QString(), QStringLiteral("5123"));
        QVERIFY2(a.ok, qPrintable(a.error));
        const TDarfBarcode darf = composed(n, 0, 0);
        QString bar = darf.STBARRAGUIA, line = darf.STLINHADIGI;
        a = GeraContaPagar(*con, n.empresa, tax, payable(n, 0, 0, bar, line), bar, line,
                           QStringLiteral("Servidor %1").arg(s));
        QVERIFY2(a.ok && a.payload.isArray(), qPrintable(a.error));
        QCOMPARE(TDataPacket::fromCbor(a.payload.toArray()[0]).rows.value(0).value(1).toString(),
                 QStringLiteral("CONTAPAGAR_OK"));
    }
    // Each server served its own calls, and logged them.
    for (const auto& s : m_servers)
        QTRY_VERIFY2(s->log.contains(QStringLiteral("GeraContaPagar")), qPrintable(s->log));
}

void TestTwoServers::oneNoteIssuedThroughBothAtOnce() {
    const QList<TNote> guides = freeGuides(QStringLiteral("06"), 6);
    QCOMPARE(guides.size(), 6);
    const int before = count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR"));
    QElapsedTimer race;
    qint64 raceMs = 0;
    for (const TNote& n : guides) {
        const QCborArray args = issueArgs(n);
        QTcpSocket a, b;
        a.connectToHost(QHostAddress::LocalHost, quint16(m_servers[0]->port));
        b.connectToHost(QHostAddress::LocalHost, quint16(m_servers[1]->port));
        QVERIFY(a.waitForConnected(5000) && b.waitForConnected(5000));
        // Both workers attached to the database before the requests race.
        QVERIFY(rawCall(a, request(1, QStringLiteral("GetParamFiscal"), {}))
                    .contains(QStringLiteral("result")));
        QVERIFY(rawCall(b, request(1, QStringLiteral("GetParamFiscal"), {}))
                    .contains(QStringLiteral("result")));
        race.start();
        a.write(request(2, QStringLiteral("GeraContaPagar"), args));
        b.write(request(2, QStringLiteral("GeraContaPagar"), args));
        a.flush();
        b.flush();
        QStringList outcomes{issueOutcome(rawCall(a, {})), issueOutcome(rawCall(b, {}))};
        raceMs += race.elapsed();
        outcomes.sort();
        QCOMPARE(outcomes, (QStringList{QStringLiteral("CONTAPAGAR_OK"), QStringLiteral("EMIT")}));
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR WHERE CDFILIAL = '%1' AND "
                                      "NRLANCTONF = '%2' AND CDIMPOSTONFE = '%3'")
                           .arg(n.filial, n.lancto, n.imposto)),
                 1);
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM IMPOSTONF WHERE CDFILIAL = '%1' AND "
                                      "NRLANCTONF = '%2' AND CDIMPOSTONFE = '%3' AND "
                                      "IDSTATUSGUIA = 'S' AND NRCONTAPAGAR IS NOT NULL")
                           .arg(n.filial, n.lancto, n.imposto)),
                 1);
    }
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR")), before + guides.size());
    qInfo("%s: %lld races, %lld ms per race (both answers)",
          onFirebirdServer() ? "Firebird server" : "embedded", qint64(guides.size()),
          raceMs / guides.size());
}

void TestTwoServers::aSaveThroughOneIsSeenThroughTheOther() {
    const QList<TNote> guides = freeGuides(QStringLiteral("07"), 2);
    QCOMPARE(guides.size(), 2);
    auto a = connectTo(0);
    auto b = connectTo(1);
    for (int k = 0; k < 2; ++k) {
        TNetConnection& saver = k == 0 ? *a : *b;
        TNetConnection& reader = k == 0 ? *b : *a;
        const TNote& n = guides[k];
        // The reader has the row listed before the save: what it sees next is no cache.
        TDataPacket p;
        QVERIFY(!worksheetRow(reader, n, &p).isEmpty());
        const QString history = QStringLiteral("Gravada pelo servidor %1 ç").arg(k);
        QString tax = n.imposto;
        const TServerAnswer saved =
            setDarfDoc(saver, n.filial, n.lancto, tax, QStringLiteral("N"), 3.25, 0.75,
                       QStringLiteral("20/10/2026"), history, QString(), QStringLiteral("5123"));
        QVERIFY2(saved.ok, qPrintable(saved.error));
        const QVariantList r = worksheetRow(reader, n, &p);
        QVERIFY(!r.isEmpty());
        auto v = [&](const char* name) { return r[p.indexOf(QLatin1String(name))]; };
        QCOMPARE(v("DSHISTGUIAPAGDOC").toString(), history);
        QCOMPARE(v("VRMULTAGUIA").toDouble(), 3.25);
        QCOMPARE(v("VRJUROGUIA").toDouble(), 0.75);
        QCOMPARE(v("DTVENCGUIA").toDateTime(), dt(QDate(2026, 10, 20)));
    }
}

void TestTwoServers::stoppingOneLeavesTheOtherServing() {
    auto a = connectTo(0);
    auto b = connectTo(1);
    QVERIFY(GetParamFiscal(*a).ok);
    QVERIFY(GetParamFiscal(*b).ok);
    stopAppServer(0);
    QCOMPARE(m_servers[0]->process.state(), QProcess::NotRunning);

    // The clerk of the stopped server is told; nothing hangs.
    const TServerAnswer lost = GetParamFiscal(*a);
    QVERIFY(!lost.ok);
    QVERIFY2(!lost.error.isEmpty(), "a failed call without a text");

    // The other server's clients, old and new, go on, issuing included.
    QVERIFY(GetParamFiscal(*b).ok);
    auto c = connectTo(1);
    QVERIFY2(c->connected(), qPrintable(c->lastError()));
    const QList<TNote> guides = freeGuides(QStringLiteral("01"), 1);
    QCOMPARE(guides.size(), 1);
    const TNote& n = guides[0];
    const TDarfBarcode darf = composed(n, 0, 0);
    QString tax = n.imposto, bar = darf.STBARRAGUIA, line = darf.STLINHADIGI;
    const TServerAnswer issued =
        GeraContaPagar(*c, n.empresa, tax, payable(n, 0, 0, bar, line), bar, line, QString());
    QVERIFY2(issued.ok && issued.payload.isArray(), qPrintable(issued.error));
    QCOMPARE(TDataPacket::fromCbor(issued.payload.toArray()[0]).rows.value(0).value(1).toString(),
             QStringLiteral("CONTAPAGAR_OK"));
    QCOMPARE(m_servers[1]->process.state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestTwoServers)
#include "test_twoservers.moc"
