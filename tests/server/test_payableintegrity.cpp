// A payable never contradicts its guide: the barcode and typable line are the ones composed from
// the guide's own values, the note carries the tax, the operating branch exists; and what the
// database says about a failure reaches the server's log, never a client.
#include "ServerFixture.h"

#include "DataAccess.h"
#include "Dispatcher.h"
#include "Fis98100Contracts.h"
#include "FisDatabase.h"
#include "PayableChecks.h"
#include "core/Services.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>
#include <algorithm>

namespace {

// The worked example of the DARF layout: 100,00 + 1,50 + 2,00, due 30 days after the payment
// reference date, entry 100 days after the due reference date.
TDarfInput example() {
    TDarfInput in;
    in.VRIMPOSTONF = 100.0;
    in.VRJUROGUIA = 1.5;
    in.VRMULTAGUIA = 2.0;
    in.DTREFPAGDARF = QDate(2020, 1, 1);
    in.DTVENCGUIA = in.DTREFPAGDARF.addDays(30);
    in.DTREFVENCDARF = QDate(2019, 1, 1);
    in.DTENTRSAID = in.DTREFVENCDARF.addDays(100);
    in.NRINSJUREMPR = QStringLiteral("12.345.678/0001-95");
    in.CDRECEGUIA = QStringLiteral("1234");
    return in;
}

} // namespace

class TestPayableIntegrity : public TServerFixture {
    Q_OBJECT
private slots:
    void initTestCase() { startServer(); }
    void cleanupTestCase() { stopServer(); }

    void composedBarcode_data();
    void composedBarcode();
    void issueRefusesWhatContradictsTheGuide_data();
    void issueRefusesWhatContradictsTheGuide();
    void issueRefusesANoteWithoutTheTax();
    void saveOfAnUnknownTaxIsAClearText();
    void databaseTextsReachTheLogOnly();

private:
    TNote openNote(const QString& empresa, const QString& imposto, int skip = 0);
};

TNote TestPayableIntegrity::openNote(const QString& empresa, const QString& imposto, int skip) {
    for (const TNote& n : m_all)
        if (n.empresa == empresa && n.imposto == imposto && n.status == QLatin1String("N") &&
            n.valor > 0 && skip-- == 0)
            return n;
    return {};
}

void TestPayableIntegrity::composedBarcode_data() {
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("text"); // empty: accepted
    QTest::newRow("the same values") << ""
                                     << "";
    QTest::newRow("another due date") << "due"
                                      << "difere em: vencimento)";
    QTest::newRow("another revenue code") << "revenue"
                                          << "difere em: código da receita)";
    QTest::newRow("another company") << "registration"
                                     << "difere em: inscrição da empresa)";
    QTest::newRow("another entry date") << "entry"
                                        << "difere em: data de entrada/saída)";
    QTest::newRow("another amount and due date") << "amount"
                                                 << "difere em: valor, vencimento)";
    QTest::newRow("line laid out otherwise") << "line"
                                             << "linha digitável \"85670000001.6035";
    QTest::newRow("no fiscal parameters")
        << "noParams"
        << "Conta a pagar: Data de referência de pagamento da DARF";
    QTest::newRow("revenue code of three digits")
        << "shortRevenue"
        << "Conta a pagar: Código da Receita \"123\" deve ter exatamente 4";
}

// The barcode and line the clerk's screen composed against the ones the server composes.
void TestPayableIntegrity::composedBarcode() {
    QFETCH(QString, change);
    QFETCH(QString, text);
    const TDarfInput in = example();
    TDarfInput sent = in, server = in;
    if (change == QLatin1String("due"))
        sent.DTVENCGUIA = sent.DTVENCGUIA.addDays(1);
    else if (change == QLatin1String("revenue"))
        sent.CDRECEGUIA = QStringLiteral("1235");
    else if (change == QLatin1String("registration"))
        sent.NRINSJUREMPR = QStringLiteral("98.765.432/0001-98");
    else if (change == QLatin1String("entry"))
        sent.DTENTRSAID = sent.DTENTRSAID.addDays(-1);
    else if (change == QLatin1String("amount")) {
        sent.VRMULTAGUIA = 3.0;
        sent.DTVENCGUIA = sent.DTVENCGUIA.addDays(7);
    } else if (change == QLatin1String("noParams"))
        server.DTREFPAGDARF = server.DTREFVENCDARF = QDate();
    else if (change == QLatin1String("shortRevenue"))
        server.CDRECEGUIA = QStringLiteral("123");
    const TDarfBarcode b = MontaBarraDarf(sent);
    FisServer::TPayable p;
    p.filial = QStringLiteral("0001");
    p.lancto = QStringLiteral("77");
    p.barra = b.STBARRAGUIA;
    p.linha = change == QLatin1String("line") ? QString(b.STLINHADIGI).remove(QLatin1Char(' '))
                                              : b.STLINHADIGI;
    QCOMPARE(MontaBarraDarf(in).STBARRAGUIA,
             QStringLiteral("85670000001035000640030112345678000112340100"));
    const QString why = FisServer::checkComposed(p, server);
    if (text.isEmpty())
        QCOMPARE(why, QString());
    else
        QVERIFY2(why.contains(text), qPrintable(why));
}

