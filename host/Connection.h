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
#include <functional>
#include <memory>

class QSslSocket;
class QTcpSocket;

// How the client reaches a TLS server: the office CA that signed the server's certificate, and/or
// the SHA-256 fingerprint of that certificate itself (hex, ':' allowed) pinned instead.
struct TTlsSettings {
    bool enabled = false;
    QString caFile;
    QString fingerprint;
};

// Asks the clerk for user and password after the server refused a call for want of a session.
// error is the server's text (the refusal of the previous attempt after a failure). Returns
// false when the clerk gives up.
using TLoginPrompt = std::function<bool(const QString& server, const QString& error, QString& user,
                                        QString& password)>;

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

    // TLS for the next connects. Until set, the host application's default is asked at every
    // connect (the client reads [Server] Tls, CaFile, Fingerprint there); without one, plain TCP.
    void setTlsSettings(const TTlsSettings& tls);
    static void setDefaultTlsSettings(std::function<TTlsSettings()> settings);
    // The prompt used when the server asks for a login; a connection without its own uses the
    // one the host application installed (none by default: the refusal is the call's answer).
    void setLoginPrompt(TLoginPrompt prompt);
    static void setDefaultLoginPrompt(TLoginPrompt prompt);
    // Logs in on this connection (connecting first); empty on success, else the server's text.
    QString login(const QString& user, const QString& password);

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
    QSslSocket* newTlsSocket(const TTlsSettings& tls);
    void settlePending(QTcpSocket* s, const QString& failure);
    void dropPending();
    // Waits for a connect under way; true when connected.
    bool awaitPending();
    // Connects and waits.
    bool connectNow();
    void dropSocket();
    TServerAnswer fail(const QString& text);
    // One request and its answer. With needLogin, a refusal for want of a session is returned
    // (not raised) and flagged there.
    TServerAnswer callOnce(const QString& method, QCborArray& args, const QList<int>& byRef,
                           bool* needLogin);
};

// The component the screens place; same behaviour.
class FIS_EXPORT TNetConnection : public TSocketConnection {
    Q_OBJECT
public:
    explicit TNetConnection(QObject* parent = nullptr) : TSocketConnection(parent) {}
};
