#include "AppServer.h"

#include "DataAccess.h"
#include "Dispatcher.h"
#include "Envelope.h"
#include "FisDatabase.h"
#include "Session.h"
#include "core/HostExceptions.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QMutex>
#include <QScopedValueRollback>
#include <QSqlDatabase>
#include <QSslSocket>
#include <QTcpSocket>
#include <QThread>
#include <cstdio>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

void serverLog(const QString& line) {
    static QMutex mutex;
    QMutexLocker lock(&mutex);
    const QByteArray b = line.toUtf8();
    std::fprintf(stderr, "%s\n", b.constData());
    std::fflush(stderr);
}

void releaseFreeMemory() {
    malloc_trim(0);
}

namespace {

// What the socket keeps of a client's bytes not yet taken as frames: enough to go on reading a
// frame, little enough that a flood stays in the system's buffers and slows its sender.
constexpr qint64 ReadBufferSize = 64 * 1024;
// An answer this large leaves its memory to be handed back once it has been sent.
constexpr qint64 LargeAnswer = 1024 * 1024;
// File descriptors a new connection must leave free: its socket is open already; its thread's
// event loop and its database attachment need a few more, and the server must keep some to
// refuse the next connection with a message.
constexpr int DescriptorsToSpare = 16;
// A refused connection gets a moment to read its error frame; beyond this many at once the
// next ones are closed without it.
constexpr int MaxRefusing = 64;
constexpr int RefusalLingerMs = 2000;

// Whether n more descriptors could be opened now.
bool descriptorsToSpare(qintptr fd, int n) {
    int taken[DescriptorsToSpare];
    int got = 0;
    while (got < n && got < DescriptorsToSpare) {
        const int d = fcntl(int(fd), F_DUPFD_CLOEXEC, 0);
        if (d < 0)
            break;
        taken[got++] = d;
    }
    const bool ok = got == n;
    while (got > 0)
        ::close(taken[--got]);
    return ok;
}

// "address:port" of a socket not yet wrapped in a QTcpSocket.
QString peerOf(qintptr fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (getpeername(int(fd), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return QStringLiteral("-");
    QHostAddress host(reinterpret_cast<sockaddr*>(&a));
    const quint16 port = a.ss_family == AF_INET6
                             ? ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port)
                             : ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    return QStringLiteral("%1:%2").arg(host.toString()).arg(port);
}

class TClientWorker : public QObject {
    Q_OBJECT
public:
    TClientWorker(qintptr descriptor, QString location, const TServerLimits& limits,
                  const TServerSecurity& security, quint64 number)
        : m_descriptor(descriptor), m_location(std::move(location)), m_limits(limits),
          m_security(security), m_reader(limits.maxRequest),
          m_connName(QStringLiteral("fis98100-client-%1").arg(number)),
          m_dispatcher([this] { return database(); }, &m_session) {
        m_dispatcher.setKeepReadTransaction(true);
    }

    ~TClientWorker() override {
        {
            QSqlDatabase db = QSqlDatabase::database(m_connName, false);
            if (db.isValid())
                FisServer::closeConnection(db);
        }
        if (QSqlDatabase::contains(m_connName))
            QSqlDatabase::removeDatabase(m_connName);
    }

public slots:
    void start() {
        QSslSocket* tls = nullptr;
        if (m_security.tls) {
            tls = new QSslSocket(this);
            tls->setSslConfiguration(*m_security.tls);
            m_socket = tls;
        } else {
            m_socket = new QTcpSocket(this);
        }
        if (!m_socket->setSocketDescriptor(m_descriptor)) {
            ::close(int(m_descriptor));
            emit finished();
            return;
        }
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_socket->setReadBufferSize(ReadBufferSize);
        m_peer = QStringLiteral("%1:%2")
                     .arg(m_socket->peerAddress().toString())
                     .arg(m_socket->peerPort());
        m_idle = new QTimer(this);
        m_idle->setSingleShot(true);
        m_idle->setInterval(m_limits.idleTimeoutMs);
        connect(m_idle, &QTimer::timeout, this, &TClientWorker::onIdle);
        m_frame = new QTimer(this);
        m_frame->setSingleShot(true);
        m_frame->setInterval(m_limits.frameTimeoutMs);
        connect(m_frame, &QTimer::timeout, this, &TClientWorker::onFrameTimeout);
        connect(m_socket, &QTcpSocket::readyRead, this, &TClientWorker::onReadyRead);
        connect(m_socket, &QTcpSocket::bytesWritten, this, &TClientWorker::onBytesWritten);
        connect(m_socket, &QTcpSocket::disconnected, this, &TClientWorker::finished);
        m_session.setPeer(m_security.loopbackOnly && m_socket->peerAddress().isLoopback(),
                          m_socket->peerAddress().toString());
        if (tls) {
            // A peer that does not speak TLS, or does not finish its handshake in time, is
            // closed without a word: anything written now would be taken as a handshake.
            connect(tls, &QSslSocket::sslErrors, this, [this](const QList<QSslError>& errors) {
                logLine(QStringLiteral("erro: TLS: %1; conexão encerrada")
                            .arg(errors.value(0).errorString()));
            });
            connect(tls, &QAbstractSocket::errorOccurred, this, [this, tls] {
                if (!tls->isEncrypted()) {
                    logLine(
                        QStringLiteral("erro: TLS: %1; conexão encerrada").arg(tls->errorString()));
                    tls->abort();
                    emit finished();
                }
            });
            connect(tls, &QSslSocket::encrypted, this, [this] {
                m_frame->stop();
                pump();
            });
            m_frame->start();
            tls->startServerEncryption();
        }
        touch();
        m_idle->start();
        pump();
    }

signals:
    void finished();

private:
    QSqlDatabase database() {
        QSqlDatabase db = QSqlDatabase::database(m_connName, false);
        if (db.isValid() && db.isOpen())
            return db;
        return FisDb::openConnection(m_location, m_connName);
    }

    void logLine(const QString& text) {
        serverLog(QStringLiteral("[%1] - 0 ms %2").arg(m_peer, text));
    }

    void send(const QCborMap& answer, const QCborValue& id) {
        QByteArray frame = FisFrame::encode(answer);
        if (frame.size() - 4 > m_limits.maxAnswer)
            frame = FisFrame::encode(TDispatcher::errorAnswer(
                id, QStringLiteral("A resposta (%1 bytes) excede o limite de %2 bytes; "
                                   "restrinja o filtro.")
                        .arg(frame.size() - 4)
                        .arg(m_limits.maxAnswer)));
        if (frame.size() > LargeAnswer)
            m_trimAfterWrite = true;
        m_socket->write(frame);
    }

    // The stream cannot go on: answer, then close once the answer is out (or soon regardless).
    void closeWith(const QString& text) {
        send(TDispatcher::errorAnswer({}, text), {});
        m_closing = true;
        m_frame->stop();
        m_socket->disconnectFromHost();
        QTimer::singleShot(RefusalLingerMs, this, [this] {
            m_socket->abort();
            emit finished();
        });
    }

    void onReadyRead() {
        touch();
        pump();
    }

    void onBytesWritten() {
        touch();
        if (m_socket->bytesToWrite() > 0)
            return;
        if (m_trimAfterWrite) {
            m_trimAfterWrite = false;
            releaseFreeMemory();
        }
        pump();
    }

    // Activity only notes the time: restarting the idle timer on every call cost more than the
    // call's own socket work. The timer, when it fires, waits on for what is left.
    void touch() { m_active.start(); }

    void onIdle() {
        if (const qint64 quiet = m_active.elapsed(); quiet < m_limits.idleTimeoutMs) {
            m_idle->start(int(m_limits.idleTimeoutMs - quiet));
            return;
        }
        logLine(
            QStringLiteral("conexão ociosa por %1 s encerrada").arg(m_limits.idleTimeoutMs / 1000));
        // Whatever is unsent stays unsent: a client that reads nothing for this long is gone.
        m_closing = true;
        m_socket->abort();
        emit finished();
    }

    void onFrameTimeout() {
        if (auto* tls = qobject_cast<QSslSocket*>(m_socket); tls && !tls->isEncrypted()) {
            logLine(QStringLiteral("erro: TLS: negociação não concluída em %1 s; conexão "
                                   "encerrada")
                        .arg(m_limits.frameTimeoutMs / 1000.0));
            m_closing = true;
            m_socket->abort();
            emit finished();
            return;
        }
        const QString why = QStringLiteral("quadro incompleto: %1 bytes recebidos em %2 s")
                                .arg(m_reader.buffered())
                                .arg(m_limits.frameTimeoutMs / 1000.0);
        logLine(QStringLiteral("erro: %1; conexão encerrada").arg(why));
        closeWith(QStringLiteral("Quadro recusado: %1.").arg(why));
    }

    // Serves the frames that have arrived, one at a time, as long as the answers go out: a
    // client that does not read them finds its requests left unread until it does, in the
    // system's buffers rather than here.
    void pump() {
        if (!m_socket || m_closing || m_pumping)
            return;
        const QScopedValueRollback<bool> pumping(m_pumping, true);
        if (auto* tls = qobject_cast<QSslSocket*>(m_socket); tls && !tls->isEncrypted())
            return;
        for (;;) {
            if (m_socket->bytesToWrite() > 0) {
                m_frame->stop(); // the wait is ours, not the client's
                return;
            }
            // A client gone during the last answer's flush leaves its other requests unserved.
            if (m_socket->state() != QAbstractSocket::ConnectedState)
                return;
            QCborValue item;
            QString why;
            const auto st = m_reader.next(item, &why);
            if (st == TFrameReader::Status::NeedMore) {
                if (m_socket->bytesAvailable() > 0) {
                    m_reader.readFrom(m_socket);
                    continue;
                }
                // A frame begun must end within the read timeout, counted from its first byte.
                if (m_reader.buffered() == 0)
                    m_frame->stop();
                else if (!m_frame->isActive())
                    m_frame->start();
                return;
            }
            m_frame->stop();
            if (st == TFrameReader::Status::Oversized) {
                logLine(QStringLiteral("erro: %1; conexão encerrada").arg(why));
                closeWith(QStringLiteral("Quadro recusado: %1.").arg(why));
                return;
            }
            if (st == TFrameReader::Status::Malformed) {
                logLine(QStringLiteral("erro: quadro inválido: %1").arg(why));
                send(TDispatcher::errorAnswer({}, QStringLiteral("Quadro inválido: %1.").arg(why)),
                     {});
                continue;
            }
            QElapsedTimer t;
            t.start();
            TDispatcher::TLog log;
            QByteArray answer = m_dispatcher.handleFrame(item, log, m_limits.maxAnswer);
            item = QCborValue();
            if (answer.size() > LargeAnswer)
                m_trimAfterWrite = true;
            m_socket->write(answer);
            answer = QByteArray();
            // Out now rather than on the event loop's next turn: a small answer leaves in this
            // call, and the loop below sees at once whether the client keeps up.
            m_socket->flush();
            serverLog(QStringLiteral("[%1] %2 %3 ms %4")
                          .arg(m_peer, log.method)
                          .arg(t.elapsed())
                          .arg(log.outcome.left(300) +
                               (log.clerk.isEmpty() ? QString()
                                                    : QStringLiteral(" — usuário ") + log.clerk)));
            touch();
        }
    }

    qintptr m_descriptor;
    QString m_location;
    TServerLimits m_limits;
    TServerSecurity m_security;
    TFrameReader m_reader;
    QString m_connName;
    QString m_peer;
    QTcpSocket* m_socket = nullptr;
    QTimer* m_idle = nullptr;
    QElapsedTimer m_active; // since the client's last read or write
    QTimer* m_frame = nullptr;
    bool m_closing = false;
    bool m_trimAfterWrite = false;
    bool m_pumping = false; // flush() reports bytes written from inside pump()
    FisServer::TSession m_session;
    TDispatcher m_dispatcher;
};

// A connection the server does not take: its error frame, a moment to read it, then closed.
class TRefusal : public QTcpSocket {
public:
    TRefusal(qintptr descriptor, const QByteArray& frame, QObject* parent) : QTcpSocket(parent) {
        if (!setSocketDescriptor(descriptor)) {
            ::close(int(descriptor));
            deleteLater();
            return;
        }
        write(frame);
        // What the client sends meanwhile is read and dropped, so that closing sends no reset
        // that would discard the error frame before the client reads it.
        connect(this, &QTcpSocket::readyRead, this, [this] { readAll(); });
        connect(this, &QTcpSocket::disconnected, this, &QObject::deleteLater);
        disconnectFromHost();
        QTimer::singleShot(RefusalLingerMs, this, [this] {
            abort();
            deleteLater();
        });
    }
};

} // namespace

TAppServer::TAppServer(const QString& databaseLocation, const TServerLimits& limits,
                       const TServerSecurity& security, QObject* parent)
    : QTcpServer(parent), m_location(databaseLocation), m_limits(limits), m_security(security) {
    setListenBacklogSize(limits.listenBacklog);
    connect(this, &QTcpServer::acceptError, this, &TAppServer::onAcceptError);
    m_trim.setSingleShot(true);
    m_trim.setInterval(1000);
    connect(&m_trim, &QTimer::timeout, this, [] { releaseFreeMemory(); });
}

void TAppServer::trimSoon() {
    if (!m_trim.isActive())
        m_trim.start();
}

void TAppServer::onAcceptError(QAbstractSocket::SocketError) {
    // Out of descriptors (or another resource): the connection stays queued by the system, and
    // accepting resumes in a moment, when closed connections may have freed some.
    serverLog(QStringLiteral("fis98100-server: não foi possível aceitar uma conexão: %1; "
                             "nova tentativa em 1 s")
                  .arg(errorString()));
    pauseAccepting();
    QTimer::singleShot(1000, this, [this] { resumeAccepting(); });
}

void TAppServer::refuse(qintptr descriptor, const QString& why) {
    serverLog(
        QStringLiteral("[%1] - 0 ms erro: conexão recusada: %2").arg(peerOf(descriptor), why));
    // A refusal takes a descriptor for a moment: never the last ones, which the clients being
    // served may need for their database. A TLS client could not read a frame in clear.
    if (m_security.tls || m_refusing >= MaxRefusing ||
        !descriptorsToSpare(descriptor, DescriptorsToSpare)) {
        ::close(int(descriptor));
        return;
    }
    ++m_refusing;
    auto* r = new TRefusal(
        descriptor,
        FisFrame::encode(TDispatcher::errorAnswer(
            {}, QStringLiteral("Servidor de aplicação ocupado: %1. Tente novamente em instantes.")
                    .arg(why))),
        this);
    connect(r, &QObject::destroyed, this, [this] { --m_refusing; });
}

void TAppServer::incomingConnection(qintptr descriptor) {
    if (m_active->load() >= m_limits.maxConnections) {
        refuse(descriptor,
               QStringLiteral("limite de %1 conexões atingido").arg(m_limits.maxConnections));
        return;
    }
    // Running out of descriptors in the new thread would end the process; refuse before.
    if (!descriptorsToSpare(descriptor, DescriptorsToSpare)) {
        refuse(descriptor, QStringLiteral("descritores de arquivo esgotados"));
        return;
    }
    auto* thread = new QThread;
    auto* worker = new TClientWorker(descriptor, m_location, m_limits, m_security, ++m_clients);
    worker->moveToThread(thread);
    connect(thread, &QThread::started, worker, &TClientWorker::start);
    connect(worker, &TClientWorker::finished, thread, &QThread::quit);
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    const auto active = m_active;
    ++*active;
    connect(thread, &QThread::finished, this, [this, active] {
        --*active;
        trimSoon();
    });
    thread->start();
    // A thread the system could not create (out of threads or memory) never runs.
    if (!thread->isRunning() && !thread->isFinished()) {
        --*active;
        delete worker;
        delete thread;
        refuse(descriptor, QStringLiteral("não foi possível criar a linha de execução"));
    }
}

#include "AppServer.moc"
