// GetNotaFiscal: the note record, every filter against the database's own rows, and key lists
// that carry SQL text.
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

namespace {

bool matches(const TNote& n, const TFilter& f) {
    auto inList = [&](const QString& list, const QString& key) {
        return list.isEmpty() || list.contains(QLatin1Char('\'') + key + QLatin1Char('\''));
    };
    return n.imposto == f.tax && n.valor > 0 && n.empresa == f.emp &&
           (f.ie.isEmpty() || n.ie == f.ie) && (f.im.isEmpty() || n.im == f.im) &&
           (f.flag == QLatin1String("T") || n.es == f.flag) &&
           inList(f.series, n.es + QLatin1Char('_') + n.serie) && inList(f.tipos, n.es + n.tipo) &&
           (!f.entIni.isValid() || n.ent >= f.entIni) &&
           (!f.entFim.isValid() || n.ent <= f.entFim) &&
           (!f.emiIni.isValid() || n.emi >= f.emiIni) &&
           (!f.emiFim.isValid() || n.emi <= f.emiFim) && (f.insc.isEmpty() || n.insc == f.insc);
}

} // namespace

class TestNotes : public TServerFixture {
    Q_OBJECT
private slots:
    void initTestCase() { startServer(); }
    void cleanupTestCase() { stopServer(); }

    void noteRecordLayout();
    void getNotaFiscalFilters_data();
    void getNotaFiscalFilters();
    void sqlTextInListsChangesNothing_data();
    void sqlTextInListsChangesNothing();
};

void TestNotes::noteRecordLayout() {
    const QList<TPacketField>& expected = FisProtocol::notaFiscalFields();
    TFilter f;
    f.emp = QStringLiteral("01");
    TDataPacket p;
    const auto rows = rowsOf(notaFiscal(f), &p);
    QCOMPARE(p.fields, expected);
    QVERIFY(!rows.isEmpty());
    // Row contents against the database, for an entry and an exit note.
    QSqlQuery q(db());
    for (const QString& es : {QStringLiteral("E"), QStringLiteral("S")}) {
        const auto it = std::find_if(m_all.begin(), m_all.end(), [&](const TNote& n) {
            return n.empresa == QLatin1String("01") && n.imposto == QLatin1String("01") &&
                   n.es == es && n.valor > 0;
        });
        QVERIFY(it != m_all.end());
        TDataPacket np;
        const QVariantList r = noteRow(*it, &np);
        QVERIFY(!r.isEmpty());
        auto v = [&](const char* name) { return r[np.indexOf(QLatin1String(name))]; };
        QCOMPARE(v("IDENTRSAIDOP").toString(),
                 es == QLatin1String("E") ? QStringLiteral("Entrada") : QStringLiteral("Saída"));
        QCOMPARE(v("IDCHECK").toString(), QStringLiteral("U"));
        QCOMPARE(v("VRIMPOSTONF").toDouble(), it->valor);
        QCOMPARE(v("NRINSJUR").toString(), it->insc);
        QCOMPARE(v("DTENTRSAID").toDateTime(), dt(it->ent));
        QCOMPARE(v("IDSTATUSGUIA").toString(), it->status);
        QVERIFY(q.exec(
            QStringLiteral(
                "SELECT COALESCE(c.NMRAZSOCCLIE, f.NMRAZSOCFORN), n.IDINSJUR FROM NOTAFISCAL n"
                " LEFT JOIN CLIENTE c ON c.CDCLIENTE = n.CDCLIENTE"
                " LEFT JOIN FORNECEDOR f ON f.CDFORNECED = n.CDFORNECED"
                " WHERE n.CDFILIAL = '%1' AND n.NRLANCTONF = '%2'")
                .arg(it->filial, it->lancto)));
        QVERIFY(q.next());
        QCOMPARE(v("EMITENTE").toString(), q.value(0).toString());
        QCOMPARE(v("IDINSJUR").toString(), q.value(1).toString());
        q.finish();
    }
}

