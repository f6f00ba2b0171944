// The server under clients that take more than their share: too many connections, frames begun
// and never finished, idle connections, frames of many small items, answers never read, and the
// process running out of file descriptors. Each is refused or cut off for that client alone,
// the others keep their service, and the server lives on.
#include "ServerFixture.h"

#include "Fis98100Contracts.h"
#include "core/Frame.h"

#include <QtTest>
#include <arpa/inet.h>
#include <functional>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int MaxConnections = 4;
constexpr qint64 MiB = 1024 * 1024;

// A frame of one array holding n copies of item.
// Tries until done or ms have passed (each try has side effects, so not a QTRY).
bool within(int ms, const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QTest::qWait(200);
    }
    return true;
}

QByteArray arrayFrame(const QByteArray& item, int n) {
    QByteArray body(5, 0);
    body[0] = char(0x9a); // array, 4-byte count
    qToBigEndian<quint32>(quint32(n), body.data() + 1);
    body.reserve(5 + item.size() * n);
    for (int i = 0; i < n; ++i)
        body += item;
    QByteArray f(4, 0);
    qToBigEndian<quint32>(quint32(body.size()), f.data());
    return f + body;
}

} // namespace

class TestLimits : public TServerFixture {
    Q_OBJECT
private slots:
    void initTestCase() {
        m_serverArgs = {QStringLiteral("--max-connections"), QString::number(MaxConnections),
                        QStringLiteral("--read-timeout"),    QStringLiteral("1"),
                        QStringLiteral("--idle-timeout"),    QStringLiteral("8"),
                        QStringLiteral("--max-request"),     QString::number(4 * MiB)};
        startServer();
    }
    void cleanupTestCase() { stopServer(); }

    // The first ones never need all the connections the server allows.
    void stalledFrameIsDropped();
    void idleConnectionIsClosed();
    void smallItemsStayWithinTheMemoryBound_data();
    void smallItemsStayWithinTheMemoryBound();
    void unreadAnswersStopTheReading();
    void capRefusesTheExtraConnection();
    void runningOutOfDescriptorsIsNotFatal();

private:
    bool serves(QTcpSocket& s, qint64 id = 1);
    // Connects s afresh and makes one call on it.
    bool connectServed(QTcpSocket& s, quint16 port);
    int logged(const QString& peer, const QString& method);
};

bool TestLimits::serves(QTcpSocket& s, qint64 id) {
    const QCborMap m = rawCall(s, request(id, QStringLiteral("GetParamFiscal"), {}));
    return m.value(QStringLiteral("id")).toInteger() == id &&
           m.value(QStringLiteral("result")).isMap();
}

bool TestLimits::connectServed(QTcpSocket& s, quint16 port) {
    s.abort();
    s.connectToHost(QHostAddress::LocalHost, port);
    return s.waitForConnected(5000) && serves(s);
}

int TestLimits::logged(const QString& peer, const QString& method) {
    return int(m_log.count(QStringLiteral("[%1] %2 ").arg(peer, method)));
}

void TestLimits::capRefusesTheExtraConnection() {
    m_con.setConnected(false);
    QList<QTcpSocket*> held;
    auto cleanup = qScopeGuard([&] { qDeleteAll(held); });
    // The fixture's connection was just closed; the server may count it a moment longer.
    for (int i = 0; i < MaxConnections; ++i) {
        auto* s = new QTcpSocket;
        held << s;
        QVERIFY(within(15000, [&] { return connectServed(*s, quint16(m_port)); }));
    }
    // One more: an error frame that says why, then closed.
    QTcpSocket extra;
    extra.connectToHost(QHostAddress::LocalHost, quint16(m_port));
    QVERIFY(extra.waitForConnected(5000));
    bool closed = false;
    const QCborMap refused =
        rawCall(extra, request(1, QStringLiteral("GetParamFiscal"), {}), &closed);
    QCOMPARE(refused.value(QStringLiteral("error")).toString(),
             QStringLiteral("Servidor de aplicação ocupado: limite de 4 conexões atingido. Tente "
                            "novamente em instantes."));
    QVERIFY(closed);
    // The clerk's connection shows the same text.
    TNetConnection con;
    con.setPort(m_port);
    con.setServerName(kObject);
    const TServerAnswer a = GetParamFiscal(con);
    QVERIFY(!a.ok);
    QVERIFY2(a.error.contains(QStringLiteral("limite de 4 conexões")), qPrintable(a.error));
    // Those connected keep their service.
    for (QTcpSocket* s : held)
        QVERIFY(serves(*s, 2));
    // A place that frees is taken again.
    delete held.takeLast();
    QTcpSocket next;
    QVERIFY(within(15000, [&] { return connectServed(next, quint16(m_port)); }));
    QVERIFY(m_log.contains(QStringLiteral("erro: conexão recusada: limite de 4 conexões")));
}

