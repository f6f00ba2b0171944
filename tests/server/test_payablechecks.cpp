// The checks of GeraContaPagar that need no database, called directly: reading the payable
// packet and arguments, the barcode and typable line against the packet's, and the amounts.
#include "PayableChecks.h"
#include "Records.h"

#include <QCborMap>
#include <QtTest>
#include <cmath>

namespace {

const QString kBar = QStringLiteral("85670000001035000640030112345678000112340100"); // 103,50
const QString kLine = QStringLiteral("85670000001.6 03500064003.3 01123456780.5 00112340100.0");

// A payable the server accepts as far as no database is asked: note 0001/77, tax 01.
TDataPacket goodPacket() {
    TDataPacket p;
    p.fields = FisProtocol::contaPagarFields();
    const QDateTime due(QDate(2026, 9, 30), QTime(0, 0));
    p.rows.append({QStringLiteral("0001"),
                   QStringLiteral("77"),
                   QStringLiteral("N"),
                   2.0,
                   1.5,
                   due,
                   QVariant(),
                   QVariant(),
                   QVariant(),
                   QStringLiteral("123"),
                   QVariant(),
                   1000.0,
                   103.5,
                   QStringLiteral("5123"),
                   due,
                   QStringLiteral("S"),
                   QStringLiteral("C"),
                   QStringLiteral("1"),
                   kLine,
                   kBar,
                   QString()});
    return p;
}

QCborArray argsWith(const QCborValue& packet) {
    return {QStringLiteral("01"),       QStringLiteral("01"), packet, kBar, kLine,
            QStringLiteral("Histórico")};
}

} // namespace

class TestPayableChecks : public QObject {
    Q_OBJECT
private slots:
    void readsAGoodPayable();
    void refusals_data();
    void refusals();
    void collection_data();
    void collection();
    void amountDueIsTheSumOfTheStoredParts_data();
    void amountDueIsTheSumOfTheStoredParts();
    void amounts();
};

void TestPayableChecks::readsAGoodPayable() {
    TDataPacket p = goodPacket();
    // Integer where a float belongs and fixed text where text belongs are the same kind.
    p.fields[11].type = TFieldType::Integer;
    p.rows[0][11] = qint64(1000);
    p.fields[2].type = TFieldType::FixedChar;
    p.rows[0][5] = QVariant(); // no DTVENCGUIA: the GNRE due date stands in
    p.rows[0][3] = 2.004;
    FisServer::TPayable out;
    QCOMPARE(FisServer::readPayable(argsWith(p.toCbor()), out), QString());
    QCOMPARE(out.filial, QStringLiteral("0001"));
    QCOMPARE(out.lancto, QStringLiteral("77"));
    QCOMPARE(out.receita, QStringLiteral("5123"));
    QCOMPARE(out.venc, QDateTime(QDate(2026, 9, 30), QTime(0, 0)));
    QCOMPARE(out.multa, 2.0);
    QCOMPARE(out.multaTyped, 2.004);
    QCOMPARE(out.total, 103.5);
    QCOMPARE(out.barra, kBar);
    QCOMPARE(out.packetLinha, kLine);
    QCOMPARE(out.hist, QStringLiteral("Histórico"));
}

void TestPayableChecks::refusals_data() {
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("text");
    QTest::newRow("not a packet") << "list"
                                  << "Conta a pagar: Pacote inválido";
    QTest::newRow("20 fields") << "fields20"
                               << "os 21 campos da conta a pagar (recebidos 20)";
    QTest::newRow("float as text") << "floatAsText"
                                   << "campo 4 do pacote deve ser VRMULTAGUIA (float)";
    QTest::newRow("two rows") << "rows2"
                              << "exatamente uma linha (recebidas 2)";
    QTest::newRow("no branch") << "noBranch"
                               << "filial e lançamento da nota devem ser informados";
    QTest::newRow("no tax") << "noTax"
                            << "imposto deve ser informado";
    QTest::newRow("long company") << "longCompany"
                                  << "Conta a pagar: empresa com mais de 2 caracteres";
    // Both due dates empty, and a bad revenue code as well: the due date is named first.
    QTest::newRow("no due date") << "noDue"
                                 << "vencimento deve ser informado";
    QTest::newRow("revenue code") << "longRevenue"
                                  << "código da receita inválido: \"51234\"";
    QTest::newRow("negative fine") << "negativeFine"
                                   << "GeraContaPagar: valor da multa inválido";
    QTest::newRow("total not a number") << "nanTotal"
                                        << "GeraContaPagar: valor a pagar inválido";
    QTest::newRow("long history") << "longHistory"
                                  << "histórico com mais de 255 caracteres";
}

