// DARF collection barcode and typable line: layout, rounding and refusals.
#include "core/HostExceptions.h"
#include "core/Services.h"
#include "issuing/DarfBarcode.h"

#include <QRegularExpression>
#include <QTest>
#include <cmath>
#include <limits>

Q_DECLARE_METATYPE(std::optional<double>)

namespace {

const QDate kRefPag(2024, 1, 1);
const QDate kRefVenc(2023, 11, 15);

// The worked example: total 103.50, due 30 days after the payment reference, entry/exit date
// 100 days after the due reference.
TDarfInput example() {
    TDarfInput in;
    in.VRIMPOSTONF = 100.00;
    in.VRJUROGUIA = 1.50;
    in.VRMULTAGUIA = 2.00;
    in.DTREFPAGDARF = kRefPag;
    in.DTREFVENCDARF = kRefVenc;
    in.DTVENCGUIA = kRefPag.addDays(30);
    in.DTENTRSAID = kRefVenc.addDays(100);
    in.NRINSJUREMPR = QStringLiteral("12345678000195");
    in.CDRECEGUIA = QStringLiteral("1234");
    return in;
}

const QRegularExpression kLineShape(QStringLiteral("^([0-9]{11}\\.[0-9] ){3}[0-9]{11}\\.[0-9]$"));

} // namespace

class TestDarfBarcode : public QObject {
    Q_OBJECT
private slots:
    void workedExample() {
        const TDarfBarcode b = MontaBarraDarf(example());
        QCOMPARE(b.STBARRAGUIA, QStringLiteral("85670000001035000640030112345678000112340100"));
        QCOMPARE(b.STLINHADIGI,
                 QStringLiteral("85670000001.6 03500064003.3 01123456780.5 00112340100.0"));
        QCOMPARE(b.VRIMPOSTONF, 103.50);
        QCOMPARE(b.totalCentavos, qint64(10350));
    }

    // Amounts whose product by 100 is not a whole binary number must still give the centavo
    // the clerk typed.
    void amountField_data() {
        QTest::addColumn<std::optional<double>>("tax");
        QTest::addColumn<std::optional<double>>("interest");
        QTest::addColumn<std::optional<double>>("fine");
        QTest::addColumn<QString>("field");
        QTest::addColumn<double>("total");
        using O = std::optional<double>;
        QTest::newRow("1.15") << O(1.15) << O() << O() << "00000000115" << 1.15;
        QTest::newRow("0.29") << O(0.29) << O() << O() << "00000000029" << 0.29;
        QTest::newRow("2.675 rounds up") << O(2.675) << O() << O() << "00000000268" << 2.68;
        QTest::newRow("1234.5") << O(1234.5) << O() << O() << "00000123450" << 1234.5;
        QTest::newRow("0.1+0.2") << O(0.1) << O(0.2) << O() << "00000000030" << 0.3;
        QTest::newRow("sum 4.35+0.01+0.01")
            << O(4.35) << O(0.01) << O(0.01) << "00000000437" << 4.37;
        QTest::newRow("empty interest and fine")
            << O(100.0) << O() << O() << "00000010000" << 100.0;
        QTest::newRow("empty tax") << O() << O(1.5) << O(2.0) << "00000000350" << 3.5;
        QTest::newRow("zero") << O(0.0) << O(0.0) << O(0.0) << "00000000000" << 0.0;
        QTest::newRow("largest") << O(999999999.99) << O() << O() << "99999999999" << 999999999.99;
        QTest::newRow("negative interest lowers")
            << O(10.0) << O(-0.5) << O() << "00000000950" << 9.5;
    }
    void amountField() {
        QFETCH(std::optional<double>, tax);
        QFETCH(std::optional<double>, interest);
        QFETCH(std::optional<double>, fine);
        QFETCH(QString, field);
        QFETCH(double, total);
        TDarfInput in = example();
        in.VRIMPOSTONF = tax;
        in.VRJUROGUIA = interest;
        in.VRMULTAGUIA = fine;
        const TDarfBarcode b = MontaBarraDarf(in);
        QCOMPARE(b.STBARRAGUIA.mid(4, 11), field);
        QCOMPARE(b.VRIMPOSTONF, total);
        QCOMPARE(b.totalCentavos, field.toLongLong());
        QCOMPARE(b.STBARRAGUIA.at(3), Mod10(b.STBARRAGUIA.left(3) + b.STBARRAGUIA.mid(4)));
    }

