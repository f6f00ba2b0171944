// Lookups through the typed calls against the database's own rows: operation types, series,
// fiscal parameters and revenue codes.
#include "ServerFixture.h"

#include "Fis98100Contracts.h"
#include "Records.h"
#include "core/Frame.h"
#include "core/Services.h"

#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>
#include <algorithm>

class TestLookups : public TServerFixture {
    Q_OBJECT
private slots:
    void initTestCase() { startServer(); }
    void cleanupTestCase() { stopServer(); }

    void getTipoOper_data();
    void getTipoOper();
    void getSerie_data();
    void getSerie();
    void getParamFiscalAndRevenueCodes();
};

void TestLookups::getTipoOper_data() {
    QTest::addColumn<QString>("flag");
    QTest::newRow("entrada") << "E";
    QTest::newRow("saída") << "S";
    QTest::newRow("todos") << "T";
}

void TestLookups::getTipoOper() {
    QFETCH(QString, flag);
    QString f = flag;
    TDataPacket p;
    const auto rows = rowsOf(GetTipoOper(m_con, f), &p);
    QCOMPARE(f, flag);
    const int expected =
        count(flag == QLatin1String("T")
                  ? QStringLiteral("SELECT COUNT(*) FROM TIPOOPERAC")
                  : QStringLiteral("SELECT COUNT(*) FROM TIPOOPERAC WHERE IDENTRSAIDOP = '%1'")
                        .arg(flag));
    QVERIFY(expected > 0);
    QCOMPARE(rows.size(), expected);
    // The pick list's dataset, field by field in its column order.
    QCOMPARE(p.fields, FisProtocol::tipoOperFields());
    QString previous;
    for (const auto& r : rows) {
        const QString es = r[p.indexOf(QStringLiteral("IDENTRSAIDOP"))].toString();
        const QString code = r[p.indexOf(QStringLiteral("CDTIPOOPER"))].toString();
        QVERIFY(flag == QLatin1String("T") || es == flag);
        QCOMPARE(r[p.indexOf(QStringLiteral("CHAVE"))].toString(), es + code);
        QCOMPARE(r[p.indexOf(QStringLiteral("IDMARCADO"))].toString(), QStringLiteral(" "));
        QVERIFY(previous < es + code);
        previous = es + code;
    }
}

void TestLookups::getSerie_data() {
    QTest::addColumn<QString>("flag");
    QTest::addColumn<bool>("withRegistrations");
    QTest::newRow("entrada") << "E" << false;
    QTest::newRow("saída, inscrições") << "S" << true;
    QTest::newRow("saída, qualquer inscrição") << "S" << false;
    QTest::newRow("todos") << "T" << true;
}

void TestLookups::getSerie() {
    QFETCH(QString, flag);
    QFETCH(bool, withRegistrations);
    QSqlQuery q(db());
    QVERIFY(q.exec(QStringLiteral(
        "SELECT FIRST 1 CDINSCESTA, CDINSCMUNI FROM SERIENF WHERE CDEMPRESA = '01'")));
    QVERIFY(q.next());
    const QString ie = withRegistrations ? q.value(0).toString() : QString();
    const QString im = withRegistrations ? q.value(1).toString() : QString();
    q.finish();
    QString f = flag;
    TDataPacket p;
    const auto rows = rowsOf(GetSerie(m_con, QStringLiteral("01"), ie, im, f), &p);
    QCOMPARE(f, flag);
    QCOMPARE(p.fields, FisProtocol::serieFields());
    QStringList expected;
    if (flag != QLatin1String("S")) {
        QVERIFY(q.exec(QStringLiteral("SELECT CDSERIEENTR FROM SERIEENTR")));
        while (q.next())
            expected << QStringLiteral("E_") + q.value(0).toString();
    }
    if (flag != QLatin1String("E")) {
        QString sql = QStringLiteral("SELECT DISTINCT CDSERIE FROM SERIENF WHERE CDEMPRESA = '01'");
        if (withRegistrations)
            sql += QStringLiteral(" AND CDINSCESTA = '%1' AND CDINSCMUNI = '%2'").arg(ie, im);
        QVERIFY(q.exec(sql));
        while (q.next())
            expected << QStringLiteral("S_") + q.value(0).toString();
    }
    q.finish();
    QVERIFY(!expected.isEmpty());
    QStringList got;
    for (const auto& r : rows) {
        const QString tipo = r[p.indexOf(QStringLiteral("TIPO"))].toString();
        const QString code = r[p.indexOf(QStringLiteral("CDSERIE"))].toString();
        QCOMPARE(r[p.indexOf(QStringLiteral("CHAVE"))].toString(), tipo + QLatin1Char('_') + code);
        QVERIFY(!r[p.indexOf(QStringLiteral("DSSERIE"))].toString().isEmpty());
        got << tipo + QLatin1Char('_') + code;
    }
    std::sort(expected.begin(), expected.end());
    QCOMPARE(got, expected); // ordered by kind, then code
}

