// The decoding budget of a frame: what an item is estimated to take once decoded is at least
// what it takes, a realistic answer packet fits, and frames of tiny items, deep nesting or
// false lengths are refused before anything is built.
#include "Records.h"
#include "core/DataPacket.h"
#include "core/Frame.h"

#include <QCborArray>
#include <QCborMap>
#include <QCborStreamReader>
#include <QtTest>
#include <malloc.h>

namespace {

QByteArray arrayOf(const QByteArray& item, int n) {
    QByteArray b(5, 0);
    b[0] = char(0x9a);
    qToBigEndian<quint32>(quint32(n), b.data() + 1);
    for (int i = 0; i < n; ++i)
        b += item;
    return b;
}

qint64 heapInUse() {
    const struct mallinfo2 m = mallinfo2();
    return qint64(m.uordblks + m.hblkhd);
}

// A note packet as GetNotaFiscal answers it: the 22 fields, texts, amounts, dates and empty
// guide fields.
QByteArray notePacket(int rows) {
    TDataPacket p;
    p.fields = FisProtocol::notaFiscalFields();
    for (int r = 0; r < rows; ++r) {
        QVariantList row;
        for (const TPacketField& f : p.fields) {
            switch (f.type) {
            case TFieldType::Float:
                row << (r % 3 ? QVariant(1234.56 + r) : QVariant());
                break;
            case TFieldType::DateTime:
                row << (r % 2 ? QVariant(QDateTime(QDate(2026, 1, 1 + r % 28), QTime(0, 0)))
                              : QVariant());
                break;
            case TFieldType::Integer:
                row << qint64(r);
                break;
            default:
                row << (f.size <= 2 ? QStringLiteral("N")
                                    : QStringLiteral("texto %1").arg(r).left(f.size));
            }
        }
        p.rows << row;
    }
    return p.toCbor().toCbor();
}

} // namespace

class TestFrameBudget : public QObject {
    Q_OBJECT
private slots:
    void estimateCoversWhatDecodingTakes_data();
    void estimateCoversWhatDecodingTakes();
    void answerPacketFits();
    void refusedBeforeBuilding_data();
    void refusedBeforeBuilding();
    void readerRefusesAFrameOfTinyTags();
    void byteWalkAgreesWithReader();
};

void TestFrameBudget::estimateCoversWhatDecodingTakes_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("small integers") << arrayOf(QByteArray("\x01", 1), 300000);
    QTest::newRow("empty texts") << arrayOf(QByteArray("\x60", 1), 300000);
    QTest::newRow("one-letter texts") << arrayOf(QByteArray("\x61\x61", 2), 300000);
    QTest::newRow("eight-letter texts") << arrayOf(QByteArray("\x68"
                                                              "abcdefgh",
                                                              9),
                                                   300000);
    QTest::newRow("doubles") << arrayOf(QByteArray("\xfb\x40\x09\x21\xfb\x54\x44\x2d\x18", 9),
                                        100000);
    QTest::newRow("arrays of one") << arrayOf(QByteArray("\x81\x01", 2), 20000);
    QTest::newRow("maps of one") << arrayOf(QByteArray("\xa1\x01\x01", 3), 20000);
    QTest::newRow("epoch dates") << arrayOf(QByteArray("\xc1\x00", 2), 20000);
    QTest::newRow("text dates") << arrayOf(QByteArray("\xc0\x74"
                                                      "2020-01-01T00:00:00Z",
                                                      22),
                                           20000);
    QTest::newRow("tagged tags") << arrayOf(QByteArray("\xc6\xc6\xc6\x01", 4), 20000);
    QTest::newRow("texts in chunks") << arrayOf(QByteArray("\x7f\x61x\x62yz\xff", 7), 100000);
    QTest::newRow("note packet") << notePacket(3000);
}

// The estimate is an upper bound of the heap the decoded item takes on this Qt.
void TestFrameBudget::estimateCoversWhatDecodingTakes() {
    QFETCH(QByteArray, body);
    QString why;
    const qint64 cost = FisFrame::decodeCost(body, &why);
    QVERIFY2(cost > 0, qPrintable(why));
    const qint64 before = heapInUse();
    QCborStreamReader r(body);
    const QCborValue v = QCborValue::fromCbor(r);
    const qint64 taken = heapInUse() - before;
    QCOMPARE(r.lastError(), QCborError::NoError);
    qInfo("%lld bytes: estimated %lld, taken %lld", qint64(body.size()), cost, taken);
    QVERIFY2(taken <= cost, qPrintable(QStringLiteral("%1 > %2").arg(taken).arg(cost)));
}

// A large answer decodes on the client: its estimate is well inside the budget.
void TestFrameBudget::answerPacketFits() {
    const QByteArray body = notePacket(20000);
    const qint64 cost = FisFrame::decodeCost(body);
    QVERIFY(cost > 0);
    qInfo("note packet of %lld bytes: estimated %.1f times its size", qint64(body.size()),
          double(cost) / body.size());
    QVERIFY(cost * 2 < FisFrame::decodeBudget(body.size()));
    QCborValue item;
    QVERIFY(FisFrame::decodeItem(body, item));
    QCOMPARE(TDataPacket::fromCbor(item).rows.size(), 20000);
}

