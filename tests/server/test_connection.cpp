// The client connection against small scripted servers in this process: what it does with
// silence, garbage, stale answers, a dropped socket and no server at all.
#include "Connection.h"
#include "core/Frame.h"
#include "core/HostExceptions.h"

#include <QCborMap>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <functional>

namespace {

// Answers each request frame with whatever reply() makes of it (nothing when it gives an
// undefined value); counts connections.
class TFakeServer : public QObject {
public:
    std::function<QList<QByteArray>(const QCborMap& request, QTcpSocket* socket)> reply;
    int connections = 0;
    QList<QCborMap> requests;

    TFakeServer() {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                ++connections;
                auto* reader = new TFrameReader;
                connect(s, &QObject::destroyed, this, [reader] { delete reader; });
                connect(s, &QTcpSocket::readyRead, this, [this, s, reader] {
                    reader->readFrom(s);
                    QCborValue item;
                    while (reader->next(item) == TFrameReader::Status::Item) {
                        requests << item.toMap();
                        for (const QByteArray& out : reply(item.toMap(), s))
                            s->write(out);
                    }
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    int port() const { return server.serverPort(); }

    static QByteArray answer(qint64 id, const QCborValue& result, const QCborMap& refs = {}) {
        QCborMap m;
        m.insert(QStringLiteral("id"), id);
        m.insert(QStringLiteral("result"), result);
        m.insert(QStringLiteral("refs"), refs);
        return FisFrame::encode(m);
    }
    static qint64 idOf(const QCborMap& req) { return req.value(QStringLiteral("id")).toInteger(); }

    QTcpServer server;
};

int deadPort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort(); // closed again when s goes
}

} // namespace

class TestConnection : public QObject {
    Q_OBJECT
private slots:
    void sendsRequestAndWritesBackRefs();
    void noServerGivesErrorAnswers();
    void noServerThrowsWhenAsked();
    void beforeConnectChoosesHostAndPort();
    void timeoutBecomesErrorAnswer();
    void malformedAnswer_data();
    void malformedAnswer();
    void staleAnswerIsDiscarded();
    void lostDuringCallIsAnError();
    void droppedWhileIdleReconnectsOnce();
    void serverErrorTextReachesCaller();
    void unreadableRequestErrorReachesCaller();
};

void TestConnection::sendsRequestAndWritesBackRefs() {
    TFakeServer fake;
    fake.reply = [](const QCborMap& req, QTcpSocket*) {
        QCborMap refs;
        refs.insert(1, QStringLiteral("depois"));
        refs.insert(0, QStringLiteral("não pedido")); // not by reference: must be ignored
        return QList<QByteArray>{TFakeServer::answer(TFakeServer::idOf(req), 99, refs)};
    };
    TNetConnection con;
    con.setPort(fake.port());
    con.setServerName(QStringLiteral("Obj.X"));
    QCborArray args{QStringLiteral("a"), QStringLiteral("antes")};
    const TServerAnswer a = con.call(QStringLiteral("M"), args, {1});
    QVERIFY2(a.ok, qPrintable(a.error));
    QCOMPARE(a.payload.toInteger(), 99);
    QCOMPARE(args[0].toString(), QStringLiteral("a"));
    QCOMPARE(args[1].toString(), QStringLiteral("depois"));
    QCOMPARE(fake.requests.size(), 1);
    QCOMPARE(fake.requests[0].value(QStringLiteral("object")).toString(), QStringLiteral("Obj.X"));
    QCOMPARE(fake.requests[0].value(QStringLiteral("method")).toString(), QStringLiteral("M"));
    QCOMPARE(fake.requests[0].value(QStringLiteral("args")).toArray().size(), 2);
    QVERIFY(con.connected());
}

void TestConnection::noServerGivesErrorAnswers() {
    const int port = deadPort();
    TNetConnection con;
    con.setPort(port);
    con.setThrowException(false);
    QElapsedTimer t;
    t.start();
    con.setConnected(true); // must not throw
    QVERIFY(!con.connected());
    const QString expected = QStringLiteral("Não foi possível conectar ao servidor de aplicação em "
                                            "127.0.0.1:%1: ")
                                 .arg(port);
    QVERIFY2(con.lastError().startsWith(expected), qPrintable(con.lastError()));
    for (int i = 0; i < 2; ++i) {
        QCborArray args;
        const TServerAnswer a = con.call(QStringLiteral("GetParamFiscal"), args, {});
        QVERIFY(!a.ok);
        QVERIFY2(a.error.startsWith(expected), qPrintable(a.error));
    }
    QVERIFY(t.elapsed() < 10000);
}

void TestConnection::noServerThrowsWhenAsked() {
    TNetConnection con;
    con.setPort(deadPort());
    con.setThrowException(true);
    QVERIFY_THROWS_EXCEPTION(EHostError, con.setConnected(true));
    QCborArray args;
    QVERIFY_THROWS_EXCEPTION(EHostError, con.call(QStringLiteral("X"), args, {}));
}

void TestConnection::beforeConnectChoosesHostAndPort() {
    TFakeServer fake;
    fake.reply = [](const QCborMap& req, QTcpSocket*) {
        return QList<QByteArray>{TFakeServer::answer(TFakeServer::idOf(req), 1)};
    };
    TNetConnection con;
    con.setPort(deadPort());
    int wanted = fake.port();
    int emitted = 0;
    connect(&con, &TSocketConnection::beforeConnect, this, [&] {
        ++emitted;
        QVERIFY(!con.connected()); // synchronously, before the socket connects
        con.setHost(QStringLiteral("127.0.0.1"));
        con.setPort(wanted);
    });
    con.setConnected(true);
    QCOMPARE(emitted, 1);
    QVERIFY(con.connected());
    QCOMPARE(con.port(), fake.port());
    // Read again at the next connect: now it points nowhere.
    con.setConnected(false);
    QVERIFY(!con.connected());
    wanted = deadPort();
    con.setConnected(true);
    QCOMPARE(emitted, 2);
    QVERIFY(!con.connected());
    QVERIFY(con.lastError().contains(QString::number(wanted)));
}

void TestConnection::timeoutBecomesErrorAnswer() {
    TFakeServer fake;
    fake.reply = [](const QCborMap&, QTcpSocket*) { return QList<QByteArray>{}; };
    TNetConnection con;
    con.setPort(fake.port());
    con.setTimeoutMs(300);
    QCborArray args;
    QElapsedTimer t;
    t.start();
    const TServerAnswer a = con.call(QStringLiteral("GetNotaFiscal"), args, {});
    QVERIFY(!a.ok);
    QVERIFY2(a.error.contains(QStringLiteral("não respondeu")), qPrintable(a.error));
    QVERIFY(t.elapsed() >= 250);
    QVERIFY(t.elapsed() < 5000);
}

void TestConnection::malformedAnswer_data() {
    QTest::addColumn<QByteArray>("wire");
    QByteArray huge(4, 0);
    qToBigEndian<quint32>(0x7fffffff, huge.data());
    QByteArray garbage(4, 0);
    qToBigEndian<quint32>(3, garbage.data());
    garbage += QByteArray("\xff\xfe\xfd", 3);
    QTest::newRow("oversized length") << huge;
    QTest::newRow("not cbor") << garbage;
    QTest::newRow("not a map") << FisFrame::encode(QCborArray{1, 2});
    QTest::newRow("no id") << FisFrame::encode(QCborMap{{QStringLiteral("result"), 1}});
}

void TestConnection::malformedAnswer() {
    QFETCH(QByteArray, wire);
    TFakeServer fake;
    bool first = true;
    fake.reply = [&](const QCborMap& req, QTcpSocket*) {
        if (std::exchange(first, false))
            return QList<QByteArray>{wire};
        return QList<QByteArray>{TFakeServer::answer(TFakeServer::idOf(req), 5)};
    };
    TNetConnection con;
    con.setPort(fake.port());
    con.setTimeoutMs(3000);
    QCborArray args;
    const TServerAnswer a = con.call(QStringLiteral("M"), args, {});
    QVERIFY(!a.ok);
    QVERIFY2(a.error.contains(QStringLiteral("Resposta inválida")), qPrintable(a.error));
    // The untrustworthy stream was dropped; the next call connects afresh and works.
    const TServerAnswer b = con.call(QStringLiteral("M"), args, {});
    QVERIFY2(b.ok, qPrintable(b.error));
    QCOMPARE(b.payload.toInteger(), 5);
    QCOMPARE(fake.connections, 2);
}

void TestConnection::staleAnswerIsDiscarded() {
    TFakeServer fake;
    fake.reply = [](const QCborMap& req, QTcpSocket*) {
        const qint64 id = TFakeServer::idOf(req);
        return QList<QByteArray>{TFakeServer::answer(id + 1000, QStringLiteral("alheia")),
                                 TFakeServer::answer(id, QStringLiteral("minha"))};
    };
    TNetConnection con;
    con.setPort(fake.port());
    QCborArray args;
    const TServerAnswer a = con.call(QStringLiteral("M"), args, {});
    QVERIFY2(a.ok, qPrintable(a.error));
    QCOMPARE(a.payload.toString(), QStringLiteral("minha"));
}

void TestConnection::lostDuringCallIsAnError() {
    TFakeServer fake;
    fake.reply = [](const QCborMap&, QTcpSocket* s) {
        s->disconnectFromHost();
        return QList<QByteArray>{};
    };
    TNetConnection con;
    con.setPort(fake.port());
    con.setTimeoutMs(5000);
    QCborArray args;
    QElapsedTimer t;
    t.start();
    const TServerAnswer a = con.call(QStringLiteral("GeraContaPagar"), args, {});
    QVERIFY(!a.ok);
    QVERIFY2(a.error.contains(QStringLiteral("perdida")), qPrintable(a.error));
    QVERIFY(t.elapsed() < 4000); // noticed at once, not by the timeout
    // The request that was sent is not sent again.
    QCOMPARE(fake.requests.size(), 1);
}

void TestConnection::droppedWhileIdleReconnectsOnce() {
    TFakeServer fake;
    fake.reply = [](const QCborMap& req, QTcpSocket*) {
        return QList<QByteArray>{TFakeServer::answer(TFakeServer::idOf(req), 1)};
    };
    TNetConnection con;
    con.setPort(fake.port());
    int connects = 0;
    connect(&con, &TSocketConnection::beforeConnect, this, [&] { ++connects; });
    con.setConnected(true);
    QTRY_COMPARE(fake.connections, 1);
    // The server closes the idle connection.
    for (QTcpSocket* s : fake.findChildren<QTcpSocket*>())
        s->disconnectFromHost();
    for (QTcpSocket* s : fake.server.findChildren<QTcpSocket*>())
        s->disconnectFromHost();
    // No event loop runs on the client's side before the call: it must notice the close itself.
    QThread::msleep(50);
    QCborArray args;
    const TServerAnswer a = con.call(QStringLiteral("M"), args, {});
    QVERIFY2(a.ok, qPrintable(a.error));
    QCOMPARE(connects, 2);
    QCOMPARE(fake.connections, 2);
}

void TestConnection::serverErrorTextReachesCaller() {
    TFakeServer fake;
    fake.reply = [](const QCborMap& req, QTcpSocket*) {
        QCborMap m;
        m.insert(QStringLiteral("id"), TFakeServer::idOf(req));
        m.insert(QStringLiteral("error"), QStringLiteral("GetSerie: argumento 4 deve ser texto"));
        return QList<QByteArray>{FisFrame::encode(m)};
    };
    TNetConnection con;
    con.setPort(fake.port());
    QCborArray args{1};
    const TServerAnswer a = con.call(QStringLiteral("GetSerie"), args, {0});
    QVERIFY(!a.ok);
    QCOMPARE(a.error, QStringLiteral("GetSerie: argumento 4 deve ser texto"));
    QCOMPARE(args[0].toInteger(), 1); // nothing written back on failure
    QVERIFY(con.connected());         // an error answer keeps the connection
    con.setThrowException(true);
    QVERIFY_THROWS_EXCEPTION(EHostError, con.call(QStringLiteral("GetSerie"), args, {0}));
}

// A request the server could not read is answered without an id; its text reaches the caller.
void TestConnection::unreadableRequestErrorReachesCaller() {
    TFakeServer fake;
    fake.reply = [](const QCborMap&, QTcpSocket*) {
        QCborMap m;
        m.insert(QStringLiteral("id"), QCborValue(QCborValue::Null));
        m.insert(QStringLiteral("error"), QStringLiteral("Quadro inválido: CBOR inválido"));
        return QList<QByteArray>{FisFrame::encode(m)};
    };
    TNetConnection con;
    con.setPort(fake.port());
    con.setTimeoutMs(3000);
    QCborArray args;
    const TServerAnswer a = con.call(QStringLiteral("GetParamFiscal"), args, {});
    QVERIFY(!a.ok);
    QCOMPARE(a.error, QStringLiteral("Quadro inválido: CBOR inválido"));
}

QTEST_GUILESS_MAIN(TestConnection)
#include "test_connection.moc"
