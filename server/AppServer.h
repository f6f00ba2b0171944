#pragma once
// The listening side: one thread and one database connection per client connection. Requests of
// one client run one after the other; clients never wait for each other except on the
// database's own row locks. What one client sends or fails to read never costs the others their
// service: connections are capped, a frame begun must end in time, an idle connection is closed,
// and a client that does not read its answers gets no further request served until it does.
#include "core/Frame.h"

#include <QSslConfiguration>
#include <QTcpServer>
#include <QTimer>
#include <atomic>
#include <memory>
#include <optional>

struct TServerLimits {
    int maxConnections = 256;
    qint64 maxRequest = FisFrame::DefaultMaxRequest;
    qint64 maxAnswer = FisFrame::DefaultMaxFrame;
    int idleTimeoutMs = 30 * 60 * 1000;
    // A frame begun but not finished.
    int frameTimeoutMs = 30 * 1000;
    // Connections the system queues before the server accepts them: a burst of clients at the
    // start of the day waits there instead of being retried a second later.
    int listenBacklog = 1024;
};

struct TServerSecurity {
    // Listening on loopback only: the local account may be served without a login.
    bool loopbackOnly = true;
    // With a certificate and key, every connection speaks TLS.
    std::optional<QSslConfiguration> tls;
};

class TAppServer : public QTcpServer {
    Q_OBJECT
public:
    TAppServer(const QString& databaseLocation, const TServerLimits& limits,
               const TServerSecurity& security = {}, QObject* parent = nullptr);

    // Client connections being served.
    int connections() const { return m_active->load(); }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    // Answers a connection the server cannot take with an error frame, then closes it.
    void refuse(qintptr descriptor, const QString& why);
    void onAcceptError(QAbstractSocket::SocketError error);
    // Hands freed memory back to the system, at most once a second.
    void trimSoon();

    QString m_location;
    TServerLimits m_limits;
    TServerSecurity m_security;
    quint64 m_clients = 0;
    std::shared_ptr<std::atomic<int>> m_active = std::make_shared<std::atomic<int>>(0);
    int m_refusing = 0;
    QTimer m_trim;
};

// One line on stderr per call: method, milliseconds, outcome.
void serverLog(const QString& line);
// Returns freed heap memory to the system (every thread's arena).
void releaseFreeMemory();