void TestPayableChecks::refusals() {
    QFETCH(QString, what);
    QFETCH(QString, text);
    TDataPacket p = goodPacket();
    QCborArray args = argsWith(QCborValue());
    QVariantList& r = p.rows[0];
    if (what == QLatin1String("fields20")) {
        p.fields.removeLast();
        r.removeLast();
    } else if (what == QLatin1String("floatAsText")) {
        p.fields[3].type = TFieldType::String;
        r[3] = QStringLiteral("2");
    } else if (what == QLatin1String("rows2")) {
        p.rows.append(r);
    } else if (what == QLatin1String("noBranch")) {
        r[0] = QStringLiteral("  ");
    } else if (what == QLatin1String("noTax")) {
        args[1] = QString();
    } else if (what == QLatin1String("longCompany")) {
        args[0] = QStringLiteral("001");
    } else if (what == QLatin1String("noDue")) {
        r[5] = r[14] = QVariant();
        r[13] = QStringLiteral("51234");
    } else if (what == QLatin1String("longRevenue")) {
        r[13] = QStringLiteral("51234");
    } else if (what == QLatin1String("negativeFine")) {
        r[3] = -0.01;
    } else if (what == QLatin1String("nanTotal")) {
        r[12] = std::nan("");
    } else if (what == QLatin1String("longHistory")) {
        args[5] = QString(256, QLatin1Char('h'));
    }
    args[2] = what == QLatin1String("list") ? QCborValue(QCborArray{}) : p.toCbor();
    FisServer::TPayable out;
    const QString why = FisServer::readPayable(args, out);
    QVERIFY2(why.contains(text), qPrintable(why));
}

void TestPayableChecks::collection_data() {
    QTest::addColumn<QString>("barra");
    QTest::addColumn<QString>("linha");
    QTest::addColumn<QString>("packetBarra");
    QTest::addColumn<QString>("packetLinha");
    QTest::addColumn<QString>("text"); // empty: accepted
    const QString otherBar = QStringLiteral("85680000001035000640030112345678000112340100");
    QTest::newRow("packet carries none") << kBar << kLine << ""
                                         << ""
                                         << "";
    QTest::newRow("packet carries the same") << kBar << kLine << kBar << kLine << "";
    QTest::newRow("barcode digit") << otherBar << kLine << ""
                                   << ""
                                   << "Dígito verificador do código de barras inválido";
    QTest::newRow("line of another barcode")
        << kBar << QStringLiteral("85670000001.6 03500064003.3 01123456780.5 00112340101.9") << ""
        << ""
        << "Linha digitável não corresponde";
    QTest::newRow("packet's barcode differs")
        << kBar << kLine << QString(kBar).replace(43, 1, QLatin1Char('1')) << ""
        << "Código de barras do pacote difere do informado";
    QTest::newRow("packet's line differs") << kBar << kLine << kBar << QStringLiteral("8567")
                                           << "Linha digitável do pacote difere da informada";
}

void TestPayableChecks::collection() {
    QFETCH(QString, barra);
    QFETCH(QString, linha);
    QFETCH(QString, packetBarra);
    QFETCH(QString, packetLinha);
    QFETCH(QString, text);
    FisServer::TPayable p;
    p.barra = barra;
    p.linha = linha;
    p.packetBarra = packetBarra;
    p.packetLinha = packetLinha;
    const QString why = FisServer::checkCollection(p);
    if (text.isEmpty())
        QCOMPARE(why, QString());
    else
        QVERIFY2(why.startsWith(text), qPrintable(why));
}

void TestPayableChecks::amountDueIsTheSumOfTheStoredParts_data() {
    QTest::addColumn<double>("tax");
    QTest::addColumn<double>("interest");
    QTest::addColumn<double>("fine");
    QTest::addColumn<qint64>("centavos");
    QTest::newRow("whole centavos") << 100.0 << 1.5 << 2.0 << qint64(10350);
    // Fine and interest are stored rounded to the centavo each (0,01 and 0,01), and the total is
    // made of what is stored: 100,02, not the sum rounded once (100,01).
    QTest::newRow("third decimals") << 100.0 << 0.005 << 0.005 << qint64(10002);
    QTest::newRow("binary residue") << 1469.62 << 0.1 << 0.2 << qint64(146992);
    QTest::newRow("nothing") << 0.0 << 0.0 << 0.0 << qint64(0);
}

void TestPayableChecks::amountDueIsTheSumOfTheStoredParts() {
    QFETCH(double, tax);
    QFETCH(double, interest);
    QFETCH(double, fine);
    QFETCH(qint64, centavos);
    QCOMPARE(FisServer::amountDue(tax, interest, fine), centavos);
}

void TestPayableChecks::amounts() {
    QCOMPARE(FisServer::checkAmounts(103.5, 10350, kBar), QString());
    QCOMPARE(FisServer::checkAmounts(103.49, 10350, kBar),
             QStringLiteral("Valor a pagar 103,49 difere de imposto + multa + juros (103,50)."));
    QCOMPARE(
        FisServer::checkAmounts(103.51, 10351, kBar),
        QStringLiteral("Valor do código de barras (103,50) difere do valor a pagar (103,51)."));
}

QTEST_GUILESS_MAIN(TestPayableChecks)
#include "test_payablechecks.moc"
