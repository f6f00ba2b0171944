// Large answers written straight into the frame: the same bytes as the packet built whole, for
// no row, one row and more rows than a 16-bit count holds; the frame around them as the
// envelope encoder writes it; the client reading them straight into a dataset as decoding them
// whole did; an answer over the limit refused; and a frame cut in the middle refused by the
// client with a text instead of a partial dataset. A note list read in two parts at once gives
// the bytes of the list read whole, and a part that fails is told as a failure of the call.
#include "DataAccess.h"
#include "Dispatcher.h"
#include "FisDatabase.h"
#include "MethodTable.h"
#include "Records.h"
#include "SplitRead.h"

#include "Connection.h"
#include "DataSet.h"
#include "core/Envelope.h"
#include "core/Frame.h"
#include "core/HostExceptions.h"

#include <QCborArray>
#include <QCborMap>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

using namespace FisServer;

class TestStreaming : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void streamedPacketEqualsBuiltPacket_data();
    void streamedPacketEqualsBuiltPacket();
    void noteFrameEqualsEncodedAnswer_data();
    void noteFrameEqualsEncodedAnswer();
    void answerOverTheLimitIsRefused();
    void frameCutInTheMiddleIsRefusedByTheClient();
    void splitReadEqualsWholeRead();
    void failedPartFailsTheCall();

private:
    QCborMap noteRequest(const QString& company, const QString& registration);
    QTemporaryDir m_dir;
    QSqlDatabase m_db;
};

void TestStreaming::initTestCase() {
    QVERIFY(m_dir.isValid());
    FisDb::prepareEnvironment(m_dir.filePath(QStringLiteral("firebird")));
    const QString location = m_dir.filePath(QStringLiteral("t.fdb"));
    FisDb::createDatabase(location, true, 300);
    m_db = FisDb::openConnection(location, QStringLiteral("streaming"));
}

void TestStreaming::cleanupTestCase() {
    closeConnection(m_db);
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("streaming"));
    FisDb::shutdown(10000); // before the temporary Firebird root goes
}

// Every kind of value a packet holds (texts with accents and CHAR padding, money, dates, whole
// numbers, nulls), in as many rows as asked: the system tables crossed give plenty.
void TestStreaming::streamedPacketEqualsBuiltPacket_data() {
    QTest::addColumn<int>("rows");
    QTest::newRow("no row") << 0;
    QTest::newRow("one row") << 1;
    QTest::newRow("23 rows, count in the first byte") << 23;
    QTest::newRow("300 rows, 16-bit count") << 300;
    QTest::newRow("70000 rows, 32-bit count") << 70000;
}