    void fields_data() {
        QTest::addColumn<int>("dueDays");
        QTest::addColumn<int>("entryDays");
        QTest::addColumn<QString>("registration");
        QTest::addColumn<QString>("revenue");
        QTest::addColumn<QString>("free"); // positions 20-44
        QTest::newRow("due on reference") << 0 << 100 << "12345678000195"
                                          << "1234"
                                          << "0000112345678000112340100";
        QTest::newRow("largest day counts") << 9999 << 9999 << "12345678000195"
                                            << "1234"
                                            << "9999112345678000112349999";
        QTest::newRow("entry on reference") << 30 << 0 << "12345678000195"
                                            << "5952"
                                            << "0030112345678000159520000";
        QTest::newRow("CNPJ with punctuation") << 30 << 100 << "12.345.678/0001-95"
                                               << "1234"
                                               << "0030112345678000112340100";
        QTest::newRow("CPF padded then cut") << 30 << 100 << "12345678909"
                                             << "1234"
                                             << "0030100012345678912340100";
        QTest::newRow("CPF with punctuation") << 30 << 100 << "123.456.789-09"
                                              << "1234"
                                              << "0030100012345678912340100";
        QTest::newRow("spaces dropped") << 30 << 100 << " 12 345 678 0001 95 "
                                        << "1234"
                                        << "0030112345678000112340100";
        QTest::newRow("revenue code blank-padded") << 30 << 100 << "12345678000195"
                                                   << "0561 "
                                                   << "0030112345678000105610100";
    }
    void fields() {
        QFETCH(int, dueDays);
        QFETCH(int, entryDays);
        QFETCH(QString, registration);
        QFETCH(QString, revenue);
        QFETCH(QString, free);
        TDarfInput in = example();
        in.DTVENCGUIA = kRefPag.addDays(dueDays);
        in.DTENTRSAID = kRefVenc.addDays(entryDays);
        in.NRINSJUREMPR = registration;
        in.CDRECEGUIA = revenue;
        const TDarfBarcode b = MontaBarraDarf(in);
        QCOMPARE(b.STBARRAGUIA.size(), 44);
        QCOMPARE(b.STBARRAGUIA.left(3), QStringLiteral("856"));
        QCOMPARE(b.STBARRAGUIA.mid(4, 15), QStringLiteral("000000103500064"));
        QCOMPARE(b.STBARRAGUIA.mid(19), free);
        QCOMPARE(b.STBARRAGUIA.at(3), Mod10(b.STBARRAGUIA.left(3) + b.STBARRAGUIA.mid(4)));
        // The typable line carries the barcode group by group, each group with its own digit.
        QCOMPARE(b.STLINHADIGI.size(), 55);
        QVERIFY2(kLineShape.match(b.STLINHADIGI).hasMatch(), qPrintable(b.STLINHADIGI));
        for (int k = 0; k < 4; ++k) {
            const QString group = b.STLINHADIGI.mid(14 * k, 13);
            QCOMPARE(group.left(11), b.STBARRAGUIA.mid(11 * k, 11));
            QCOMPARE(group.at(12), Mod10(group.left(11)));
        }
    }