void TestPayableIntegrity::issueRefusesWhatContradictsTheGuide_data() {
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("text");
    QTest::newRow("barcode of another due date") << "due"
                                                 << "difere em: vencimento)";
    QTest::newRow("barcode of another revenue code") << "revenue"
                                                     << "difere em: código da receita)";
    QTest::newRow("branch ZZZZ") << "ZZZZ"
                                 << "filial de operação \"ZZZZ\" não existe na empresa 01.";
    QTest::newRow("branch of another company")
        << "0003"
        << "filial de operação \"0003\" não existe na empresa 01.";
    QTest::newRow("branch too long") << "00001"
                                     << "filial de operação com mais de 4 caracteres";
    // The sum rounded once: fine and interest of 0,005 make 0,01 together, but 0,01 each.
    QTest::newRow("centavo") << "centavo"
                             << "difere de imposto + multa + juros";
}

void TestPayableIntegrity::issueRefusesWhatContradictsTheGuide() {
    QFETCH(QString, what);
    QFETCH(QString, text);
    const TNote n = openNote(QStringLiteral("01"), QStringLiteral("01"));
    QVERIFY(!n.filial.isEmpty());
    double multa = 0, juros = 0;
    TDarfBarcode darf = composed(n, 0, 0);
    if (what == QLatin1String("due"))
        darf = composed(n, 0, 0, QDate(2026, 10, 1));
    else if (what == QLatin1String("revenue"))
        darf = composed(n, 0, 0, QDate(2026, 9, 30), QStringLiteral("5124"));
    else if (what == QLatin1String("centavo"))
        multa = juros = 0.005;
    TDataPacket p = payable(n, multa, juros, darf.STBARRAGUIA, darf.STLINHADIGI);
    if (what.startsWith(QLatin1Char('0')) || what == QLatin1String("ZZZZ"))
        p.rows[0][20] = what;
    if (what == QLatin1String("centavo")) {
        // As a screen that rounds the sum once composes it: a centavo over the tax, in the total
        // and in the barcode alike.
        const qint64 once = ToCentavos(RoundDec(n.valor + multa + juros, 2));
        QCOMPARE(once, ToCentavos(n.valor) + 1);
        darf = composed(n, 0, 0.01);
        QCOMPARE(darf.totalCentavos, once);
        p = payable(n, multa, juros, darf.STBARRAGUIA, darf.STLINHADIGI);
        p.rows[0][12] = once / 100.0;
    }
    const int before = count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR"));
    QString tax = n.imposto, bar = darf.STBARRAGUIA, line = darf.STLINHADIGI;
    const TServerAnswer a = GeraContaPagar(m_con, n.empresa, tax, p, bar, line, {});
    QVERIFY2(a.ok && a.payload.isString(),
             qPrintable(a.ok ? a.payload.toDiagnosticNotation() : a.error));
    QVERIFY2(a.payload.toString().contains(text), qPrintable(a.payload.toString()));
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR")), before);
    TDataPacket np;
    QCOMPARE(noteRow(n, &np)[np.indexOf(QStringLiteral("IDSTATUSGUIA"))].toString(),
             QStringLiteral("N"));
}

