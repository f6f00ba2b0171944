// Connecting to a server host that does not answer: creating the screen does not wait for it,
// and whoever needs the connection waits in an event loop, so the screen goes on painting, and
// learns after the connect timeout, with a clear text, at every call made while disconnected.
#include "Connection.h"
#include "core/HostExceptions.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A listening socket whose queue is full and which never accepts: the system drops further
// connection requests, and a client's connect hangs as it does on a host that does not answer.
class TSilentHost {
public:
    TSilentHost() {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
            ::listen(m_listen, 0) != 0 ||
            ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        m_port = ntohs(a.sin_port);
        for (int i = 0; i < 3; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            ::fcntl(fd, F_SETFL, O_NONBLOCK);
            ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
            m_fill << fd;
        }
        QTest::qWait(200); // the queue fills
    }
    ~TSilentHost() {
        for (int fd : m_fill)
            ::close(fd);
        ::close(m_listen);
    }
    int port() const { return m_port; }

private:
    int m_listen = -1;
    int m_port = 0;
    QList<int> m_fill;
};

// Counts the turns of the event loop while something runs: a screen that repaints.
struct TTicker {
    QTimer timer;
    int ticks = 0;
    TTicker() {
        QObject::connect(&timer, &QTimer::timeout, [this] { ++ticks; });
        timer.start(20);
    }
};

} // namespace

class TestConnect : public QObject {
    Q_OBJECT
private slots:
    void silentHostTimesOutWithoutFreezing();
    void callWhileDisconnectedDoesNotFreeze();
    void throwsWhenAsked();
};

void TestConnect::silentHostTimesOutWithoutFreezing() {
    TSilentHost host;
    QVERIFY(host.port() > 0);
    TNetConnection con;
    con.setPort(host.port());
    con.setConnectTimeoutMs(3000);
    QCOMPARE(con.timeoutMs(), 30000); // the calls' own wait is another
    TTicker ticker;
    QElapsedTimer t;
    t.start();
    // Creating the screen connects: it does not wait for the host.
    con.setConnected(true);
    const qint64 started = t.elapsed();
    QVERIFY2(started < 3000, qPrintable(QString::number(started)));
    // Looking at the state waits for the connect, in an event loop.
    QVERIFY(!con.connected());
    const qint64 waited = t.elapsed();
    QCOMPARE(con.lastError(),
             QStringLiteral("Não foi possível conectar ao servidor de aplicação em "
                            "127.0.0.1:%1: sem resposta em 3 s")
                 .arg(host.port()));
    QVERIFY2(waited >= 3000, qPrintable(QString::number(waited)));
    // Gave up at its own timeout, not the call's 30 s, and the event loop ran all along.
    QVERIFY2(waited < 20000, qPrintable(QString::number(waited)));
    QVERIFY2(ticker.ticks >= 20, qPrintable(QString::number(ticker.ticks)));
}

void TestConnect::callWhileDisconnectedDoesNotFreeze() {
    TSilentHost host;
    TNetConnection con;
    con.setPort(host.port());
    con.setServerName(QStringLiteral("Fis98100.rdmCriaEmissaoDarfDoc"));
    con.setConnectTimeoutMs(700);
    TTicker ticker;
    QCborArray args;
    const TServerAnswer a = con.call(QStringLiteral("GetParamFiscal"), args, {});
    QVERIFY(!a.ok);
    QVERIFY2(a.error.endsWith(QStringLiteral("sem resposta em 0.7 s")), qPrintable(a.error));
    QVERIFY(ticker.ticks >= 5);
    // The next call tries again, and fails the same way.
    const TServerAnswer b = con.call(QStringLiteral("GetParamFiscal"), args, {});
    QCOMPARE(b.error, a.error);
}

void TestConnect::throwsWhenAsked() {
    TSilentHost host;
    TNetConnection con;
    con.setPort(host.port());
    con.setConnectTimeoutMs(500);
    con.setThrowException(true);
    try {
        con.setConnected(true);
        QFAIL("connected to a host that does not answer");
    } catch (const EHostError& e) {
        QVERIFY2(e.text().contains(QStringLiteral("sem resposta em 0.5 s")), qPrintable(e.text()));
    }
}

QTEST_GUILESS_MAIN(TestConnect)
#include "test_connect.moc"