void TestFrameBudget::refusedBeforeBuilding_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("error");
    QTest::newRow("epoch dates") << arrayOf(QByteArray("\xc1\x00", 2), 500000)
                                 << "itens demais para um quadro de 1000005 bytes";
    QTest::newRow("nested arrays")
        << arrayOf(QByteArray("\x81\x81\x81\x81\x01", 5), 200000) << "itens demais";
    QTest::newRow("empty maps") << arrayOf(QByteArray("\xa0", 1), 500000) << "itens demais";
    QTest::newRow("arrays 100000 deep")
        << QByteArray(100000, char(0x81)) + '\x01' << "aninhamento acima de 32 níveis";
    QTest::newRow("tags 100000 deep")
        << QByteArray(100000, char(0xc6)) + '\x01' << "aninhamento acima de 32 níveis";
    QByteArray mixed;
    for (int i = 0; i < 20; ++i)
        mixed += QByteArray("\x81\xc6", 2);
    QTest::newRow("arrays and tags 40 deep") << mixed + '\x01' << "aninhamento acima de 32";
    QTest::newRow("length beyond the frame")
        << QByteArray("\x9a\x7f\xff\xff\xff\x01", 6) << "CBOR inválido";
    QTest::newRow("text longer than the frame") << QByteArray("\x7a\x7f\xff\xff\xff"
                                                              "ab",
                                                              7)
                                                << "CBOR inválido";
    QTest::newRow("bytes with an 8-byte length near 2^63")
        << QByteArray("\x5b\x6e\x47\x00\x00\x00\x00\x00\x00"
                      "ab",
                      11)
        << "CBOR inválido";
    QTest::newRow("nothing after a tag") << QByteArray("\xc6", 1) << "CBOR inválido";
}

void TestFrameBudget::refusedBeforeBuilding() {
    QFETCH(QByteArray, body);
    QFETCH(QString, error);
    QString why;
    const qint64 cost = FisFrame::decodeCost(body, &why);
    if (error.startsWith(QStringLiteral("itens demais")))
        QVERIFY(cost > FisFrame::decodeBudget(body.size()));
    else
        QVERIFY2(cost == -1 && why.contains(error), qPrintable(why));
    QCborValue item(42);
    why.clear();
    QVERIFY(!FisFrame::decodeItem(body, item, &why));
    QVERIFY2(why.contains(error), qPrintable(why));
    QCOMPARE(item, QCborValue(42));
}

// Through the reader, as the server reads requests: skipped whole, the next frame is read.
void TestFrameBudget::readerRefusesAFrameOfTinyTags() {
    const QByteArray body = arrayOf(QByteArray("\xc1\x00", 2), 100000);
    QByteArray wire(4, 0);
    qToBigEndian<quint32>(quint32(body.size()), wire.data());
    TFrameReader r(FisFrame::DefaultMaxRequest);
    r.append(wire + body + FisFrame::encode(QCborMap{{QStringLiteral("id"), 1}}));
    QCborValue item;
    QString why;
    QCOMPARE(r.next(item, &why), TFrameReader::Status::Malformed);
    QVERIFY2(why.startsWith(QStringLiteral("itens demais")), qPrintable(why));
    QCOMPARE(r.next(item), TFrameReader::Status::Item);
    QCOMPARE(item.toMap().value(QStringLiteral("id")).toInteger(), 1);
}

// The walk on raw bytes takes the frames this system writes on itself, and on any frame made
// from them by changing a byte or cutting it short, it either leaves the frame to the reader's
// walk or finds what the reader finds: the same cost and the same item offsets.
void TestFrameBudget::byteWalkAgreesWithReader() {
    QCborMap answer;
    answer.insert(QStringLiteral("id"), 123456);
    QCborValue packet;
    QVERIFY(FisFrame::decodeItem(notePacket(4), packet));
    answer.insert(QStringLiteral("result"), packet);
    answer.insert(QStringLiteral("refs"), QCborMap{{1, QStringLiteral("São João")}, {2, -7.5}});
    const QList<QByteArray> seeds = {
        answer.toCborValue().toCbor(),
        QCborValue(QCborArray{true, false, QCborValue(), -1, qint64(1) << 40, 0.5,
                              QCborValue(QCborKnownTags::PositiveBignum, QByteArray("\1\2"))})
            .toCbor(),
        QByteArray("\xf9\x3c\x00", 3), // a half float
    };
    int decided = 0, left = 0;
    auto compare = [&](const QByteArray& b) {
        QList<qsizetype> rawSpans, readerSpans;
        const qint64 raw = FisFrame::detail::rawWalkCost(b, &rawSpans);
        if (raw == -2) {
            ++left;
            QVERIFY(rawSpans.isEmpty());
            return;
        }
        ++decided;
        QString why;
        QCOMPARE(FisFrame::detail::readerWalkCost(b, &why, &readerSpans), raw);
        QCOMPARE(rawSpans, readerSpans);
    };
    // A map's count near 2^63 would wrap when doubled into its items.
    compare(QByteArray("\xbb\x80\0\0\0\0\0\0\0", 9));
    if (QTest::currentTestFailed())
        return;
    for (const QByteArray& seed : seeds) {
        QList<qsizetype> spans;
        QVERIFY(FisFrame::detail::rawWalkCost(seed, &spans) > 0);
        for (qsizetype i = 0; i < seed.size(); ++i) {
            compare(seed.left(i));
            for (uchar v : {0x00, 0x17, 0x18, 0x1b, 0x1c, 0x1f, 0x3b, 0x5f, 0x61, 0x7f,
                            0x80, 0x9f, 0xa1, 0xbf, 0xc0, 0xd9, 0xf4, 0xf8, 0xfb, 0xff}) {
                QByteArray b = seed;
                b[i] = char(v);
                compare(b);
                if (QTest::currentTestFailed())
                    qFatal("byte %lld of seed %lld set to 0x%02x", qint64(i),
                           qint64(seeds.indexOf(seed)), v);
            }
        }
    }
    QVERIFY(decided > 100);
    QVERIFY(left > 100);
}

QTEST_GUILESS_MAIN(TestFrameBudget)
#include "test_framebudget.moc"
