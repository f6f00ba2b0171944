#include "Connection.h"
#include "core/Envelope.h"

#include "core/Frame.h"
#include "core/HostExceptions.h"

#include <QCborMap>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <optional>

namespace {

TLoginPrompt& defaultPrompt() {
    static TLoginPrompt p;
    return p;
}

std::function<TTlsSettings()>& defaultTls() {
    static std::function<TTlsSettings()> f;
    return f;
}

QByteArray normalizedFingerprint(const QString& text) {
    QString t = text;
    t.remove(QLatin1Char(':')).remove(QLatin1Char(' '));
    return t.toLower().toLatin1();
}

} // namespace

struct TSocketConnection::Private {
    QString host = QStringLiteral("127.0.0.1");
    int port = 21981;
    QString serverName;
    bool throwException = false;
    int timeoutMs = 30000;
    int connectTimeoutMs = 5000;
    bool wantConnected = false;
    QString lastError;
    QTcpSocket* socket = nullptr;
    QTcpSocket* pending = nullptr; // connecting in the background
    QTimer* connectTimer = nullptr;
    TFrameReader reader;
    qint64 nextId = 1;
    bool inCall = false;
    std::optional<TTlsSettings> tls;
    TLoginPrompt prompt;
    QString tlsRefusal; // why the server's certificate was refused, for the connect failure
};

TSocketConnection::TSocketConnection(QObject* parent) : QObject(parent), d(new Private) {}

TSocketConnection::~TSocketConnection() {
    if (d->pending) {
        d->pending->disconnect(this);
        d->pending->abort();
        delete d->pending;
    }
    if (d->socket) {
        d->socket->disconnect(this);
        d->socket->abort();
        delete d->socket;
    }
}

void TSocketConnection::setHost(const QString& host) {
    d->host = host;
}
QString TSocketConnection::host() const {
    return d->host;
}
void TSocketConnection::setPort(int port) {
    d->port = port;
}
int TSocketConnection::port() const {
    return d->port;
}
void TSocketConnection::setServerName(const QString& name) {
    d->serverName = name;
}
QString TSocketConnection::serverName() const {
    return d->serverName;
}
void TSocketConnection::setThrowException(bool on) {
    d->throwException = on;
}
bool TSocketConnection::throwException() const {
    return d->throwException;
}
void TSocketConnection::setTimeoutMs(int ms) {
    d->timeoutMs = ms > 0 ? ms : 30000;
}
int TSocketConnection::timeoutMs() const {
    return d->timeoutMs;
}
void TSocketConnection::setConnectTimeoutMs(int ms) {
    d->connectTimeoutMs = ms > 0 ? ms : 5000;
}
int TSocketConnection::connectTimeoutMs() const {
    return d->connectTimeoutMs;
}
void TSocketConnection::setTlsSettings(const TTlsSettings& tls) {
    d->tls = tls;
}
void TSocketConnection::setLoginPrompt(TLoginPrompt prompt) {
    d->prompt = std::move(prompt);
}
void TSocketConnection::setDefaultLoginPrompt(TLoginPrompt prompt) {
    defaultPrompt() = std::move(prompt);
}
void TSocketConnection::setDefaultTlsSettings(std::function<TTlsSettings()> settings) {
    defaultTls() = std::move(settings);
}

QString TSocketConnection::lastError() const {
    if (d->pending)
        const_cast<TSocketConnection*>(this)->awaitPending();
    return d->lastError;
}

bool TSocketConnection::connected() const {
    if (d->pending)
        const_cast<TSocketConnection*>(this)->awaitPending();
    return d->socket && d->socket->state() == QAbstractSocket::ConnectedState;
}

void TSocketConnection::dropSocket() {
    if (!d->socket)
        return;
    QTcpSocket* s = d->socket;
    d->socket = nullptr;
    s->disconnect(this);
    s->abort();
    // We may be inside one of the socket's own signals.
    s->deleteLater();
    d->reader.clear();
}