void TestLimits::stalledFrameIsDropped() {
    QTcpSocket other;
    other.connectToHost(QHostAddress::LocalHost, quint16(m_port));
    QVERIFY(other.waitForConnected(5000));
    QVERIFY(serves(other));
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, quint16(m_port));
    QVERIFY(s.waitForConnected(5000));
    bool closed = false;
    const QCborMap m =
        rawCall(s, request(1, QStringLiteral("GetParamFiscal"), {}).left(10), &closed);
    QVERIFY2(m.value(QStringLiteral("error"))
                 .toString()
                 .startsWith(QStringLiteral(
                     "Quadro recusado: quadro incompleto: 10 bytes recebidos em 1 s")),
             qPrintable(QCborValue(m).toDiagnosticNotation()));
    QVERIFY(closed);
    QVERIFY(serves(other, 2));
}

void TestLimits::idleConnectionIsClosed() {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, quint16(m_port));
    QVERIFY(s.waitForConnected(5000));
    QVERIFY(serves(s));
    QTRY_VERIFY_WITH_TIMEOUT(s.state() == QAbstractSocket::UnconnectedState, 30000);
    QVERIFY(m_log.contains(QStringLiteral("conexão ociosa por 8 s encerrada")));
    // The clerk's connection, idle as long, calls again on a fresh socket.
    m_con.setConnected(true);
    QTest::qWait(8500);
    QVERIFY2(GetParamFiscal(m_con).ok, qPrintable(m_con.lastError()));
}

void TestLimits::smallItemsStayWithinTheMemoryBound_data() {
    QTest::addColumn<QByteArray>("item");
    QTest::addColumn<QString>("answer");
    // Each about 2 MB: what used to cost 130 times its size once decoded.
    QTest::newRow("epoch dates") << QByteArray("\xc1\x00", 2) << "Quadro inválido: itens demais";
    QTest::newRow("nested arrays")
        << QByteArray("\x81\x81\x81\x81\x01", 5) << "Quadro inválido: itens demais";
    QTest::newRow("tags") << QByteArray("\xd8\x63\x01", 3) << "Quadro inválido: itens demais";
    // Decoded within the bound, then refused as a request.
    QTest::newRow("small integers") << QByteArray("\x01", 1) << "Requisição inválida";
    QTest::newRow("one-letter texts") << QByteArray("\x61\x61", 2) << "Requisição inválida";
}

void TestLimits::smallItemsStayWithinTheMemoryBound() {
    QFETCH(QByteArray, item);
    QFETCH(QString, answer);
    const QByteArray wire = arrayFrame(item, int(2 * 1000 * 1000 / item.size()));
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, quint16(m_port));
    QVERIFY(s.waitForConnected(5000));
    const qint64 base = serverMemoryKb("VmRSS");
    QVERIFY(base > 0);
    resetServerPeak();
    const QCborMap m = rawCall(s, wire);
    const qint64 peak = serverMemoryKb("VmHWM") - base;
    QVERIFY2(m.value(QStringLiteral("error")).toString().startsWith(answer),
             qPrintable(QCborValue(m).toDiagnosticNotation()));
    // The decoding budget (48 times the frame) plus the frame itself, received and read.
    const qint64 boundKb = (FisFrame::decodeBudget(wire.size()) + 4 * wire.size()) / 1024;
    qInfo("peak %lld KiB over %lld KiB, bound %lld KiB", peak, base, boundKb);
    QVERIFY2(peak < boundKb, qPrintable(QString::number(peak)));
    QVERIFY(serves(s, 2)); // the frame was skipped whole
    s.disconnectFromHost();
    // What the frame took goes back to the system once the connection is gone.
    QTRY_VERIFY_WITH_TIMEOUT(serverMemoryKb("VmRSS") < base + 8 * 1024, 15000);
}