void TestStreaming::streamedPacketEqualsBuiltPacket() {
    QFETCH(int, rows);
    const QList<TPacketField> fields{
        {QStringLiteral("TEXTO"), TFieldType::String, 40},
        {QStringLiteral("MARCA"), TFieldType::FixedChar, 1},
        {QStringLiteral("VALOR"), TFieldType::Float, 0},
        {QStringLiteral("DIA"), TFieldType::DateTime, 0},
        {QStringLiteral("NUMERO"), TFieldType::Integer, 0},
        {QStringLiteral("VAZIO"), TFieldType::String, 10},
        {QStringLiteral("OPERACAO"), TFieldType::String, 7},
    };
    const QString sql =
        QStringLiteral(
            "SELECT FIRST %1 'Nota fiscal de saída nº ' || a.RDB$TYPE || '/' || b.RDB$TYPE,"
            " CAST('X' AS CHAR(1)),"
            " CAST((a.RDB$TYPE * 1000 + b.RDB$TYPE) / 7.0 AS NUMERIC(15,2)),"
            " DATEADD(a.RDB$TYPE DAY TO DATE '2026-01-31'),"
            " b.RDB$TYPE - 3, IIF(MOD(b.RDB$TYPE, 3) = 0, NULL, 'x'),"
            " IIF(MOD(a.RDB$TYPE, 2) = 0, 'E', 'S')"
            " FROM RDB$TYPES a CROSS JOIN RDB$TYPES b CROSS JOIN (SELECT 1 FROM RDB$DATABASE"
            " UNION ALL SELECT 2 FROM RDB$DATABASE) c (K)")
            .arg(rows);
    const int op = 6;
    auto word = [](const QString& k) {
        return k == QLatin1String("E") ? QStringLiteral("Entrada") : QStringLiteral("Saída");
    };

    TQuery built(m_db, sql);
    built.exec(QStringLiteral("ler"));
    TDataPacket p = packetFrom(built, fields);
    built.finish();
    QCOMPARE(p.rows.size(), rows);
    for (QVariantList& row : p.rows)
        row[op] = word(row[op].toString());

    TQuery streamed(m_db, sql);
    streamed.exec(QStringLiteral("ler"));
    const TStreamedPacket s = streamPacket(streamed, fields, FisFrame::DefaultMaxFrame, {op, word});
    QCOMPARE(s.rows, qint64(rows));
    QCOMPARE(s.oversized, qint64(0));
    QVERIFY(s.headroom >= PacketHeadroom);
    const QByteArray expected = p.toCbor().toCbor();
    const QByteArray got = s.bytes.mid(s.headroom);
    QCOMPARE(got.size(), expected.size());
    QVERIFY(got == expected);
    // And a reader of today's packets reads it back as the same rows.
    QCOMPARE(TDataPacket::fromCbor(QCborValue::fromCbor(got)), p);
    // So does a client reading the bytes straight into its dataset.
    TClientDataSet decoded, read;
    decoded.SetData(QCborValue::fromCbor(got));
    read.SetData(TAnswerPayload::encoded(s.bytes, s.headroom, s.bytes.size()));
    QCOMPARE(read.GetData(), decoded.GetData());
}

QCborMap TestStreaming::noteRequest(const QString& company, const QString& registration) {
    QCborMap m;
    m.insert(FisProtocol::Key::Id, 41);
    m.insert(FisProtocol::Key::Object, QString::fromLatin1(FisProtocol::ObjectName));
    m.insert(FisProtocol::Key::Method, QStringLiteral("GetNotaFiscal"));
    m.insert(FisProtocol::Key::Args,
             QCborArray{company, QString(), QString(), QStringLiteral("T"), QString(), QString(),
                        QCborValue(QCborValue::Null), QCborValue(QCborValue::Null),
                        QCborValue(QCborValue::Null), QCborValue(QCborValue::Null), registration,
                        QStringLiteral("01")});
    return m;
}

void TestStreaming::noteFrameEqualsEncodedAnswer_data() {
    QTest::addColumn<QString>("company");
    QTest::addColumn<bool>("oneNote");
    QTest::newRow("no note") << QStringLiteral("99") << false;
    QTest::newRow("one note") << QStringLiteral("01") << true;
    QTest::newRow("all of a company's notes") << QStringLiteral("01") << false;
}

