#pragma once
// The listening side: one thread and one database connection per client connection. Requests of
// one client run one after the other; clients never wait for each other except on the
// database's own row locks.
#include <QTcpServer>

class TAppServer : public QTcpServer {
    Q_OBJECT
public:
    TAppServer(const QString& databaseLocation, qint64 maxFrame, QObject* parent = nullptr);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QString m_location;
    qint64 m_maxFrame;
    quint64 m_clients = 0;
};

// One line on stderr per call: method, milliseconds, outcome.
void serverLog(const QString& line);