// A client that sends many requests and reads none of the answers: the server serves what the
// system's buffers can hold, then waits for the client to read before it reads the next request.
void TestLimits::unreadAnswersStopTheReading() {
    // A small receive buffer, set before connecting, so the system holds few answers.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    const int small = 4096;
    QCOMPARE(setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(quint16(m_port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    QTcpSocket s;
    QVERIFY(s.setSocketDescriptor(fd));
    s.setReadBufferSize(small); // nor does the socket read ahead for us
    const QString peer = QStringLiteral("127.0.0.1:%1").arg(s.localPort());

    const QCborArray args{QStringLiteral("01"),
                          QString(),
                          QString(),
                          QStringLiteral("T"),
                          QString(),
                          QString(),
                          QCborValue(QCborValue::Null),
                          QCborValue(QCborValue::Null),
                          QCborValue(QCborValue::Null),
                          QCborValue(QCborValue::Null),
                          QString(),
                          QStringLiteral("01")};
    const int calls = 600;
    QByteArray wire;
    for (int i = 1; i <= calls; ++i)
        wire += request(i, QStringLiteral("GetNotaFiscal"), args);
    s.write(wire);
    // Served until the answers fill the buffers, then nothing more while nobody reads.
    int before = 0;
    QElapsedTimer wait;
    wait.start();
    for (;;) {
        QTest::qWait(1500);
        const int now = logged(peer, QStringLiteral("GetNotaFiscal"));
        if (now > 0 && now == before)
            break;
        before = now;
        QVERIFY2(wait.elapsed() < 120000, "the server went on serving");
    }
    qInfo("served %d of %d while the client read nothing", before, calls);
    QVERIFY2(before < calls, qPrintable(QString::number(before)));
    // Reading, the client gets every answer, in order.
    s.setReadBufferSize(0);
    TFrameReader reader;
    int answers = 0;
    QElapsedTimer t;
    t.start();
    while (answers < calls && t.elapsed() < 120000) {
        if (!s.bytesAvailable() && !s.waitForReadyRead(3000))
            continue;
        reader.readFrom(&s);
        QCborValue item;
        while (reader.next(item) == TFrameReader::Status::Item) {
            ++answers;
            QCOMPARE(item.toMap().value(QStringLiteral("id")).toInteger(), answers);
            QVERIFY(item.toMap().value(QStringLiteral("result")).isMap());
        }
    }
    QCOMPARE(answers, calls);
}

// With few descriptors, a burst of connections: those that fit are served, the rest are refused
// or wait in the queue; the server never dies and serves again once they are gone.
void TestLimits::runningOutOfDescriptorsIsNotFatal() {
    QProcess server;
    server.setProgram(m_server.program());
    server.setArguments(
        {QStringLiteral("--database"), m_location, QStringLiteral("--port"), QStringLiteral("0")});
    server.setChildProcessModifier([] {
        const rlimit few{48, 48};
        setrlimit(RLIMIT_NOFILE, &few);
    });
    QString log;
    connect(&server, &QProcess::readyReadStandardError, this,
            [&] { log += QString::fromUtf8(server.readAllStandardError()); });
    server.start();
    QVERIFY(server.waitForStarted());
    // Stopped as an administrator would: killed outright, it could leave the lock table that
    // this process shares with it held.
    auto stop = qScopeGuard([&] {
        server.terminate();
        if (!server.waitForFinished(10000))
            server.kill();
        server.waitForFinished(5000);
    });
    static const QRegularExpression listening(
        QStringLiteral("escutando em 127\\.0\\.0\\.1:(\\d+)"));
    QTRY_VERIFY_WITH_TIMEOUT(listening.match(log).hasMatch(), 30000);
    const quint16 port = quint16(listening.match(log).captured(1).toInt());

    QList<QTcpSocket*> burst;
    auto cleanup = qScopeGuard([&] { qDeleteAll(burst); });
    for (int i = 0; i < 60; ++i) {
        auto* s = new QTcpSocket;
        burst << s;
        s->connectToHost(QHostAddress::LocalHost, port);
    }
    for (QTcpSocket* s : burst)
        if (s->waitForConnected(5000))
            s->write(request(1, QStringLiteral("GetParamFiscal"), {}));
    // Every client ends served, refused with a text, or cut off; none waits for ever.
    int served = 0, refused = 0;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 20000 && (served == 0 || served + refused < int(burst.size()))) {
        QTest::qWait(200);
        served = refused = 0;
        for (QTcpSocket* s : burst) {
            const QByteArray got = s->peek(4096);
            if (got.contains("result"))
                ++served;
            else if (got.contains("error") || s->state() == QAbstractSocket::UnconnectedState)
                ++refused;
        }
    }
    qInfo("of 60: %d served, %d refused or cut", served, refused);
    // What the server said is the only trace of why no client was served.
    if (served == 0)
        qInfo("server log: %s", qPrintable(log.right(3000)));
    QVERIFY(served > 0);
    QCOMPARE(served + refused, 60);
    QCOMPARE(server.state(), QProcess::Running);
    // The server took as many clients as its descriptors carry, and said so when it started.
    QVERIFY2(log.contains(QRegularExpression(QStringLiteral(
                 "até \\d+ conexões, pelo limite de descritores de arquivo do processo"))),
             qPrintable(log.left(500)));
    QVERIFY2(log.contains(QStringLiteral("erro: conexão recusada")) ||
                 log.contains(QStringLiteral("não foi possível aceitar")),
             qPrintable(log.right(3000)));
    qDeleteAll(burst);
    burst.clear();
    QTcpSocket after;
    QVERIFY(within(30000, [&] { return connectServed(after, port); }));
    QCOMPARE(server.state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestLimits)
#include "test_limits.moc"