// The frame as the server sends it equals the answer map encoded whole, envelope included.
void TestStreaming::noteFrameEqualsEncodedAnswer() {
    QFETCH(QString, company);
    QFETCH(bool, oneNote);
    QString registration;
    if (oneNote) {
        // A registration that appears on exactly one of the company's notes with the tax.
        TQuery q(m_db,
                 QStringLiteral("SELECT n.NRINSJUR FROM NOTAFISCAL n JOIN IMPOSTONF i"
                                " ON i.CDFILIAL = n.CDFILIAL AND i.NRLANCTONF = n.NRLANCTONF"
                                " AND i.CDIMPOSTONFE = '01' WHERE n.CDEMPRESA = '01'"
                                " AND i.VRIMPOSTONF > 0 GROUP BY n.NRINSJUR HAVING COUNT(*) = 1"));
        q.exec(QStringLiteral("ler"));
        QVERIFY(q.next(QStringLiteral("ler")));
        registration = q.text(0);
    }
    TDispatcher dispatcher([this] { return m_db; });
    TDispatcher::TLog log;
    const QByteArray frame =
        dispatcher.handleFrame(noteRequest(company, registration), log, FisFrame::DefaultMaxFrame);
    TDispatcher::TLog log2;
    const QCborMap whole = dispatcher.handle(noteRequest(company, registration), log2);
    QVERIFY2(whole.contains(FisProtocol::Key::Result), qPrintable(log2.outcome));
    QVERIFY(frame == FisFrame::encode(whole));
    QCOMPARE(log.outcome, log2.outcome);
    const int rows = int(whole.value(FisProtocol::Key::Result)
                             .toMap()
                             .value(FisProtocol::Key::Rows)
                             .toArray()
                             .size());
    if (company == QLatin1String("99"))
        QCOMPARE(rows, 0);
    else if (oneNote)
        QCOMPARE(rows, 1);
    else
        QVERIFY(rows > 24);
    QCOMPARE(log.outcome, QStringLiteral("ok %1 linhas").arg(rows));

    // The client keeps the frame and reads its result from it: the same envelope, and the same
    // dataset as decoding the answer whole gave.
    const QByteArray body = frame.mid(4);
    FisFrame::TAnswerEnvelope answer;
    QString why;
    QVERIFY2(FisFrame::decodeAnswer(body, answer, &why), qPrintable(why));
    QVERIFY(answer.isMap);
    QCOMPARE(answer.envelope.value(FisProtocol::Key::Id).toInteger(), 41);
    const TAnswerPayload payload =
        TAnswerPayload::encoded(body, answer.resultBegin, answer.resultEnd);
    QCOMPARE(payload.frameSize(), frame.size());
    QCOMPARE(payload.value(), whole.value(FisProtocol::Key::Result));
    TClientDataSet decoded, streamed;
    decoded.SetData(whole.value(FisProtocol::Key::Result));
    streamed.SetData(payload);
    QCOMPARE(streamed.RecordCount(), rows);
    QCOMPARE(streamed.GetData(), decoded.GetData());
}

void TestStreaming::answerOverTheLimitIsRefused() {
    TDispatcher dispatcher([this] { return m_db; });
    TDispatcher::TLog log;
    const QByteArray all = dispatcher.handleFrame(noteRequest(QStringLiteral("01"), {}), log,
                                                  FisFrame::DefaultMaxFrame);
    const qint64 size = all.size() - 4;
    QVERIFY(size > 2000);
    // Refused whether the limit falls in the rows or just after the packet.
    for (const qint64 limit : {qint64(1000), size - 1}) {
        const QByteArray frame =
            dispatcher.handleFrame(noteRequest(QStringLiteral("01"), {}), log, limit);
        TFrameReader reader;
        reader.append(frame);
        QCborValue item;
        QCOMPARE(reader.next(item), TFrameReader::Status::Item);
        QCOMPARE(item.toMap().value(FisProtocol::Key::Id).toInteger(), 41);
        QCOMPARE(item.toMap().value(FisProtocol::Key::Error).toString(),
                 QStringLiteral("A resposta (%1 bytes) excede o limite de %2 bytes; "
                                "restrinja o filtro.")
                     .arg(size)
                     .arg(limit));
    }
    // The full limit takes it.
    QCOMPARE(dispatcher.handleFrame(noteRequest(QStringLiteral("01"), {}), log, size).size(),
             all.size());
}