    // Each refusal names the value the clerk has to correct.
    void refusals_data() {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("message");
        QTest::newRow("total over 11 digits")
            << "tax"
            << "123456789012.34"
            << "Valor total 123.456.789.012,34 excede 11 dígitos do código de barras.";
        QTest::newRow("total one centavo over")
            << "tax"
            << "1000000000.00"
            << "Valor total 1.000.000.000,00 excede 11 dígitos do código de barras.";
        QTest::newRow("total beyond 64 bits")
            << "tax"
            << "1e20"
            << "Valor total 100.000.000.000.000.000.000,00 excede 11 dígitos do código de barras.";
        QTest::newRow("negative total")
            << "tax"
            << "-5"
            << "Valor total -5,00 é negativo; o código de barras não aceita valor negativo.";
        QTest::newRow("negative with thousands")
            << "tax"
            << "-1234.5"
            << "Valor total -1.234,50 é negativo; o código de barras não aceita valor negativo.";
        QTest::newRow("negative beyond 64 bits")
            << "tax"
            << "-1e20"
            << "Valor total -100.000.000.000.000.000.000,00 é negativo; o código de barras não "
               "aceita valor negativo.";
        QTest::newRow("not a number")
            << "tax"
            << "nan"
            << "Valor total inválido (nan); o código de barras precisa de um valor em reais.";
        QTest::newRow("infinite")
            << "tax"
            << "inf"
            << "Valor total inválido (inf); o código de barras precisa de um valor em reais.";
        QTest::newRow("due before reference")
            << "dueDays"
            << "-1"
            << "Vencimento 31/12/2023 é anterior à data de referência de pagamento 01/01/2024; o "
               "código de barras não aceita contagem de dias negativa.";
        QTest::newRow("due 10000 days after")
            << "dueDays"
            << "10000"
            << "Vencimento 19/05/2051 está 10000 dias após a data de referência de pagamento "
               "01/01/2024; o código de barras aceita no máximo 9999 dias.";
        QTest::newRow("entry before reference")
            << "entryDays"
            << "-30"
            << "Data de entrada/saída 16/10/2023 é anterior à data de referência de vencimento "
               "15/11/2023; o código de barras não aceita contagem de dias negativa.";
        QTest::newRow("entry 10000 days after")
            << "entryDays"
            << "10000"
            << "Data de entrada/saída 02/04/2051 está 10000 dias após a data de referência de "
               "vencimento 15/11/2023; o código de barras aceita no máximo 9999 dias.";
        QTest::newRow("no due date") << "clear"
                                     << "DTVENCGUIA"
                                     << "Data de vencimento da guia não informada.";
        QTest::newRow("no entry date") << "clear"
                                       << "DTENTRSAID"
                                       << "Data de entrada/saída da nota não informada.";
        QTest::newRow("no payment reference")
            << "clear"
            << "DTREFPAGDARF"
            << "Data de referência de pagamento da DARF (parâmetros fiscais) não informada.";
        QTest::newRow("no due reference")
            << "clear"
            << "DTREFVENCDARF"
            << "Data de referência de vencimento da DARF (parâmetros fiscais) não informada.";
        QTest::newRow("registration 15 digits")
            << "registration"
            << "123456780001951"
            << "Inscrição da empresa \"123456780001951\" tem 15 dígitos; o máximo é 14.";
        QTest::newRow("registration with letter")
            << "registration"
            << "12.345.678/0001-9X"
            << "Inscrição da empresa \"12.345.678/0001-9X\" contém caracteres que não são dígitos.";
        QTest::newRow("registration with comma")
            << "registration"
            << "12,345,678"
            << "Inscrição da empresa \"12,345,678\" contém caracteres que não são dígitos.";
        QTest::newRow("registration non-ASCII digit")
            << "registration" << QStringLiteral("1234567800019\u0665")
            << QStringLiteral("Inscrição da empresa \"1234567800019\u0665\" contém caracteres que "
                              "não são dígitos.");
        QTest::newRow("registration empty") << "registration"
                                            << " ./- "
                                            << "Inscrição da empresa não informada.";
        QTest::newRow("revenue 3 digits")
            << "revenue"
            << "123"
            << "Código da Receita \"123\" deve ter exatamente 4 dígitos.";
        QTest::newRow("revenue 5 digits")
            << "revenue"
            << "12345"
            << "Código da Receita \"12345\" deve ter exatamente 4 dígitos.";
        QTest::newRow("revenue letters")
            << "revenue"
            << "12A4"
            << "Código da Receita \"12A4\" deve ter exatamente 4 dígitos.";
        QTest::newRow("revenue empty") << "revenue"
                                       << ""
                                       << "Código da Receita \"\" deve ter exatamente 4 dígitos.";
    }
    void refusals() {
        QFETCH(QString, what);
        QFETCH(QString, value);
        QFETCH(QString, message);
        TDarfInput in = example();
        if (what == "tax") {
            in.VRIMPOSTONF = value == "nan"   ? std::numeric_limits<double>::quiet_NaN()
                             : value == "inf" ? std::numeric_limits<double>::infinity()
                                              : value.toDouble();
            in.VRJUROGUIA.reset();
            in.VRMULTAGUIA.reset();
        } else if (what == "dueDays") {
            in.DTVENCGUIA = kRefPag.addDays(value.toInt());
        } else if (what == "entryDays") {
            in.DTENTRSAID = kRefVenc.addDays(value.toInt());
        } else if (what == "registration") {
            in.NRINSJUREMPR = value;
        } else if (what == "revenue") {
            in.CDRECEGUIA = value;
        } else if (value == "DTVENCGUIA") {
            in.DTVENCGUIA = QDate();
        } else if (value == "DTENTRSAID") {
            in.DTENTRSAID = QDate();
        } else if (value == "DTREFPAGDARF") {
            in.DTREFPAGDARF = QDate();
        } else if (value == "DTREFVENCDARF") {
            in.DTREFVENCDARF = QDate();
        }
        try {
            const TDarfBarcode b = MontaBarraDarf(in);
            QFAIL(qPrintable(QStringLiteral("accepted, gave %1").arg(b.STBARRAGUIA)));
        } catch (const EHostError& e) {
            QCOMPARE(e.text(), message);
        }
    }