// A TLS socket that trusts the office's CA or the pinned certificate only; why it refused goes
// to d->tlsRefusal.
QSslSocket* TSocketConnection::newTlsSocket(const TTlsSettings& tls) {
    auto* ssl = new QSslSocket;
    QSslConfiguration c = QSslConfiguration::defaultConfiguration();
    c.setProtocol(QSsl::TlsV1_2OrLater);
    c.setPeerVerifyMode(QSslSocket::VerifyPeer);
    // The office's own CA only, never the system's list: a certificate some public CA
    // signed is not the office's server.
    QList<QSslCertificate> ca;
    if (!tls.caFile.isEmpty()) {
        ca = QSslCertificate::fromPath(tls.caFile, QSsl::Pem);
        if (ca.isEmpty())
            d->tlsRefusal = QStringLiteral("nenhum certificado de AC em %1").arg(tls.caFile);
    } else if (tls.fingerprint.isEmpty()) {
        d->tlsRefusal = QStringLiteral("nenhuma AC (CaFile) nem impressão digital "
                                       "(Fingerprint) configurada");
    }
    c.setCaCertificates(ca);
    ssl->setSslConfiguration(c);
    const QByteArray pin = normalizedFingerprint(tls.fingerprint);
    QObject::connect(
        ssl, &QSslSocket::sslErrors, this,
        [this, ssl, pin, caFile = tls.caFile](const QList<QSslError>& errors) {
            // A pinned certificate needs no CA, and matches whatever host name
            // it is reached by; anything else is refused.
            if (!pin.isEmpty() && caFile.isEmpty() &&
                ssl->peerCertificate().digest(QCryptographicHash::Sha256).toHex() == pin)
                return ssl->ignoreSslErrors(errors);
            if (!pin.isEmpty() && caFile.isEmpty())
                d->tlsRefusal = QStringLiteral("a impressão digital do certificado não "
                                               "confere com a configurada");
            else if (d->tlsRefusal.isEmpty())
                d->tlsRefusal = errors.value(0).errorString();
        });
    QObject::connect(ssl, &QSslSocket::encrypted, this, [this, ssl, pin] {
        if (!pin.isEmpty() &&
            ssl->peerCertificate().digest(QCryptographicHash::Sha256).toHex() != pin) {
            d->tlsRefusal = QStringLiteral("a impressão digital do certificado não confere "
                                           "com a configurada");
            settlePending(
                ssl, QStringLiteral("certificado do servidor recusado: %1").arg(d->tlsRefusal));
            return;
        }
        settlePending(ssl, {});
    });
    return ssl;
}

void TSocketConnection::startConnect() {
    dropSocket();
    dropPending();
    emit beforeConnect();
    const TTlsSettings tls = d->tls ? *d->tls : defaultTls() ? defaultTls()() : TTlsSettings{};
    QTcpSocket* s = nullptr;
    d->tlsRefusal.clear();
    if (tls.enabled) {
        s = newTlsSocket(tls);
    } else {
        s = new QTcpSocket;
        QObject::connect(s, &QTcpSocket::connected, this, [this, s] { settlePending(s, {}); });
    }
    d->pending = s;
    // Settled in the event loop the caller runs anyway: creating the screen does not wait for
    // the server's host, and a call made meanwhile waits for it in its own loop.
    QObject::connect(s, &QTcpSocket::errorOccurred, this, [this, s] {
        settlePending(
            s, d->tlsRefusal.isEmpty()
                   ? s->errorString()
                   : QStringLiteral("certificado do servidor recusado: %1").arg(d->tlsRefusal));
    });
    if (!d->connectTimer) {
        d->connectTimer = new QTimer(this);
        d->connectTimer->setSingleShot(true);
        d->connectTimer->setTimerType(Qt::PreciseTimer); // never sooner than promised
        QObject::connect(d->connectTimer, &QTimer::timeout, this, [this] {
            if (d->pending)
                settlePending(
                    d->pending,
                    QStringLiteral("sem resposta em %1 s").arg(d->connectTimeoutMs / 1000.0));
        });
    }
    d->connectTimer->start(d->connectTimeoutMs);
    if (auto* ssl = qobject_cast<QSslSocket*>(s))
        ssl->connectToHostEncrypted(d->host, quint16(d->port));
    else
        s->connectToHost(d->host, quint16(d->port));
}

void TSocketConnection::settlePending(QTcpSocket* s, const QString& failure) {
    if (d->pending != s)
        return;
    d->pending = nullptr;
    d->connectTimer->stop();
    s->disconnect(this);
    if (failure.isEmpty() && s->state() == QAbstractSocket::ConnectedState) {
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        d->socket = s;
        d->reader.clear();
        d->lastError.clear();
        emit afterConnect();
        return;
    }
    d->lastError = QStringLiteral("Não foi possível conectar ao servidor de aplicação em %1:%2: %3")
                       .arg(d->host)
                       .arg(d->port)
                       .arg(failure);
    s->abort();
    s->deleteLater(); // we may be inside one of its signals
}

void TSocketConnection::dropPending() {
    if (!d->pending)
        return;
    QTcpSocket* s = d->pending;
    d->pending = nullptr;
    d->connectTimer->stop();
    s->disconnect(this);
    s->abort();
    s->deleteLater();
}

