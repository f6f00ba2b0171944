// Issuing a payable (GeraContaPagar): one payable per guide, the refusals, a total made of the
// stored parts, two clerks at once and an issue that meets a colleague's transaction.
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

// A barcode in the DARF layout for an amount, with a right general check digit, and its
// typable line in groups.
QString barcodeFor(qint64 centavos, int salt = 0) {
    const QString body = QStringLiteral("856") + QString::number(centavos).rightJustified(11, '0') +
                         QStringLiteral("0064") +
                         QString::number(30 + salt).rightJustified(4, '0') +
                         QStringLiteral("1123456780001") + QStringLiteral("51230100");
    return body.left(3) + Mod10(body) + body.mid(3);
}
QString lineFor(const QString& bar) {
    const QString d = TransformaBarraLinhaDigi(bar);
    QStringList groups;
    for (int k = 0; k < 4; ++k)
        groups << d.mid(12 * k, 11) + QLatin1Char('.') + d.mid(12 * k + 11, 1);
    return groups.join(QLatin1Char(' '));
}

} // namespace

class TestPayable : public TServerFixture {
    Q_OBJECT
private slots:
    void initTestCase() { startServer(); }
    void cleanupTestCase() { stopServer(); }

    void geraContaPagarIssuesOnce();
    void geraContaPagarWithoutPayableSettings();
    void geraContaPagarRefusesBadInput_data();
    void geraContaPagarRefusesBadInput();
    void geraContaPagarTotalIsTheSumOfTheStoredParts();
    void twoClerksIssueTheSameNote();
    void issueWaitsForAColleaguesSave();
};

void TestPayable::geraContaPagarIssuesOnce() {
    const auto n = *std::find_if(m_all.begin(), m_all.end(), [](const TNote& n) {
        return n.empresa == QLatin1String("01") && n.imposto == QLatin1String("01") &&
               n.status == QLatin1String("N") && n.valor > 0;
    });
    // Its stored fine and interest are what the guide carries.
    const double multa = 2.0, juros = 1.5;
    const qint64 cents = ToCentavos(n.valor) + 350;
    const TDarfBarcode darf = composed(n, multa, juros);
    QCOMPARE(darf.totalCentavos, cents);
    QString bar = darf.STBARRAGUIA, line = darf.STLINHADIGI, tax = n.imposto;
    const TServerAnswer a =
        GeraContaPagar(m_con, n.empresa, tax, payable(n, multa, juros, bar, line), bar, line,
                       QStringLiteral("Histórico da guia"));
    QVERIFY2(a.ok, qPrintable(a.error));
    QVERIFY2(a.payload.isArray(), qPrintable(a.payload.toDiagnosticNotation()));
    const QCborArray arr = a.payload.toArray();
    QCOMPARE(arr.size(), 3);
    const TDataPacket result = TDataPacket::fromCbor(arr[0]);
    QCOMPARE(result.fields, FisProtocol::resultFields());
    QCOMPARE(result.rows,
             (QList<QVariantList>{
                 {QStringLiteral("MSG"), QStringLiteral("CONTAPAGAR_OK"), QStringLiteral("01")}}));
    QCOMPARE(arr[1].toString(), QStringLiteral("_") + n.filial + n.lancto + QStringLiteral("S_"));
    QCOMPARE(arr[2].toString(), QStringLiteral("C"));
    QCOMPARE(tax, n.imposto);
    QCOMPARE(bar, darf.STBARRAGUIA);

    const QString where =
        QStringLiteral(" WHERE CDFILIAL = '%1' AND NRLANCTONF = '%2' AND CDIMPOSTONFE = '01'")
            .arg(n.filial, n.lancto);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR") + where), 1);
    QSqlQuery q(db());
    QVERIFY(q.exec(
        QStringLiteral("SELECT c.STBARRAGUIA, c.STLINHADIGI, c.VRCONTAPAGAR, i.IDSTATUSGUIA,"
                       " i.NRCONTAPAGAR - c.NRCONTAPAGAR, c.DSHISTGUIAPAGDOC, i.VRMULTAGUIA"
                       " FROM CONTAPAGAR c JOIN IMPOSTONF i ON i.CDFILIAL = c.CDFILIAL"
                       " AND i.NRLANCTONF = c.NRLANCTONF AND i.CDIMPOSTONFE = c.CDIMPOSTONFE"
                       " WHERE c.CDFILIAL = '%1' AND c.NRLANCTONF = '%2' AND c.CDIMPOSTONFE = '01'")
            .arg(n.filial, n.lancto)));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toString().trimmed(), bar); // CHAR(44) comes back padded
    QCOMPARE(q.value(1).toString(), line);
    QCOMPARE(ToCentavos(q.value(2).toDouble()), cents);
    QCOMPARE(q.value(3).toString(), QStringLiteral("S"));
    QCOMPARE(q.value(4).toInt(), 0);
    QCOMPARE(q.value(5).toString(), QStringLiteral("Histórico da guia"));
    QCOMPARE(q.value(6).toDouble(), multa);
    q.finish();

    // The same note again: refused, no second payable.
    const TServerAnswer b = GeraContaPagar(
        m_con, n.empresa, tax, payable(n, multa, juros, bar, line), bar, line, QString());
    QVERIFY2(b.ok && b.payload.isArray(), qPrintable(b.error));
    QCOMPARE(TDataPacket::fromCbor(b.payload.toArray()[0]).rows[0].mid(0, 2),
             (QVariantList{QStringLiteral("ERR"), QStringLiteral("EMIT")}));
    QCOMPARE(
        count(QStringLiteral(
                  "SELECT COUNT(*) FROM CONTAPAGAR WHERE CDFILIAL = '%1' AND NRLANCTONF = '%2'")
                  .arg(n.filial, n.lancto)),
        1);
    // Each answer's kind and key reach the server's log line of its call.
    QTRY_VERIFY2(m_log.contains(QRegularExpression(
                     QStringLiteral("GeraContaPagar \\d+ ms MSG CONTAPAGAR_OK"))),
                 qPrintable(m_log.right(2000)));
    QTRY_VERIFY2(
        m_log.contains(QRegularExpression(QStringLiteral("GeraContaPagar \\d+ ms ERR EMIT"))),
        qPrintable(m_log.right(2000)));
    // The worksheet now shows it issued.
    TDataPacket p;
    QCOMPARE(noteRow(n, &p)[p.indexOf(QStringLiteral("IDSTATUSGUIA"))].toString(),
             QStringLiteral("S"));
}

