// Frame codec, key-list parsing and barcode checks: the pure parts of the server protocol.
#include "Notes.h"
#include "PayableChecks.h"
#include "core/Frame.h"
#include "core/HostExceptions.h"
#include "core/Services.h"

#include <QBuffer>
#include <QCborArray>
#include <QCborMap>
#include <QtTest>

class TestFrame : public QObject {
    Q_OBJECT
private slots:
    void roundTripInPieces_data();
    void roundTripInPieces();
    void severalFramesInOneChunk();
    void oversizedLengthIsRefusedAndSticks();
    void malformedFrameIsSkipped_data();
    void malformedFrameIsSkipped();
    void readsFromDevice();
    void keyLists_data();
    void keyLists();
    void barcodes_data();
    void barcodes();
    void typableLine();
};

namespace {
QCborMap sampleRequest() {
    QCborMap m;
    m.insert(QStringLiteral("id"), 7);
    m.insert(QStringLiteral("object"), QStringLiteral("Fis98100.rdmCriaEmissaoDarfDoc"));
    m.insert(QStringLiteral("method"), QStringLiteral("GetSerie"));
    m.insert(QStringLiteral("args"),
             QCborArray{QStringLiteral("01"), QStringLiteral("Série única"), QString(), 2.5,
                        QCborValue(QDateTime(QDate(2026, 1, 31), QTime(0, 0), Qt::UTC))});
    return m;
}

QByteArray frameOf(const QByteArray& body) {
    QByteArray f(4, 0);
    qToBigEndian<quint32>(quint32(body.size()), f.data());
    return f + body;
}
} // namespace

void TestFrame::roundTripInPieces_data() {
    QTest::addColumn<int>("piece");
    QTest::newRow("byte by byte") << 1;
    QTest::newRow("3 bytes") << 3;
    QTest::newRow("prefix split") << 2;
    QTest::newRow("whole") << 100000;
}

void TestFrame::roundTripInPieces() {
    QFETCH(int, piece);
    const QByteArray wire = FisFrame::encode(sampleRequest());
    QCOMPARE(qFromBigEndian<quint32>(wire.constData()), quint32(wire.size() - 4));
    TFrameReader r;
    QCborValue item;
    int items = 0;
    for (int i = 0; i < wire.size(); i += piece) {
        r.append(wire.mid(i, piece));
        const auto st = r.next(item);
        if (i + piece < wire.size())
            QCOMPARE(st, TFrameReader::Status::NeedMore);
        else if (st == TFrameReader::Status::Item)
            ++items;
    }
    QCOMPARE(items, 1);
    QCOMPARE(item.toMap(), sampleRequest());
    QCOMPARE(r.next(item), TFrameReader::Status::NeedMore);
}

void TestFrame::severalFramesInOneChunk() {
    TFrameReader r;
    r.append(FisFrame::encode(QCborValue(1)) +
             FisFrame::encode(QCborValue(QStringLiteral("dois"))) +
             FisFrame::encode(QCborValue(3)).left(3));
    QCborValue v;
    QCOMPARE(r.next(v), TFrameReader::Status::Item);
    QCOMPARE(v.toInteger(), 1);
    QCOMPARE(r.next(v), TFrameReader::Status::Item);
    QCOMPARE(v.toString(), QStringLiteral("dois"));
    QCOMPARE(r.next(v), TFrameReader::Status::NeedMore);
    r.append(FisFrame::encode(QCborValue(3)).mid(3));
    QCOMPARE(r.next(v), TFrameReader::Status::Item);
    QCOMPARE(v.toInteger(), 3);
}

void TestFrame::oversizedLengthIsRefusedAndSticks() {
    TFrameReader r(1000);
    QByteArray prefix(4, 0);
    qToBigEndian<quint32>(1001, prefix.data());
    r.append(prefix);
    QCborValue v;
    QString why;
    QCOMPARE(r.next(v, &why), TFrameReader::Status::Oversized);
    QVERIFY(why.contains(QStringLiteral("1001")));
    // The stream cannot be resynchronised: later bytes do not revive it.
    r.append(FisFrame::encode(QCborValue(1)));
    QCOMPARE(r.next(v), TFrameReader::Status::Oversized);
    // Exactly the limit is accepted.
    TFrameReader ok(9);
    ok.append(FisFrame::encode(QCborValue(QStringLiteral("12345678"))));
    QCOMPARE(ok.next(v), TFrameReader::Status::Item);
}

void TestFrame::malformedFrameIsSkipped_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("reserved byte") << QByteArray("\xff\xff\xff", 3);
    QTest::newRow("truncated map") << QByteArray("\xa2\x61\x61", 3);
    QTest::newRow("two items") << QByteArray("\x01\x02", 2);
    QTest::newRow("bad utf-8 text") << QByteArray("\x62\xc3\x28", 3);
    QTest::newRow("text") << QByteArray("hello world");
    QTest::newRow("answer with bad utf-8 in its result")
        << QByteArray("\xa1\x66result\x81\x62\xc3\x28", 12);
    QTest::newRow("answer and a byte more") << QByteArray("\xa1\x66result\x01\x02", 10);
}