void TestLookups::getParamFiscalAndRevenueCodes() {
    TDataPacket p;
    auto rows = rowsOf(GetParamFiscal(m_con), &p);
    QCOMPARE(rows.size(), 1);
    QSqlQuery q(db());
    QVERIFY(q.exec(
        QStringLiteral("SELECT CDTIPOOPERPREPAG, DTREFVENCDARF, DTREFPAGDARF FROM PARAMFISCAL")));
    QVERIFY(q.next());
    QCOMPARE(rows[0][p.indexOf(QStringLiteral("CDTIPOOPERPREPAG"))].toString(),
             q.value(0).toString());
    QCOMPARE(rows[0][p.indexOf(QStringLiteral("DTREFVENCDARF"))].toDateTime(),
             dt(q.value(1).toDate()));
    QCOMPARE(rows[0][p.indexOf(QStringLiteral("DTREFPAGDARF"))].toDateTime(),
             dt(q.value(2).toDate()));
    QCOMPARE(p.fields, FisProtocol::paramFiscalFields());
    q.finish();

    const QList<TPacketField>& codeFields = FisProtocol::codReceFields();
    rows = rowsOf(GetCodRecePad(m_con, QStringLiteral("01")), &p);
    QCOMPARE(p.fields, codeFields);
    QCOMPARE(rows.size(),
             count(QStringLiteral("SELECT COUNT(*) FROM RECEITAPADRAO WHERE CDIMPOSTONFE = '01'")));
    QVERIFY(!rows.isEmpty());
    const QString code = rows[0][0].toString();

    rows = rowsOf(GetVdCodRece(m_con, QStringLiteral("01"), code), &p);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0][0].toString(), code);
    // A code of another tax, or none at all: an empty packet with the same fields.
    QSqlQuery other(db());
    QVERIFY(other.exec(
        QStringLiteral("SELECT FIRST 1 CDRECEPADRAO FROM RECEITAPADRAO WHERE CDIMPOSTONFE <> '01'"
                       " AND CDRECEPADRAO NOT IN (SELECT CDRECEPADRAO FROM RECEITAPADRAO WHERE "
                       "CDIMPOSTONFE = '01')")));
    QVERIFY(other.next());
    rows = rowsOf(GetVdCodRece(m_con, QStringLiteral("01"), other.value(0).toString()), &p);
    other.finish();
    QVERIFY(rows.isEmpty());
    QCOMPARE(p.fields, codeFields);
    QVERIFY(rowsOf(GetVdCodRece(m_con, QStringLiteral("01"), QString())).isEmpty());
    QVERIFY(rowsOf(GetCodRecePad(m_con, QStringLiteral("99"))).isEmpty());
}

QTEST_GUILESS_MAIN(TestLookups)
#include "test_lookups.moc"