bool TSocketConnection::awaitPending() {
    QPointer<QTcpSocket> s = d->pending;
    if (s) {
        // The screen goes on painting (and a busy animation turning) meanwhile; what the clerk
        // types waits.
        QEventLoop loop;
        QObject::connect(s, &QTcpSocket::connected, &loop, [&loop, s] {
            // A TLS connect ends with its handshake.
            if (!qobject_cast<QSslSocket*>(s.data()))
                loop.quit();
        });
        if (auto* ssl = qobject_cast<QSslSocket*>(s.data()))
            QObject::connect(ssl, &QSslSocket::encrypted, &loop, &QEventLoop::quit);
        QObject::connect(s, &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
        QObject::connect(s, &QObject::destroyed, &loop, &QEventLoop::quit);
        QObject::connect(d->connectTimer, &QTimer::timeout, &loop, &QEventLoop::quit);
        while (s && d->pending == s)
            loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    return d->socket && d->socket->state() == QAbstractSocket::ConnectedState;
}

bool TSocketConnection::connectNow() {
    startConnect();
    return awaitPending();
}

void TSocketConnection::setConnected(bool on) {
    if (!on) {
        d->wantConnected = false;
        dropPending();
        if (d->socket) {
            dropSocket();
            emit afterDisconnect();
        }
        return;
    }
    d->wantConnected = true;
    if (d->pending || (d->socket && d->socket->state() == QAbstractSocket::ConnectedState))
        return;
    startConnect();
    // Whoever wants the failure raised learns it here; otherwise the next look at the state
    // or the next call does.
    if (d->throwException && !awaitPending())
        throw EHostError(d->lastError);
}

TServerAnswer TSocketConnection::fail(const QString& text) {
    d->lastError = text;
    if (d->throwException)
        throw EHostError(text);
    return TServerAnswer::failure(text);
}

QString TSocketConnection::login(const QString& user, const QString& password) {
    QCborArray args{user, password};
    bool refused = false;
    const TServerAnswer a = callOnce(QString(FisProtocol::Session::Login), args, {}, &refused);
    return a.ok ? QString() : a.error;
}

TServerAnswer TSocketConnection::call(const QString& method, QCborArray& args,
                                      const QList<int>& byRef) {
    const TLoginPrompt& prompt = d->prompt ? d->prompt : defaultPrompt();
    bool needLogin = false;
    TServerAnswer a = callOnce(method, args, byRef, prompt ? &needLogin : nullptr);
    if (!needLogin)
        return a;
    // The call was refused before it ran: after a login it is sent again.
    QString error = a.error;
    QString user, password;
    const QString where = QStringLiteral("%1:%2").arg(d->host).arg(d->port);
    while (prompt(where, error, user, password)) {
        error = login(user, password);
        password.fill(QLatin1Char(' '));
        password.clear();
        if (!error.isEmpty())
            continue;
        needLogin = false;
        a = callOnce(method, args, byRef, &needLogin);
        if (!needLogin)
            return a;
        error = a.error;
    }
    return fail(error);
}

TServerAnswer TSocketConnection::callOnce(const QString& method, QCborArray& args,
                                          const QList<int>& byRef, bool* needLogin) {
    if (d->inCall)
        return fail(QStringLiteral("Chamada a %1 recusada: outra chamada ao servidor de "
                                   "aplicação ainda está em andamento.")
                        .arg(method));
    // A socket the server dropped while we were idle is replaced once, before anything is sent;
    // a call without a connection connects first (host and port read again). Without an event
    // loop between calls the close may not have been noticed yet: a zero-time poll reads it.
    if (connected())
        d->socket->waitForReadyRead(0);
    if (!connected() && !connectNow())
        return fail(d->lastError);

    struct InCall {
        bool& f;
        explicit InCall(bool& b) : f(b) { f = true; }
        ~InCall() { f = false; }
    } guard(d->inCall);

    const qint64 id = d->nextId++;
    QCborMap req;
    req.insert(FisProtocol::Key::Id, id);
    req.insert(FisProtocol::Key::Object, d->serverName);
    req.insert(FisProtocol::Key::Method, method);
    req.insert(FisProtocol::Key::Args, args);
    const QByteArray frame = FisFrame::encode(req);

    QPointer<QTcpSocket> s = d->socket;
    if (s->write(frame) != frame.size())
        return fail(QStringLiteral("Falha ao enviar a chamada %1 ao servidor de aplicação: %2")
                        .arg(method, s->errorString()));

    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    enum class End { None, Answer, Lost, Timeout, Malformed } end = End::None;
    // The answer's frame is kept as it came: its result is read from these bytes by whoever
    // wants it (a dataset straight into its rows), the rest of the envelope decoded here.
    QByteArray frameBody;
    FisFrame::TAnswerEnvelope answer;
    QString why;

    auto pump = [&] {
        if (!s || end != End::None)
            return;
        d->reader.readFrom(s);
        for (;;) {
            QByteArray body;
            QString err;
            auto st = d->reader.nextFrame(body, &err);
            FisFrame::TAnswerEnvelope item;
            if (st == TFrameReader::Status::Item && !FisFrame::decodeAnswer(body, item, &err))
                st = TFrameReader::Status::Malformed;
            if (st == TFrameReader::Status::NeedMore)
                return;
            if (st != TFrameReader::Status::Item) {
                why = err;
                end = End::Malformed;
                loop.quit();
                return;
            }
            if (!item.isMap) {
                why = QStringLiteral("resposta não é um mapa");
                end = End::Malformed;
                loop.quit();
                return;
            }
            const QCborValue idv = item.envelope.value(FisProtocol::Key::Id);
            // An answer to an earlier call that timed out: not ours.
            if (idv.isInteger() && idv.toInteger() != id)
                continue;
            // The server answers {id: null, error} when it could not read the request at all;
            // with one call in flight that answer is ours, and its text says why.
            if (idv.isNull() && item.envelope.value(FisProtocol::Key::Error).isString()) {
                answer = item;
                frameBody = body;
                end = End::Answer;
                loop.quit();
                return;
            }
            if (!idv.isInteger()) {
                why = QStringLiteral("resposta sem id");
                end = End::Malformed;
                loop.quit();
                return;
            }
            answer = item;
            frameBody = body;
            end = End::Answer;
            loop.quit();
            return;
        }
    };
    auto lost = [&] {
        if (end != End::None)
            return;
        pump(); // the answer may have arrived together with the close
        if (end != End::None)
            return;
        why = s ? s->errorString() : QString();
        end = End::Lost;
        loop.quit();
    };
    QObject::connect(s, &QTcpSocket::readyRead, &loop, pump);
    QObject::connect(s, &QTcpSocket::disconnected, &loop, lost);
    QObject::connect(s, &QTcpSocket::errorOccurred, &loop, lost);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        if (end == End::None) {
            end = End::Timeout;
            loop.quit();
        }
    });
    pump();
    if (end == End::None) {
        timer.start(d->timeoutMs);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }

    const QString where = QStringLiteral("%1:%2").arg(d->host).arg(d->port);
    switch (end) {
    case End::Answer:
        break;
    case End::Timeout:
        return fail(QStringLiteral("O servidor de aplicação em %1 não respondeu a %2 em %3 s.")
                        .arg(where, method)
                        .arg(d->timeoutMs / 1000.0));
    case End::Malformed:
        dropSocket(); // the stream can no longer be trusted
        return fail(QStringLiteral("Resposta inválida do servidor de aplicação em %1 para %2: %3")
                        .arg(where, method, why));
    case End::Lost:
    case End::None:
        dropSocket();
        return fail(QStringLiteral("Conexão com o servidor de aplicação em %1 perdida durante "
                                   "%2: %3")
                        .arg(where, method, why));
    }

    const QCborMap& m = answer.envelope;
    if (m.contains(FisProtocol::Key::Error)) {
        const QCborValue e = m.value(FisProtocol::Key::Error);
        if (needLogin && m.value(FisProtocol::Session::NeedLogin).toBool() && e.isString()) {
            *needLogin = true;
            d->lastError = e.toString();
            return TServerAnswer::failure(e.toString());
        }
        return fail(e.isString()
                        ? e.toString()
                        : QStringLiteral("O servidor de aplicação recusou %1.").arg(method));
    }
    if (answer.resultBegin < 0)
        return fail(QStringLiteral("Resposta inválida do servidor de aplicação em %1 para %2: "
                                   "sem resultado")
                        .arg(where, method));
    const QCborValue refs = m.value(FisProtocol::Key::Refs);
    if (refs.isMap()) {
        const QCborMap rm = refs.toMap();
        for (int i : byRef) {
            const QCborValue v = rm.value(qint64(i));
            if (!v.isUndefined() && i >= 0 && i < args.size())
                args[i] = v;
        }
    }
    d->lastError.clear();
    return TServerAnswer::success(
        TAnswerPayload::encoded(frameBody, answer.resultBegin, answer.resultEnd));
}