void TestFrame::malformedFrameIsSkipped() {
    QFETCH(QByteArray, body);
    TFrameReader r;
    r.append(frameOf(body) + FisFrame::encode(QCborValue(42)));
    QCborValue v;
    QString why;
    QCOMPARE(r.next(v, &why), TFrameReader::Status::Malformed);
    QVERIFY(!why.isEmpty());
    QCOMPARE(r.next(v), TFrameReader::Status::Item);
    QCOMPARE(v.toInteger(), 42);
    // The client, which keeps an answer's result undecoded, refuses the same frames.
    FisFrame::TAnswerEnvelope answer;
    why.clear();
    QVERIFY(!FisFrame::decodeAnswer(body, answer, &why));
    QVERIFY(!why.isEmpty());
}

void TestFrame::readsFromDevice() {
    QByteArray data = FisFrame::encode(sampleRequest());
    QBuffer buf(&data);
    buf.open(QIODevice::ReadOnly);
    TFrameReader r;
    r.readFrom(&buf);
    QCborValue v;
    QCOMPARE(r.next(v), TFrameReader::Status::Item);
    QCOMPARE(v.toMap().value(QStringLiteral("id")).toInteger(), 7);
}

void TestFrame::keyLists_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("series");
    QTest::addColumn<QString>("expected"); // "kind:code|..." or "!" for a refusal
    QTest::newRow("empty") << "" << true << "";
    QTest::newRow("blank") << "   " << true << "";
    QTest::newRow("series") << "'E_1','S_2'" << true << "E:1|S:2";
    QTest::newRow("series blanks") << " 'E_55' , 'S_U' " << true << "E:55|S:U";
    QTest::newRow("duplicate") << "'E_1','E_1'" << true << "E:1";
    QTest::newRow("op types") << "'E01','S02'" << false << "E:01|S:02";
    QTest::newRow("unquoted") << "E_1" << true << "!";
    QTest::newRow("no comma") << "'E_1' 'S_2'" << true << "!";
    QTest::newRow("trailing comma") << "'E_1'," << true << "!";
    QTest::newRow("open quote") << "'E_1" << true << "!";
    QTest::newRow("bad kind") << "'X_1'" << true << "!";
    QTest::newRow("series without _") << "'E1'" << true << "!";
    QTest::newRow("code too long") << "'E_123456'" << true << "!";
    QTest::newRow("op code too long") << "'E001'" << false << "!";
    QTest::newRow("sql in key") << "'E_1'' OR ''1''=''1'" << true << "!";
    QTest::newRow("sql after list") << "'E_1'); DELETE FROM NOTAFISCAL; --" << true << "!";
    QTest::newRow("blank in code") << "'S_1 OR 1=1'" << true << "!";
    QTest::newRow("semicolon in code") << "'E_1;'" << true << "!";
}

void TestFrame::keyLists() {
    QFETCH(QString, text);
    QFETCH(bool, series);
    QFETCH(QString, expected);
    if (expected == QLatin1String("!")) {
        QVERIFY_THROWS_EXCEPTION(EHostError,
                                 FisServer::parseKeyList(text, series, QStringLiteral("x")));
        return;
    }
    QStringList got;
    for (const auto& k : FisServer::parseKeyList(text, series, QStringLiteral("x")))
        got << k.kind + QLatin1Char(':') + k.code;
    QCOMPARE(got.join(QLatin1Char('|')), expected);
}

void TestFrame::barcodes_data() {
    QTest::addColumn<QString>("barcode");
    QTest::addColumn<bool>("valid");
    QTest::newRow("worked example") << "85670000001035000640030112345678000112340100" << true;
    QTest::newRow("wrong check digit") << "85680000001035000640030112345678000112340100" << false;
    QTest::newRow("one digit changed") << "85670000001035000640030112345678000112340101" << false;
    QTest::newRow("43 digits") << "8567000000103500064003011234567800011234010" << false;
    QTest::newRow("letter") << "8567000000103500064003011234567800011234010A" << false;
    QTest::newRow("empty") << "" << false;
}

void TestFrame::barcodes() {
    QFETCH(QString, barcode);
    QFETCH(bool, valid);
    QCOMPARE(FisServer::checkBarcode(barcode).isEmpty(), valid);
}

void TestFrame::typableLine() {
    const QString bar = QStringLiteral("85670000001035000640030112345678000112340100");
    QVERIFY(FisServer::checkTypableLine(
                QStringLiteral("85670000001.6 03500064003.3 01123456780.5 00112340100.0"), bar)
                .isEmpty());
    QVERIFY(FisServer::checkTypableLine(TransformaBarraLinhaDigi(bar), bar).isEmpty());
    // A wrong block digit, a line of another barcode, stray characters.
    QVERIFY(!FisServer::checkTypableLine(
                 QStringLiteral("85670000001.7 03500064003.3 01123456780.5 00112340100.0"), bar)
                 .isEmpty());
    QVERIFY(!FisServer::checkTypableLine(
                 QStringLiteral("85670000001.6 03500064003.3 01123456780.5 00112340101.9"), bar)
                 .isEmpty());
    QVERIFY(!FisServer::checkTypableLine(
                 QStringLiteral("85670000001-6 03500064003.3 01123456780.5 00112340100.0"), bar)
                 .isEmpty());
}

QTEST_GUILESS_MAIN(TestFrame)
#include "test_frame.moc"