void TestPayable::geraContaPagarWithoutPayableSettings() {
    QCOMPARE(
        count(QStringLiteral("SELECT COUNT(*) FROM IMPOSTOCONTAPAG WHERE CDIMPOSTONFE = '08'")), 0);
    const auto it = std::find_if(m_all.begin(), m_all.end(), [](const TNote& n) {
        return n.imposto == QLatin1String("08") && n.status == QLatin1String("N") && n.valor > 0;
    });
    QVERIFY(it != m_all.end());
    const int before = count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR"));
    QString bar = barcodeFor(ToCentavos(it->valor)), line = lineFor(bar), tax = it->imposto;
    const TServerAnswer a = GeraContaPagar(m_con, it->empresa, tax, payable(*it, 0, 0, bar, line),
                                           bar, line, QString());
    QVERIFY2(a.ok && a.payload.isArray(), qPrintable(a.error));
    QCOMPARE(TDataPacket::fromCbor(a.payload.toArray()[0]).rows[0].mid(0, 2),
             (QVariantList{QStringLiteral("ERR"), QStringLiteral("ERRO_BENEFICIARIO")}));
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR")), before);
    QTRY_VERIFY(m_log.contains(
        QRegularExpression(QStringLiteral("GeraContaPagar \\d+ ms ERR ERRO_BENEFICIARIO"))));
}

