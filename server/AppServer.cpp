#include "AppServer.h"

#include "Dispatcher.h"
#include "Envelope.h"
#include "FisDatabase.h"
#include "core/Frame.h"
#include "core/HostExceptions.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QSqlDatabase>
#include <QTcpSocket>
#include <QThread>
#include <cstdio>

void serverLog(const QString& line) {
    static QMutex mutex;
    QMutexLocker lock(&mutex);
    const QByteArray b = line.toUtf8();
    std::fprintf(stderr, "%s\n", b.constData());
    std::fflush(stderr);
}

namespace {

class TClientWorker : public QObject {
    Q_OBJECT
public:
    TClientWorker(qintptr descriptor, QString location, qint64 maxFrame, quint64 number)
        : m_descriptor(descriptor), m_location(std::move(location)), m_reader(maxFrame),
          m_connName(QStringLiteral("fis98100-client-%1").arg(number)), m_number(number),
          m_dispatcher([this] { return database(); }) {}

    ~TClientWorker() override {
        {
            QSqlDatabase db = QSqlDatabase::database(m_connName, false);
            if (db.isValid())
                db.close();
        }
        if (QSqlDatabase::contains(m_connName))
            QSqlDatabase::removeDatabase(m_connName);
    }

public slots:
    void start() {
        m_socket = new QTcpSocket(this);
        if (!m_socket->setSocketDescriptor(m_descriptor)) {
            emit finished();
            return;
        }
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_peer = QStringLiteral("%1:%2")
                     .arg(m_socket->peerAddress().toString())
                     .arg(m_socket->peerPort());
        connect(m_socket, &QTcpSocket::readyRead, this, &TClientWorker::onReadyRead);
        connect(m_socket, &QTcpSocket::disconnected, this, &TClientWorker::finished);
        onReadyRead();
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

    void send(const QCborMap& answer, const QCborValue& id) {
        QByteArray frame = FisFrame::encode(answer);
        if (frame.size() - 4 > m_reader.maxFrame())
            frame = FisFrame::encode(TDispatcher::errorAnswer(
                id, QStringLiteral("A resposta (%1 bytes) excede o limite de %2 bytes; "
                                   "restrinja o filtro.")
                        .arg(frame.size() - 4)
                        .arg(m_reader.maxFrame())));
        m_socket->write(frame);
    }

    void onReadyRead() {
        if (!m_socket)
            return;
        m_reader.readFrom(m_socket);
        for (;;) {
            QCborValue item;
            QString why;
            const auto st = m_reader.next(item, &why);
            if (st == TFrameReader::Status::NeedMore)
                return;
            if (st == TFrameReader::Status::Oversized) {
                // The stream cannot be resynchronised: answer, then close this connection only.
                serverLog(
                    QStringLiteral("[%1] - 0 ms erro: %2; conexão encerrada").arg(m_peer, why));
                send(TDispatcher::errorAnswer({}, QStringLiteral("Quadro recusado: %1.").arg(why)),
                     {});
                m_socket->disconnectFromHost();
                return;
            }
            if (st == TFrameReader::Status::Malformed) {
                serverLog(QStringLiteral("[%1] - 0 ms erro: quadro inválido: %2").arg(m_peer, why));
                send(TDispatcher::errorAnswer({}, QStringLiteral("Quadro inválido: %1.").arg(why)),
                     {});
                continue;
            }
            QElapsedTimer t;
            t.start();
            TDispatcher::TLog log;
            const QCborMap answer = m_dispatcher.handle(item, log);
            send(answer, answer.value(FisProtocol::Key::Id));
            serverLog(QStringLiteral("[%1] %2 %3 ms %4")
                          .arg(m_peer, log.method)
                          .arg(t.elapsed())
                          .arg(log.outcome.left(300)));
        }
    }

    qintptr m_descriptor;
    QString m_location;
    TFrameReader m_reader;
    QString m_connName;
    quint64 m_number;
    QString m_peer;
    QTcpSocket* m_socket = nullptr;
    TDispatcher m_dispatcher;
};

} // namespace

TAppServer::TAppServer(const QString& databaseLocation, qint64 maxFrame, QObject* parent)
    : QTcpServer(parent), m_location(databaseLocation), m_maxFrame(maxFrame) {}

void TAppServer::incomingConnection(qintptr descriptor) {
    auto* thread = new QThread;
    auto* worker = new TClientWorker(descriptor, m_location, m_maxFrame, ++m_clients);
    worker->moveToThread(thread);
    connect(thread, &QThread::started, worker, &TClientWorker::start);
    connect(worker, &TClientWorker::finished, thread, &QThread::quit);
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

#include "AppServer.moc"
