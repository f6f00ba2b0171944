// Saving a guide (setDarfDoc): what it stores, what it refuses, the rules of an issued guide, and
// a save that meets a colleague's transaction.
#include "ServerFixture.h"

#include "Fis98100Contracts.h"
#include "core/Frame.h"
#include "core/Services.h"

#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>
#include <algorithm>

class TestGuide : public TServerFixture {
    Q_OBJECT
private slots:
    void initTestCase() { startServer(); }
    void cleanupTestCase() { stopServer(); }

    void setDarfDocStoresGuide();
    void setDarfDocRefusals_data();
    void setDarfDocRefusals();
    void issuedGuideLocksDueDateRevenueHistory_data();
    void issuedGuideLocksDueDateRevenueHistory();
    void saveWaitsForAColleaguesSave();
};

void TestGuide::setDarfDocStoresGuide() {
    const auto n = *std::find_if(m_all.begin(), m_all.end(), [](const TNote& n) {
        return n.empresa == QLatin1String("01") && n.imposto == QLatin1String("01") &&
               n.status == QLatin1String("N") && n.valor > 0;
    });
    QString tax = n.imposto;
    TServerAnswer a = setDarfDoc(m_con, n.filial, n.lancto, tax, QStringLiteral("N"), 2.5, 1.25,
                                 QStringLiteral("15/08/2026"), QStringLiteral("Guia de março ç"),
                                 QStringLiteral("77"), QStringLiteral("5123"));
    QVERIFY2(a.ok, qPrintable(a.error));
    QCOMPARE(tax, n.imposto);
    TDataPacket p;
    QVariantList r = noteRow(n, &p);
    auto v = [&](const char* name) { return r[p.indexOf(QLatin1String(name))]; };
    QCOMPARE(v("VRMULTAGUIA").toDouble(), 2.5);
    QCOMPARE(v("VRJUROGUIA").toDouble(), 1.25);
    QCOMPARE(v("DTVENCGUIA").toDateTime(), dt(QDate(2026, 8, 15)));
    QCOMPARE(v("DSHISTGUIAPAGDOC").toString(), QStringLiteral("Guia de março ç"));
    QCOMPARE(v("NRLANCTONFDARF").toString(), QStringLiteral("77"));
    QCOMPARE(v("CDRECEGUIA").toString(), QStringLiteral("5123"));
    QCOMPARE(v("IDSTATUSGUIA").toString(), QStringLiteral("N"));

    // Empty due date (also as the date edit's empty mask) clears it; amounts round to centavos;
    // a status sent by the client is not taken.
    a = setDarfDoc(m_con, n.filial, n.lancto, tax, QStringLiteral("S"), 0.005, 0,
                   QStringLiteral("  /  /    "), QString(), QString(), QString());
    QVERIFY2(a.ok, qPrintable(a.error));
    r = noteRow(n, &p);
    QVERIFY(v("DTVENCGUIA").isNull());
    QCOMPARE(v("VRMULTAGUIA").toDouble(), 0.01);
    QVERIFY(v("CDRECEGUIA").isNull());
    QCOMPARE(v("IDSTATUSGUIA").toString(), QStringLiteral("N"));
}

void TestGuide::setDarfDocRefusals_data() {
    QTest::addColumn<QString>("lancto");
    QTest::addColumn<double>("multa");
    QTest::addColumn<QString>("venc");
    QTest::addColumn<QString>("receita");
    QTest::addColumn<QString>("error");
    QTest::newRow("31 de fevereiro") << "" << 0.0 << "31/02/2026"
                                     << "5123"
                                     << "data de vencimento inválida";
    QTest::newRow("data ISO") << "" << 0.0 << "2026-08-15"
                              << "5123"
                              << "data de vencimento inválida";
    QTest::newRow("texto") << "" << 0.0 << "amanhã"
                           << "5123"
                           << "data de vencimento inválida";
    QTest::newRow("multa negativa") << "" << -1.0 << ""
                                    << "5123"
                                    << "valor da multa inválido";
    QTest::newRow("receita longa") << "" << 0.0 << ""
                                   << "51234"
                                   << "código da receita";
    QTest::newRow("nota inexistente") << "9999999999" << 0.0 << ""
                                      << "5123"
                                      << "não encontrada";
    QTest::newRow("lançamento longo") << "12345678901" << 0.0 << ""
                                      << "5123"
                                      << "lançamento da nota com mais de 10 caracteres";
}

void TestGuide::setDarfDocRefusals() {
    QFETCH(QString, lancto);
    QFETCH(double, multa);
    QFETCH(QString, venc);
    QFETCH(QString, receita);
    QFETCH(QString, error);
    const auto n = *std::find_if(m_all.begin(), m_all.end(), [](const TNote& n) {
        return n.imposto == QLatin1String("05") && n.status == QLatin1String("N");
    });
    const QVariantList before = noteRow(n);
    QString tax = n.imposto;
    const TServerAnswer a =
        setDarfDoc(m_con, n.filial, lancto.isEmpty() ? n.lancto : lancto, tax, QStringLiteral("N"),
                   multa, 0, venc, QStringLiteral("h"), QString(), receita);
    QVERIFY(!a.ok);
    QVERIFY2(a.error.startsWith(QStringLiteral("setDarfDoc: ")) && a.error.contains(error),
             qPrintable(a.error));
    QCOMPARE(noteRow(n), before);
}