void TestPayable::geraContaPagarRefusesBadInput_data() {
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("text");
    QTest::newRow("20 campos") << "fields20"
                               << "21 campos";
    QTest::newRow("campo trocado") << "rename"
                                   << "campo 14";
    QTest::newRow("duas linhas") << "rows2"
                                 << "exatamente uma linha";
    QTest::newRow("nenhuma linha") << "rows0"
                                   << "exatamente uma linha";
    QTest::newRow("texto em campo numérico") << "textInFloat"
                                             << "VRMULTAGUIA";
    QTest::newRow("sem vencimento") << "noDue"
                                    << "vencimento";
    QTest::newRow("dígito do código de barras") << "barDigit"
                                                << "Dígito verificador";
    QTest::newRow("código de barras curto") << "barShort"
                                            << "44 dígitos";
    QTest::newRow("linha digitável de outro código") << "line"
                                                     << "Linha digitável não corresponde";
    QTest::newRow("valor do código de barras") << "amount"
                                               << "Valor do código de barras";
    QTest::newRow("total diferente") << "total"
                                     << "difere de imposto";
    QTest::newRow("nota de outra empresa") << "company"
                                           << "não pertence";
    QTest::newRow("filial longa") << "longBranch"
                                  << "filial com mais de 4 caracteres";
    QTest::newRow("imposto longo") << "longTax"
                                   << "imposto com mais de 2 caracteres";
}

void TestPayable::geraContaPagarRefusesBadInput() {
    QFETCH(QString, what);
    QFETCH(QString, text);
    const auto n = *std::find_if(m_all.begin(), m_all.end(), [](const TNote& n) {
        return n.empresa == QLatin1String("01") && n.imposto == QLatin1String("05") &&
               n.status == QLatin1String("N") && n.valor > 0;
    });
    const TDarfBarcode darf = composed(n, 0, 0);
    QString bar = darf.STBARRAGUIA, line = darf.STLINHADIGI, tax = n.imposto;
    QString empresa = n.empresa;
    TDataPacket p = payable(n, 0, 0, bar, line);
    QCborValue wire;
    if (what == QLatin1String("fields20")) {
        p.fields.removeLast();
        p.rows[0].removeLast();
    } else if (what == QLatin1String("rename")) {
        p.fields[13].name = QStringLiteral("CDRECEITA");
    } else if (what == QLatin1String("rows2")) {
        p.rows.append(p.rows[0]);
    } else if (what == QLatin1String("rows0")) {
        p.rows.clear();
    } else if (what == QLatin1String("textInFloat")) {
        QCborMap m = p.toCbor().toMap();
        QCborArray rows = m.value(QStringLiteral("rows")).toArray();
        QCborArray r0 = rows[0].toArray();
        r0[3] = QStringLiteral("dois reais");
        rows[0] = r0;
        m.insert(QStringLiteral("rows"), rows);
        wire = m;
    } else if (what == QLatin1String("noDue")) {
        p.rows[0][5] = QVariant();
        p.rows[0][14] = QVariant();
    } else if (what == QLatin1String("barDigit")) {
        bar[3] = bar[3] == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');
        p.rows[0][19] = bar;
    } else if (what == QLatin1String("barShort")) {
        bar.chop(1);
        p.rows[0][19] = bar;
    } else if (what == QLatin1String("line")) {
        line = lineFor(barcodeFor(ToCentavos(n.valor), 1));
        p.rows[0][18] = line;
    } else if (what == QLatin1String("amount")) {
        bar = barcodeFor(ToCentavos(n.valor) + 1);
        line = lineFor(bar);
        p.rows[0][19] = bar;
        p.rows[0][18] = line;
    } else if (what == QLatin1String("total")) {
        p.rows[0][12] = n.valor + 1;
    } else if (what == QLatin1String("company")) {
        empresa = QStringLiteral("02");
    } else if (what == QLatin1String("longBranch")) {
        p.rows[0][0] = QStringLiteral("0") + n.filial;
    } else if (what == QLatin1String("longTax")) {
        tax = QStringLiteral("0") + tax;
    }
    const int before = count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR"));
    QCborArray args{empresa, tax, wire.isUndefined() ? p.toCbor() : wire, bar, line, QString()};
    const TServerAnswer a = m_con.call(QStringLiteral("GeraContaPagar"), args, {1, 3, 4});
    QVERIFY2(a.ok, qPrintable(a.error));
    QVERIFY2(a.payload.isString(), qPrintable(a.payload.toDiagnosticNotation()));
    QVERIFY2(a.payload.toString().contains(text), qPrintable(a.payload.toString()));
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR")), before);
    TDataPacket np;
    QCOMPARE(noteRow(n, &np)[np.indexOf(QStringLiteral("IDSTATUSGUIA"))].toString(),
             QStringLiteral("N"));
}