// A server that sends the first half of a large answer and closes: the client's call fails
// with a text, and nothing of the half reaches it as an answer.
void TestStreaming::frameCutInTheMiddleIsRefusedByTheClient() {
    TDispatcher dispatcher([this] { return m_db; });
    TDispatcher::TLog log;
    QByteArray full = dispatcher.handleFrame(noteRequest(QStringLiteral("01"), {}), log,
                                             FisFrame::DefaultMaxFrame);
    // The answer's id must be the one the client waits for: its first call is 1.
    QCborMap answer = QCborValue::fromCbor(full.mid(4)).toMap();
    answer.insert(FisProtocol::Key::Id, 1);
    full = FisFrame::encode(answer);

    // A reader holding half a frame waits for the rest; it never yields a partial item.
    TFrameReader reader;
    reader.append(full.left(full.size() / 2));
    QCborValue item;
    QCOMPARE(reader.next(item), TFrameReader::Status::NeedMore);

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    connect(&server, &QTcpServer::newConnection, this, [&] {
        QTcpSocket* s = server.nextPendingConnection();
        connect(s, &QTcpSocket::readyRead, s, [s, &full] {
            s->readAll();
            s->write(full.left(full.size() / 2));
            s->flush();
            s->disconnectFromHost();
        });
    });
    TNetConnection con;
    con.setPort(server.serverPort());
    con.setTimeoutMs(10000);
    con.setServerName(QString::fromLatin1(FisProtocol::ObjectName));
    QCborArray args;
    const TServerAnswer a = con.call(QStringLiteral("GetParamFiscal"), args, {});
    QVERIFY(!a.ok);
    QVERIFY2(!a.error.isEmpty(), "a cut answer must say why");
    QVERIFY(a.payload.isUndefined() || a.payload.isNull());
    // A screen loading it keeps the rows it had.
    TDataPacket one;
    one.fields << TPacketField{QStringLiteral("A"), TFieldType::String, 1};
    one.rows << QVariantList{QStringLiteral("x")};
    TClientDataSet ds;
    ds.SetData(one);
    QVERIFY_THROWS_EXCEPTION(EHostError, ds.SetData(CheckResultServ(a, true, 0)));
    QCOMPARE(ds.RecordCount(), 1);

    // A frame whole in length whose packet stops short is refused as a frame, the stream left
    // usable: the next frame is read.
    const QByteArray body = full.mid(4);
    QByteArray shortened = body.left(body.size() - 10);
    QByteArray framed(4, '\0');
    qToBigEndian<quint32>(quint32(shortened.size()), framed.data());
    TFrameReader cut;
    cut.append(framed + shortened + full);
    QByteArray next;
    QString why;
    QCOMPARE(cut.nextFrame(next, &why), TFrameReader::Status::Item);
    FisFrame::TAnswerEnvelope envelope;
    QVERIFY(!FisFrame::decodeAnswer(next, envelope, &why));
    QVERIFY2(why.startsWith(QStringLiteral("CBOR inválido")), qPrintable(why));
    QCOMPARE(cut.nextFrame(next, &why), TFrameReader::Status::Item);
    QVERIFY2(FisFrame::decodeAnswer(next, envelope, &why), qPrintable(why));
    QVERIFY(envelope.resultBegin > 0);
}

namespace {
const QString kSplitSql =
    QStringLiteral("SELECT n.NRLANCTONF, n.DTENTRSAID, %1 FROM NOTAFISCAL n WHERE n.CDEMPRESA = ?%2"
                   " ORDER BY n.DTENTRSAID, n.CDFILIAL, n.NRLANCTONF");
const QString kByDay = QStringLiteral(" AND MOD(n.DTENTRSAID - DATE '0001-01-01', 2) = ?");
const QList<TPacketField> kSplitFields{{QStringLiteral("NRLANCTONF"), TFieldType::String, 10},
                                       {QStringLiteral("DTENTRSAID"), TFieldType::DateTime, 0},
                                       {QStringLiteral("N"), TFieldType::Integer, 0}};
} // namespace

