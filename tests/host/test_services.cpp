// Pure host services: padding, rounding, masks and check digits.
#include "core/HostExceptions.h"
#include "core/Services.h"

#include <QTest>

class TestServices : public QObject {
    Q_OBJECT
private slots:
    void ajusta_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("expected");
        QTest::newRow("company") << "1" << 2 << "01";
        QTest::newRow("empty") << "" << 4 << "0000";
        QTest::newRow("exact") << "12" << 2 << "12";
        QTest::newRow("longer kept") << "123" << 2 << "123";
        QTest::newRow("registration") << "12345678901" << 14 << "00012345678901";
    }
    void ajusta() {
        QFETCH(QString, text);
        QFETCH(int, width);
        QFETCH(QString, expected);
        QCOMPARE(Ajusta(text, width), expected);
    }

    void roundDec_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("places");
        QTest::addColumn<double>("expected");
        QTest::newRow("binary residue up") << 2.675 << 2 << 2.68;
        QTest::newRow("1.005") << 1.005 << 2 << 1.01;
        QTest::newRow("half away neg") << -2.5 << 0 << -3.0;
        QTest::newRow("carry") << 9.995 << 2 << 10.0;
        QTest::newRow("down") << 1.234 << 2 << 1.23;
        QTest::newRow("sum") << (100.0 + 1.5 + 2.0) << 2 << 103.5;
        QTest::newRow("tiny negative to zero") << -0.001 << 2 << 0.0;
        QTest::newRow("huge kept") << 1e70 << 2 << 1e70;
        QTest::newRow("largest double kept")
            << 1.7976931348623157e308 << 2 << 1.7976931348623157e308;
        QTest::newRow("subnormal to zero") << 5e-324 << 2 << 0.0;
        QTest::newRow("tiny half rounds up") << 0.005000000000000001 << 2 << 0.01;
    }
    void roundDec() {
        QFETCH(double, value);
        QFETCH(int, places);
        QFETCH(double, expected);
        QCOMPARE(RoundDec(value, places), expected);
    }

    void centavos() {
        QCOMPARE(ToCentavos(1.15), 115);
        QCOMPARE(ToCentavos(0.29), 29);
        QCOMPARE(ToCentavos(2.675), 268);
        QCOMPARE(ToCentavos(1234.5), 123450);
        QCOMPARE(ToCentavos(0.1 + 0.2), 30);
        QCOMPARE(ToCentavos(-1234.505), -123451);
        QCOMPARE(ToCentavos(1e16), Q_INT64_C(1000000000000000000));
        QVERIFY_THROWS_EXCEPTION(EHostError, ToCentavos(qQNaN()));
        QVERIFY_THROWS_EXCEPTION(EHostError, ToCentavos(qInf()));
        // Too many centavos for the count: refused, never a zero or a wrapped amount.
        QVERIFY_THROWS_EXCEPTION(EHostError, ToCentavos(1e17));
        QVERIFY_THROWS_EXCEPTION(EHostError, ToCentavos(-1e17));
        QVERIFY_THROWS_EXCEPTION(EHostError, ToCentavos(1e70));
    }

    void mod10_data() {
        QTest::addColumn<QString>("digits");
        QTest::addColumn<QString>("expected");
        QTest::newRow("known") << "01230067896"
                               << "3";
        QTest::newRow("darf body") << "8560000001035000640030112345678000112340100"
                                   << "7";
        QTest::newRow("remainder zero gives 0") << "0"
                                                << "0";
        QTest::newRow("block 1") << "85670000001"
                                 << "6";
    }
    void mod10() {
        QFETCH(QString, digits);
        QFETCH(QString, expected);
        QCOMPARE(QString(Mod10(digits)), expected);
    }
    void mod10RefusesNonDigits() { QVERIFY_THROWS_EXCEPTION(EHostError, Mod10("12a4")); }

    void typableLine() {
        QCOMPARE(TransformaBarraLinhaDigi("85670000001035000640030112345678000112340100"),
                 QString("856700000016035000640033011234567805001123401000"));
        QVERIFY_THROWS_EXCEPTION(EHostError, TransformaBarraLinhaDigi("123"));
    }

    void masks() {
        QCOMPARE(FormatMaskText(PictPess("J"), "12345678000195"), QString("12.345.678/0001-95"));
        QCOMPARE(FormatMaskText(PictPess("F"), "12345678909"), QString("123.456.789-09"));
        QCOMPARE(FormatMaskText(PictPess("F"), "123"), QString("123.___.___-__"));
        QCOMPARE(PictPess("X"), QString());
        QCOMPARE(FormatMaskText(PictPess("X"), "AB-123"), QString("AB-123"));
        QCOMPARE(FormatMaskText(DateMask(), ""), EmptyDateText());
        QCOMPARE(FormatMaskText("99999999999.9 99999999999.9;0;_", "123"),
                 QString("123________._ ___________._"));
    }

    void dates() {
        QCOMPARE(PriDiaMes(QDate(2026, 12, 8)), QDate(2026, 12, 1));
        QVERIFY(!PriDiaMes(QDate()).isValid());
        QVERIFY(EmptyString("   "));
        QVERIFY(!EmptyString(" a "));
        QCOMPARE(FormatBR(1234.5), QString("1.234,50"));
    }
};

QTEST_GUILESS_MAIN(TestServices)
#include "test_services.moc"