void TestPayable::geraContaPagarTotalIsTheSumOfTheStoredParts() {
    // Fine and interest typed with three decimals are stored rounded to the centavo each, and
    // the payable's total must be the tax plus exactly those: the sum rounded once is a centavo
    // short of it and is refused, the sum of the stored parts is issued.
    const auto it = std::find_if(m_all.rbegin(), m_all.rend(), [](const TNote& n) {
        return n.empresa == QLatin1String("01") && n.imposto == QLatin1String("01") &&
               n.status == QLatin1String("N") && n.valor > 0;
    });
    QVERIFY(it != m_all.rend());
    const double multa = 0.005, juros = 0.005;
    const qint64 once = ToCentavos(RoundDec(it->valor + juros + multa, 2));
    QCOMPARE(once, ToCentavos(it->valor) + 1);
    QString tax = it->imposto;
    {
        TDataPacket p = payable(*it, multa, juros, QString(), QString());
        p.rows[0][12] = once / 100.0;
        QString bar = barcodeFor(once), line = lineFor(bar);
        const TServerAnswer a = GeraContaPagar(m_con, it->empresa, tax, p, bar, line, {});
        QVERIFY2(a.ok && a.payload.isString(), qPrintable(a.error));
        QVERIFY2(a.payload.toString().contains(QStringLiteral("difere de imposto")),
                 qPrintable(a.payload.toString()));
    }
    const TDarfBarcode darf = composed(*it, multa, juros);
    QCOMPARE(darf.totalCentavos, ToCentavos(it->valor) + 2);
    QString bar = darf.STBARRAGUIA, line = darf.STLINHADIGI;
    const TServerAnswer a = GeraContaPagar(m_con, it->empresa, tax,
                                           payable(*it, multa, juros, bar, line), bar, line, {});
    QVERIFY2(a.ok && a.payload.isArray(),
             qPrintable(a.ok ? a.payload.toDiagnosticNotation() : a.error));
    QCOMPARE(TDataPacket::fromCbor(a.payload.toArray()[0]).rows[0].mid(0, 2),
             (QVariantList{QStringLiteral("MSG"), QStringLiteral("CONTAPAGAR_OK")}));
    QSqlQuery q(db());
    QVERIFY(q.exec(QStringLiteral("SELECT c.VRCONTAPAGAR, c.VRMULTAGUIA, c.VRJUROGUIA,"
                                  " i.VRIMPOSTONF FROM CONTAPAGAR c JOIN IMPOSTONF i"
                                  " ON i.CDFILIAL = c.CDFILIAL AND i.NRLANCTONF = c.NRLANCTONF"
                                  " AND i.CDIMPOSTONFE = c.CDIMPOSTONFE WHERE c.CDFILIAL = '%1'"
                                  " AND c.NRLANCTONF = '%2' AND c.CDIMPOSTONFE = '01'")
                       .arg(it->filial, it->lancto)));
    QVERIFY(q.next());
    QCOMPARE(ToCentavos(q.value(1).toDouble()), 1);
    QCOMPARE(ToCentavos(q.value(2).toDouble()), 1);
    QCOMPARE(ToCentavos(q.value(0).toDouble()), ToCentavos(q.value(3).toDouble()) + 2);
}