void TestStreaming::splitReadEqualsWholeRead() {
    TDispatcher dispatcher([this] { return m_db; });
    TDispatcher::TLog log;
    // The notes of company 01 fall on even and odd days alike, so both parts carry rows.
    TQuery whole(m_db, kSplitSql.arg(QStringLiteral("1"), QString()));
    whole.bind(QStringLiteral("01")).exec(QStringLiteral("ler"));
    const TDataPacket all = packetFrom(whole, kSplitFields);
    whole.finish();
    QSet<qint64> parities;
    for (const QVariantList& row : all.rows)
        parities.insert(row[1].toDate().toJulianDay() % 2);
    QCOMPARE(parities.size(), 2);

    for (const qint64 limit : {FisFrame::DefaultMaxFrame, qint64(700)}) {
        const std::optional<TStreamedPacket> split = streamSplitPacket(
            m_db, kSplitSql.arg(QStringLiteral("1"), kByDay), {QStringLiteral("01")}, 1,
            kSplitFields, limit, {}, QStringLiteral("ler"));
        QVERIFY2(split, "the second attachment must be had here");
        TQuery q(m_db, kSplitSql.arg(QStringLiteral("1"), QString()));
        q.bind(QStringLiteral("01")).exec(QStringLiteral("ler"));
        const TStreamedPacket one = streamPacket(q, kSplitFields, limit);
        QCOMPARE(split->rows, qint64(all.rows.size()));
        QCOMPARE(split->oversized, one.oversized);
        QVERIFY(split->bytes.mid(split->headroom) == one.bytes.mid(one.headroom));
    }

    // The note lists, empty, of one note and whole, and one over the limit: the same frames
    // read in two parts as read whole.
    QString registration;
    {
        TQuery q(m_db, QStringLiteral("SELECT FIRST 1 NRINSJUR FROM NOTAFISCAL"
                                      " WHERE CDEMPRESA = '01' ORDER BY NRLANCTONF"));
        q.exec(QStringLiteral("ler"));
        QVERIFY(q.next(QStringLiteral("ler")));
        registration = q.text(0);
    }
    const int parts = splitReadParts();
    for (const auto& [company, insc, limit] :
         {std::tuple{QStringLiteral("99"), QString(), FisFrame::DefaultMaxFrame},
          std::tuple{QStringLiteral("01"), registration, FisFrame::DefaultMaxFrame},
          std::tuple{QStringLiteral("01"), QString(), FisFrame::DefaultMaxFrame},
          std::tuple{QStringLiteral("01"), QString(), qint64(1500)}}) {
        setSplitReadParts(1);
        const QByteArray read = dispatcher.handleFrame(noteRequest(company, insc), log, limit);
        setSplitReadParts(2);
        const QByteArray inParts = dispatcher.handleFrame(noteRequest(company, insc), log, limit);
        QVERIFY2(read == inParts, qPrintable(company + QLatin1Char('/') + insc));
    }
    setSplitReadParts(parts);
}

void TestStreaming::failedPartFailsTheCall() {
    // One note of an odd day makes its part fail when the engine reaches it.
    TQuery q(m_db, kSplitSql.arg(QStringLiteral("1"), kByDay));
    q.bind(QStringLiteral("01")).bind(1).exec(QStringLiteral("ler"));
    QVector<QString> odd;
    while (q.next(QStringLiteral("ler")))
        odd << q.text(0);
    q.finish();
    QVERIFY(odd.size() > 4);
    const QString failing = QStringLiteral("CAST(IIF(n.NRLANCTONF = '%1', 'x', '1') AS INTEGER)")
                                .arg(odd[odd.size() / 2]);
    try {
        streamSplitPacket(m_db, kSplitSql.arg(failing, kByDay), {QStringLiteral("01")}, 1,
                          kSplitFields, FisFrame::DefaultMaxFrame, {}, QStringLiteral("ler"));
        QFAIL("a part that failed must fail the call");
    } catch (const EDbError& e) {
        QVERIFY2(e.text().startsWith(QStringLiteral("Erro no banco de dados ao ler")),
                 qPrintable(e.text()));
        QVERIFY2(e.detail().contains(QLatin1String("conversion")), qPrintable(e.detail()));
    }
    // The connection goes on.
    TQuery after(m_db, QStringLiteral("SELECT COUNT(*) FROM NOTAFISCAL"));
    after.exec(QStringLiteral("ler"));
    QVERIFY(after.next(QStringLiteral("ler")));
    QVERIFY(after.value(0).toInt() > 0);
}

QTEST_GUILESS_MAIN(TestStreaming)
#include "test_streaming.moc"
