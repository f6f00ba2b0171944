// The one packet format between server and client: CBOR codec and its refusals.
#include "core/DataPacket.h"
#include "core/HostExceptions.h"

#include <QCborArray>
#include <QCborMap>
#include <QtTest>
#include <ctime>

namespace {

TDataPacket everyType() {
    TDataPacket p;
    p.fields = {{"TXT", TFieldType::String, 20},
                {"FIX", TFieldType::FixedChar, 1},
                {"VAL", TFieldType::Float, 0},
                {"DT", TFieldType::DateTime, 0},
                {"QT", TFieldType::Integer, 0}};
    p.rows = {{QStringLiteral("Ação"), QStringLiteral("C"), 1234.56,
               QDateTime(QDate(2026, 10, 18), QTime(0, 0)), qint64(1) << 40},
              {QVariant(), QVariant(), QVariant(), QVariant(), QVariant()},
              {QStringLiteral("x"), QStringLiteral("U"), -0.01,
               QDateTime(QDate(2026, 2, 22), QTime(23, 30, 15)), qint64(-3)}};
    return p;
}

QCborMap packetMap(const QCborArray& fields, const QCborArray& rows) {
    QCborMap m;
    m.insert(QStringLiteral("fields"), fields);
    m.insert(QStringLiteral("rows"), rows);
    return m;
}

} // namespace

class TestDataPacket : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void roundTripThroughBytes();
    void malformedRefused_data();
    void malformedRefused();
};

void TestDataPacket::initTestCase() {
    // A zone with daylight saving changes at midnight: a date must never move a day.
    qputenv("TZ", "America/Sao_Paulo");
    tzset();
}

void TestDataPacket::roundTripThroughBytes() {
    const TDataPacket p = everyType();
    const QByteArray wire = p.toCbor().toCbor();
    const TDataPacket back = TDataPacket::fromCbor(QCborValue::fromCbor(wire));
    QCOMPARE(back, p);
    QCOMPARE(back.rows[0][3].toDateTime().date(), QDate(2026, 10, 18));
    QCOMPARE(back.rows[2][3].toDateTime().time(), QTime(23, 30, 15));
    QCOMPARE(back.indexOf(QStringLiteral("val")), 2);
}

void TestDataPacket::malformedRefused_data() {
    QTest::addColumn<QCborValue>("value");
    QTest::addColumn<QString>("textPart");
    // One-element lists are spelled with QCborValue: a braced QCborArray alone would be copied.
    const QCborArray oneField{QCborValue(QCborArray{"VAL", "float", 0})};
    QTest::newRow("not a map") << QCborValue(42) << "Pacote inválido";
    QTest::newRow("rows missing") << QCborValue(QCborMap{{"fields", oneField}})
                                  << "Pacote inválido";
    QTest::newRow("field without name")
        << QCborValue(packetMap({QCborValue(QCborArray{"", "string", 1})}, {})) << "campo sem nome";
    QTest::newRow("unknown type") << QCborValue(
                                         packetMap({QCborValue(QCborArray{"A", "blob", 1})}, {}))
                                  << "blob";
    QTest::newRow("short row") << QCborValue(packetMap(oneField, {QCborValue(QCborArray{})}))
                               << "linha 1 tem 0 valores";
    QTest::newRow("text in float")
        << QCborValue(packetMap(oneField, {QCborArray{1.5}, QCborArray{"x"}})) << "linha 2";
    QTest::newRow("text in date") << QCborValue(
                                         packetMap({QCborValue(QCborArray{"D", "datetime", 0})},
                                                   {QCborValue(QCborArray{"31/02/2026"})}))
                                  << "campo D";
}

void TestDataPacket::malformedRefused() {
    QFETCH(QCborValue, value);
    QFETCH(QString, textPart);
    try {
        TDataPacket::fromCbor(value);
        QFAIL("accepted");
    } catch (const EHostError& e) {
        QVERIFY2(e.text().contains(textPart), qPrintable(e.text()));
    }
}

QTEST_GUILESS_MAIN(TestDataPacket)
#include "test_datapacket.moc"
