#pragma once
// The client's connection to the application server: one TCP socket, length-prefixed CBOR frames
// (core/Frame.h), late-bound blocking calls by method name with positional arguments.
//
// Guarantees:
//  - setConnected(true) first emits beforeConnect() synchronously (handlers set host and port
//    there, so both are read afresh at every connect), then connects.
//  - With throwException() false nothing here throws: a failed connect leaves connected() false,
//    and every call answers !ok with a readable text. With true, the same failures raise
//    EHostError with that text.
//  - A lost connection, a timeout or a malformed answer becomes an error answer, never a crash or
//    a hang. While waiting, a local event loop runs that excludes user input, so the screen keeps
//    painting (busy animation) but the clerk cannot act.
//  - A call made while not connected connects first; a socket the server dropped while idle is
//    reconnected once before the request goes out. A request that was sent is never resent.
//  - Connecting never freezes the screen: setConnected(true) starts the connect and returns;
//    it completes in the caller's event loop. connected(), lastError() and a call wait for a
//    connect still under way in the same kind of local event loop as a call, for at most
//    connectTimeoutMs() (5 s by default), after which the connect has failed with a text that
//    says the server did not answer. With throwException() true setConnected(true) waits so,
//    and raises the failure.
#include "core/HostExport.h"
#include "core/ServerAnswer.h"

#include <QCborArray>
#include <QList>
#include <QObject>
#include <QString>
#include <memory>

class QTcpSocket;

class FIS_EXPORT TSocketConnection : public QObject {
    Q_OBJECT
public:
    explicit TSocketConnection(QObject* parent = nullptr);
    ~TSocketConnection() override;

    void setHost(const QString& host);
    QString host() const;
    void setPort(int port);
    int port() const;
    // Object name sent with every request ("object").
    void setServerName(const QString& name);
    QString serverName() const;
    // Default false.
    void setThrowException(bool on);
    bool throwException() const;
    // Longest wait for an answer; default 30000.
    void setTimeoutMs(int ms);
    int timeoutMs() const;
    // Longest wait for a connect; default 5000.
    void setConnectTimeoutMs(int ms);
    int connectTimeoutMs() const;

    bool connected() const;
    void setConnected(bool on);
    // Text of the last connect or call failure (empty after a success).
    QString lastError() const;

    // Blocking call. args are the positional arguments; byRef lists the indexes of the
    // by-reference ones, whose final values the server sends back and this writes into args.
    TServerAnswer call(const QString& method, QCborArray& args, const QList<int>& byRef);

signals:
    void beforeConnect();
    void afterConnect();
    void afterDisconnect();

private:
    struct Private;
    std::unique_ptr<Private> d;
    void startConnect();
    void settlePending(QTcpSocket* s, const QString& failure);
    void dropPending();
    // Waits for a connect under way; true when connected.
    bool awaitPending();
    // Connects and waits.
    bool connectNow();
    void dropSocket();
    TServerAnswer fail(const QString& text);
};

// The component the screens place; same behaviour.
class FIS_EXPORT TNetConnection : public TSocketConnection {
    Q_OBJECT
public:
    explicit TNetConnection(QObject* parent = nullptr) : TSocketConnection(parent) {}
};