void TestPayable::twoClerksIssueTheSameNote() {
    QList<TNote> candidates;
    for (const TNote& n : m_all)
        if (n.imposto == QLatin1String("06") && n.status == QLatin1String("N") && n.valor > 0 &&
            candidates.size() < 4)
            candidates << n;
    QCOMPARE(candidates.size(), 4);
    const int before = count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR"));
    for (const TNote& n : candidates) {
        const TDarfBarcode darf = composed(n, 0, 0);
        const QString bar = darf.STBARRAGUIA, line = darf.STLINHADIGI;
        const QCborArray args{n.empresa, n.imposto, payable(n, 0, 0, bar, line).toCbor(),
                              bar,       line,      QString()};
        QTcpSocket a, b;
        a.connectToHost(QHostAddress::LocalHost, quint16(m_port));
        b.connectToHost(QHostAddress::LocalHost, quint16(m_port));
        QVERIFY(a.waitForConnected(5000) && b.waitForConnected(5000));
        // Let both workers open their database before the requests race.
        QCOMPARE(rawCall(a, request(1, QStringLiteral("GetParamFiscal"), {}))
                     .contains(QStringLiteral("result")),
                 true);
        QCOMPARE(rawCall(b, request(1, QStringLiteral("GetParamFiscal"), {}))
                     .contains(QStringLiteral("result")),
                 true);
        a.write(request(2, QStringLiteral("GeraContaPagar"), args));
        b.write(request(2, QStringLiteral("GeraContaPagar"), args));
        a.flush();
        b.flush();
        QStringList outcomes;
        for (QTcpSocket* s : {&a, &b}) {
            const QCborMap m = rawCall(*s, {});
            QVERIFY2(m.value(QStringLiteral("result")).isArray(),
                     qPrintable(QCborValue(m).toDiagnosticNotation()));
            const TDataPacket r =
                TDataPacket::fromCbor(m.value(QStringLiteral("result")).toArray()[0]);
            outcomes << r.rows[0][1].toString();
        }
        outcomes.sort();
        QCOMPARE(outcomes, (QStringList{QStringLiteral("CONTAPAGAR_OK"), QStringLiteral("EMIT")}));
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR WHERE CDFILIAL = '%1' AND "
                                      "NRLANCTONF = '%2' AND CDIMPOSTONFE = '06'")
                           .arg(n.filial, n.lancto)),
                 1);
    }
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR")), before + 4);
    // Which way each loser was refused (lock conflict, or the guide already seen issued).
    QTest::qWait(100);
    for (const QString& line : m_log.split(QLatin1Char('\n')))
        if (line.contains(QStringLiteral("GeraContaPagar")) &&
            line.contains(QStringLiteral("EMIT")))
            qInfo("%s", qPrintable(line));
}

// A colleague's transaction that changed the guide's row without issuing it: the issue waits for
// it and then issues, instead of calling the guide issued.
void TestPayable::issueWaitsForAColleaguesSave() {
    const auto it = std::find_if(m_all.begin(), m_all.end(), [](const TNote& n) {
        return n.empresa == QLatin1String("02") && n.imposto == QLatin1String("01") &&
               n.status == QLatin1String("N") && n.valor > 0;
    });
    QVERIFY(it != m_all.end());
    const TNote n = *it;
    const QString where =
        QStringLiteral(" WHERE CDFILIAL = '%1' AND NRLANCTONF = '%2' AND CDIMPOSTONFE = '01'")
            .arg(n.filial, n.lancto);
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR") + where), 0);
    const TDarfBarcode darf = composed(n, 0, 0);
    const QString bar = darf.STBARRAGUIA, line = darf.STLINHADIGI;
    const QCborArray args{n.empresa, n.imposto, payable(n, 0, 0, bar, line).toCbor(),
                          bar,       line,      QString()};

    QCborMap m;
    bool waited = false;
    callWhileRowHeld(QStringLiteral("UPDATE IMPOSTONF SET VRMULTAGUIA = 0") + where,
                     QStringLiteral("GeraContaPagar"), args, &m, &waited);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(waited, "the issue did not wait for the row lock");
    QVERIFY2(m.value(QStringLiteral("result")).isArray(),
             qPrintable(QCborValue(m).toDiagnosticNotation()));
    QCOMPARE(
        TDataPacket::fromCbor(m.value(QStringLiteral("result")).toArray()[0]).rows[0].mid(0, 2),
        (QVariantList{QStringLiteral("MSG"), QStringLiteral("CONTAPAGAR_OK")}));
    QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR") + where), 1);
    QTRY_VERIFY(m_log.contains(QStringLiteral("MSG CONTAPAGAR_OK (após conflito de transação)")));
}

QTEST_GUILESS_MAIN(TestPayable)
#include "test_payable.moc"