void TestGuide::issuedGuideLocksDueDateRevenueHistory_data() {
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("nada") << "" << true;
    QTest::newRow("multa") << "multa" << false;
    QTest::newRow("juros") << "juros" << false;
    QTest::newRow("vencimento") << "vencimento" << false;
    QTest::newRow("vencimento vazio") << "sem vencimento" << false;
    QTest::newRow("receita") << "receita" << false;
    QTest::newRow("histórico") << "histórico" << false;
}

void TestGuide::issuedGuideLocksDueDateRevenueHistory() {
    QFETCH(QString, change);
    QFETCH(bool, accepted);
    const auto it = std::find_if(m_all.begin(), m_all.end(), [](const TNote& n) {
        return n.status == QLatin1String("S") && n.valor > 0;
    });
    QVERIFY2(it != m_all.end(), "the demo data holds issued guides");
    TDataPacket p;
    const QVariantList r = noteRow(*it, &p);
    auto v = [&](const char* name) { return r[p.indexOf(QLatin1String(name))]; };
    double multa = v("VRMULTAGUIA").toDouble(), juros = v("VRJUROGUIA").toDouble();
    QString venc = v("DTVENCGUIA").toDateTime().date().toString(QStringLiteral("dd/MM/yyyy"));
    QString receita = v("CDRECEGUIA").toString(), hist = v("DSHISTGUIAPAGDOC").toString();
    if (change == QLatin1String("multa"))
        multa += 1.1;
    else if (change == QLatin1String("juros"))
        juros += 0.35;
    else if (change == QLatin1String("vencimento"))
        venc =
            v("DTVENCGUIA").toDateTime().date().addDays(1).toString(QStringLiteral("dd/MM/yyyy"));
    else if (change == QLatin1String("sem vencimento"))
        venc.clear();
    else if (change == QLatin1String("receita"))
        receita =
            receita == QLatin1String("1020") ? QStringLiteral("5123") : QStringLiteral("1020");
    else if (change == QStringLiteral("histórico"))
        hist += QStringLiteral(" alterado");
    QString tax = it->imposto;
    const TServerAnswer a =
        setDarfDoc(m_con, it->filial, it->lancto, tax, QStringLiteral("S"), multa, juros, venc,
                   hist, v("NRLANCTONFDARF").toString(), receita);
    const QVariantList after = noteRow(*it);
    if (accepted) {
        QVERIFY2(a.ok, qPrintable(a.error));
        QCOMPARE(after[p.indexOf(QStringLiteral("VRMULTAGUIA"))].toDouble(), RoundDec(multa, 2));
        QCOMPARE(after[p.indexOf(QStringLiteral("VRJUROGUIA"))].toDouble(), RoundDec(juros, 2));
    } else {
        QVERIFY(!a.ok);
        QVERIFY2(a.error.contains(QStringLiteral("já foi emitida")), qPrintable(a.error));
        QCOMPARE(after, r);
    }
    QCOMPARE(after[p.indexOf(QStringLiteral("IDSTATUSGUIA"))].toString(), QStringLiteral("S"));
}

// A save that meets a colleague's transaction on the same guide waits for it and then saves on
// a fresh snapshot, instead of asking the clerk to try again.
void TestGuide::saveWaitsForAColleaguesSave() {
    const auto it = std::find_if(m_all.begin(), m_all.end(), [](const TNote& n) {
        return n.empresa == QLatin1String("02") && n.imposto == QLatin1String("06") &&
               n.status == QLatin1String("N");
    });
    QVERIFY(it != m_all.end());
    const TNote n = *it;
    const QString where =
        QStringLiteral(" WHERE CDFILIAL = '%1' AND NRLANCTONF = '%2' AND CDIMPOSTONFE = '%3'")
            .arg(n.filial, n.lancto, n.imposto);
    const QCborArray args{n.filial,
                          n.lancto,
                          n.imposto,
                          QStringLiteral("N"),
                          4.25,
                          1.5,
                          QStringLiteral("15/10/2026"),
                          QStringLiteral("Guia salva após espera"),
                          QString(),
                          QStringLiteral("5123")};

    QCborMap m;
    bool waited = false;
    callWhileRowHeld(QStringLiteral("UPDATE IMPOSTONF SET VRJUROGUIA = 9") + where,
                     QStringLiteral("setDarfDoc"), args, &m, &waited);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(waited, "the save did not wait for the row lock");
    QVERIFY2(m.value(QStringLiteral("result")).toBool(),
             qPrintable(QCborValue(m).toDiagnosticNotation()));
    QSqlQuery q(db());
    QVERIFY(q.exec(
        QStringLiteral("SELECT VRMULTAGUIA, VRJUROGUIA, DSHISTGUIAPAGDOC FROM IMPOSTONF") + where));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toDouble(), 4.25);
    QCOMPARE(q.value(1).toDouble(), 1.5); // the later save wins, as if one came after the other
    QCOMPARE(q.value(2).toString(), QStringLiteral("Guia salva após espera"));
    QTRY_VERIFY(m_log.contains(QStringLiteral("setDarfDoc")) &&
                m_log.contains(QStringLiteral("ok (após conflito de transação)")));
}

QTEST_GUILESS_MAIN(TestGuide)
#include "test_guide.moc"