void TestNotes::getNotaFiscalFilters_data() {
    QTest::addColumn<TFilter>("filter");
    QTest::addColumn<bool>("narrows"); // fewer notes than the company's for the tax
    // Values come from real notes so that every filter finds something.
    auto pick = [&](auto pred) {
        for (const TNote& n : m_all)
            if (n.empresa == QLatin1String("01") && n.imposto == QLatin1String("01") &&
                n.valor > 0 && pred(n))
                return n;
        qFatal("no note to build the filter from");
        return TNote();
    };
    const TNote exitNote = pick([](const TNote& n) { return n.es == QLatin1String("S"); });
    const TNote entryNote = pick([](const TNote& n) { return n.es == QLatin1String("E"); });
    TFilter base;
    base.emp = QStringLiteral("01");
    QTest::newRow("empresa") << base << false;
    TFilter f = base;
    f.emp = QStringLiteral("02");
    QTest::newRow("outra empresa") << f << false;
    f = base;
    f.ie = exitNote.ie;
    QTest::newRow("inscrição estadual") << f << true;
    f = base;
    f.im = exitNote.im;
    QTest::newRow("inscrição municipal") << f << true;
    f = base;
    f.flag = QStringLiteral("E");
    QTest::newRow("entradas") << f << true;
    f.flag = QStringLiteral("S");
    QTest::newRow("saídas") << f << true;
    f = base;
    f.series = QStringLiteral("'S_%1','E_%2'").arg(exitNote.serie, entryNote.serie);
    QTest::newRow("lista de séries") << f << true;
    f = base;
    f.tipos = QStringLiteral("'S%1'").arg(exitNote.tipo);
    QTest::newRow("lista de tipos") << f << true;
    f = base;
    f.entIni = exitNote.ent.addDays(-10);
    f.entFim = exitNote.ent;
    QTest::newRow("datas de entrada/saída") << f << true;
    f = base;
    f.emiIni = exitNote.emi;
    f.emiFim = exitNote.emi.addDays(20);
    QTest::newRow("datas de emissão") << f << true;
    f = base;
    f.entFim = exitNote.ent; // only an upper bound
    QTest::newRow("só data final") << f << true;
    f = base;
    f.insc = exitNote.insc;
    QTest::newRow("cliente/fornecedor") << f << true;
    f = base;
    f.tax = QStringLiteral("05");
    QTest::newRow("outro imposto") << f << false;
    f = base;
    f.ie = exitNote.ie;
    f.im = exitNote.im;
    f.flag = QStringLiteral("S");
    f.series = QStringLiteral("'S_%1'").arg(exitNote.serie);
    f.tipos = QStringLiteral("'S%1','E%1'").arg(exitNote.tipo);
    f.entIni = exitNote.ent.addDays(-60);
    f.entFim = exitNote.ent.addDays(60);
    f.emiIni = exitNote.emi.addDays(-60);
    f.emiFim = exitNote.emi;
    f.insc = exitNote.insc;
    QTest::newRow("combinados") << f << true;
    f = base;
    f.entIni = QDate(1990, 1, 1);
    f.entFim = QDate(1990, 12, 31);
    QTest::newRow("período sem notas") << f << true;
}

void TestNotes::getNotaFiscalFilters() {
    QFETCH(TFilter, filter);
    QFETCH(bool, narrows);
    TDataPacket p;
    const auto rows = rowsOf(notaFiscal(filter), &p);
    QStringList got, expected;
    QDateTime previous;
    for (const auto& r : rows) {
        got << r[p.indexOf(QStringLiteral("CDFILIAL"))].toString() + QLatin1Char('/') +
                   r[p.indexOf(QStringLiteral("NRLANCTONF"))].toString();
        const QDateTime ent = r[p.indexOf(QStringLiteral("DTENTRSAID"))].toDateTime();
        QVERIFY(!previous.isValid() || previous <= ent);
        previous = ent;
    }
    int companyTotal = 0;
    for (const TNote& n : m_all) {
        if (matches(n, filter))
            expected << n.key();
        if (n.empresa == filter.emp && n.imposto == filter.tax && n.valor > 0)
            ++companyTotal;
    }
    got.sort();
    expected.sort();
    QCOMPARE(got, expected);
    if (QByteArray(QTest::currentDataTag()) != "período sem notas")
        QVERIFY(!expected.isEmpty());
    if (narrows)
        QVERIFY(expected.size() < companyTotal);
}

void TestNotes::sqlTextInListsChangesNothing_data() {
    QTest::addColumn<QString>("series");
    QTest::addColumn<QString>("tipos");
    QTest::addColumn<bool>("refused");
    QTest::newRow("delete after list") << "'E_1'); DELETE FROM IMPOSTONF; --"
                                       << "" << true;
    QTest::newRow("quote breaking") << "'E_1'' OR ''1''=''1'"
                                    << "" << true;
    QTest::newRow("or in key") << "'S_1 OR 1=1'"
                               << "" << true;
    QTest::newRow("unquoted sql") << "1=1) OR (1=1"
                                  << "" << true;
    QTest::newRow("op types") << ""
                              << "'E01'; DROP TABLE NOTAFISCAL" << true;
    QTest::newRow("sql-looking code") << "'E_OR','S_AND'"
                                      << "" << false;
}

void TestNotes::sqlTextInListsChangesNothing() {
    QFETCH(QString, series);
    QFETCH(QString, tipos);
    QFETCH(bool, refused);
    const int notesBefore = count(QStringLiteral("SELECT COUNT(*) FROM NOTAFISCAL"));
    const int taxesBefore = count(QStringLiteral("SELECT COUNT(*) FROM IMPOSTONF"));
    TFilter f;
    f.emp = QStringLiteral("01");
    f.series = series;
    f.tipos = tipos;
    const TServerAnswer a = notaFiscal(f);
    if (refused) {
        QVERIFY(!a.ok);
        QVERIFY2(a.error.startsWith(QStringLiteral("Lista de ")), qPrintable(a.error));
    } else {
        QVERIFY(rowsOf(a).isEmpty()); // matches nothing
    }
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM NOTAFISCAL")), notesBefore);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM IMPOSTONF")), taxesBefore);
}

QTEST_GUILESS_MAIN(TestNotes)
#include "test_notes.moc"