// A note whose row for the tax holds no amount (a save once created it with zero) gives no
// payable: neither of R$ 0,00 nor of the fine and interest alone.
void TestPayableIntegrity::issueRefusesANoteWithoutTheTax() {
    QSqlQuery q(db());
    QVERIFY(q.exec(
        QStringLiteral("SELECT FIRST 1 n.CDFILIAL, n.NRLANCTONF, n.DTENTRSAID FROM NOTAFISCAL n"
                       " WHERE n.CDEMPRESA = '01' AND NOT EXISTS (SELECT 1 FROM IMPOSTONF i"
                       " WHERE i.CDFILIAL = n.CDFILIAL AND i.NRLANCTONF = n.NRLANCTONF"
                       " AND i.CDIMPOSTONFE = '07')")));
    QVERIFY(q.next());
    TNote n;
    n.filial = q.value(0).toString();
    n.lancto = q.value(1).toString();
    n.ent = q.value(2).toDate();
    n.empresa = QStringLiteral("01");
    n.imposto = QStringLiteral("07");
    n.status = QStringLiteral("N");
    q.finish();
    QVERIFY2(q.exec(QStringLiteral("INSERT INTO IMPOSTONF (CDFILIAL, NRLANCTONF, CDIMPOSTONFE,"
                                   " VRIMPOSTONF) VALUES ('%1', '%2', '07', 0)")
                        .arg(n.filial, n.lancto)),
             qPrintable(q.lastError().text()));
    const int before = count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR"));
    for (const auto& [multa, juros] : {std::pair{0.0, 0.0}, std::pair{2.0, 1.5}}) {
        const TDarfBarcode darf = composed(n, multa, juros);
        QString tax = n.imposto, bar = darf.STBARRAGUIA, line = darf.STLINHADIGI;
        const TServerAnswer a = GeraContaPagar(m_con, n.empresa, tax,
                                               payable(n, multa, juros, bar, line), bar, line, {});
        QVERIFY2(a.ok && a.payload.isString(),
                 qPrintable(a.ok ? a.payload.toDiagnosticNotation() : a.error));
        QCOMPARE(a.payload.toString(),
                 QStringLiteral("Conta a pagar: a nota fiscal %1/%2 não tem valor do imposto 07 "
                                "(R$ 0,00).")
                     .arg(n.filial, n.lancto));
    }
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR")), before);
}

void TestPayableIntegrity::saveOfAnUnknownTaxIsAClearText() {
    const TNote n = openNote(QStringLiteral("02"), QStringLiteral("01"));
    QString tax = QStringLiteral("99");
    const TServerAnswer a = setDarfDoc(m_con, n.filial, n.lancto, tax, QStringLiteral("N"), 0, 0,
                                       QString(), QString(), QString(), QString());
    QVERIFY(!a.ok);
    QCOMPARE(a.error, QStringLiteral("setDarfDoc: imposto \"99\" não cadastrado."));
}

// A statement the database refuses: the client reads the step that failed; the log keeps the
// database's text and the statement.
void TestPayableIntegrity::databaseTextsReachTheLogOnly() {
    const QString bare = m_dir.filePath(QStringLiteral("bare.fdb"));
    FisDb::createDatabase(bare, false, 0);
    {
        QSqlDatabase d = FisDb::openConnection(bare, QStringLiteral("bare"));
        QSqlQuery drop(d);
        QVERIFY2(drop.exec(QStringLiteral("DROP TABLE PARAMFISCAL")),
                 qPrintable(drop.lastError().text()));
        TDispatcher dispatcher([&] { return d; });
        TDispatcher::TLog log;
        const QCborMap answer =
            dispatcher.handle(QCborMap{{QStringLiteral("id"), 7},
                                       {QStringLiteral("object"), kObject},
                                       {QStringLiteral("method"), QStringLiteral("GetParamFiscal")},
                                       {QStringLiteral("args"), QCborArray{}}},
                              log);
        const QString error = answer.value(QStringLiteral("error")).toString();
        QVERIFY2(error.startsWith(QStringLiteral("Erro no banco de dados ao ")), qPrintable(error));
        for (const char* leak : {"PARAMFISCAL", "SELECT", "Table unknown", "SQL"})
            QVERIFY2(!error.contains(QLatin1String(leak)), qPrintable(error));
        QVERIFY2(log.outcome.startsWith(QStringLiteral("erro: ") + error), qPrintable(log.outcome));
        QVERIFY2(log.outcome.contains(QStringLiteral("PARAMFISCAL")), qPrintable(log.outcome));

        // A database that cannot be opened: the location stays in the log too.
        TDispatcher closed([&]() -> QSqlDatabase {
            throw EHostError(
                QStringLiteral("Não foi possível abrir o banco de dados %1").arg(bare));
        });
        const QCborMap none =
            closed.handle(QCborMap{{QStringLiteral("id"), 8},
                                   {QStringLiteral("object"), kObject},
                                   {QStringLiteral("method"), QStringLiteral("GetParamFiscal")},
                                   {QStringLiteral("args"), QCborArray{}}},
                          log);
        QCOMPARE(none.value(QStringLiteral("error")).toString(),
                 QStringLiteral("GetParamFiscal: o banco de dados do servidor de aplicação está "
                                "indisponível."));
        QVERIFY2(log.outcome.contains(bare), qPrintable(log.outcome));
        d.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bare"));
}

QTEST_GUILESS_MAIN(TestPayableIntegrity)
#include "test_payableintegrity.moc"