    // The check recognises a good barcode or line in every form a person types, and names the
    // digit that is wrong.
    void check_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("isLine");
        QTest::addColumn<QStringList>("faults");
        const QString bar = QStringLiteral("85670000001035000640030112345678000112340100");
        QTest::newRow("barcode") << bar << false << QStringList();
        QTest::newRow("line 55 chars")
            << "85670000001.6 03500064003.3 01123456780.5 00112340100.0" << true << QStringList();
        QTest::newRow("line with dashes")
            << "85670000001-6 03500064003-3 01123456780-5 00112340100-0" << true << QStringList();
        QTest::newRow("line bare digits")
            << "856700000016035000640033011234567805001123401000" << true << QStringList();
        QTest::newRow("line group 2 digit wrong")
            << "85670000001.6 03500064003.4 01123456780.5 00112340100.0" << true
            << QStringList{"dígito do grupo 2 incorreto: esperado 3, encontrado 4"};
        QTest::newRow("line general digit wrong")
            << "85680000001.5 03500064003.3 01123456780.5 00112340100.0" << true
            << QStringList{"dígito verificador geral incorreto: esperado 7, encontrado 8"};
        QTest::newRow("line body digit changed in group 3")
            << "85670000001.6 03500064003.3 01123456781.5 00112340100.0" << true
            << QStringList{"dígito verificador geral incorreto: esperado 6, encontrado 7",
                           "dígito do grupo 3 incorreto: esperado 3, encontrado 5"};
        QTest::newRow("barcode general digit wrong")
            << "85660000001035000640030112345678000112340100" << false
            << QStringList{"dígito verificador geral incorreto: esperado 7, encontrado 6"};
        QTest::newRow("barcode not arrecadação")
            << "75670000001035000640030112345678000112340100" << false
            << QStringList{"posição 1 deve ser 8 (arrecadação), encontrado 7",
                           "dígito verificador geral incorreto: esperado 9, encontrado 7"};
    }
    void check() {
        QFETCH(QString, text);
        QFETCH(bool, isLine);
        QFETCH(QStringList, faults);
        const TDarfCheck c = ConfereBarraDarf(text);
        QCOMPARE(c.isLine, isLine);
        QCOMPARE(c.faults, faults);
        QCOMPARE(c.barcode.size(), 44);
        QVERIFY(kLineShape.match(c.line).hasMatch());
    }

    void checkRefusesMalformed_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("43 digits") << "8567000000103500064003011234567800011234010";
        QTest::newRow("47 digits") << "85670000001.6 03500064003.3 01123456780.5 0011234010.0";
        QTest::newRow("letter") << "85670000001.6 0350006400X.3 01123456780.5 00112340100.0";
        QTest::newRow("empty") << "";
    }
    void checkRefusesMalformed() {
        QFETCH(QString, text);
        QVERIFY_THROWS_EXCEPTION(EHostError, ConfereBarraDarf(text));
    }
};

QTEST_GUILESS_MAIN(TestDarfBarcode)
#include "test_darfbarcode.moc"
