#include "Session.h"

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QThread>
#include <algorithm>

namespace FisServer {

namespace {

constexpr int FirstPauseMs = 1000;
constexpr int LongestPauseMs = 16000;
// A run of failures is forgotten after this long without another.
constexpr qint64 ForgetAfterMs = 15 * 60 * 1000;

struct TFailures {
    int count = 0;
    qint64 lastMs = 0;
};

QMutex g_mutex;
QHash<QString, TFailures> g_failures;

QString userKey(const QString& user) {
    return QStringLiteral("u:") + user.toLower();
}
QString hostKey(const QString& host) {
    return QStringLiteral("h:") + host;
}

int countOf(const QString& key, qint64 now) {
    const auto it = g_failures.constFind(key);
    if (it == g_failures.constEnd() || now - it->lastMs > ForgetAfterMs)
        return 0;
    return it->count;
}

int pauseFor(int failures) {
    if (failures <= 0)
        return 0;
    return std::min(LongestPauseMs, FirstPauseMs << std::min(failures - 1, 4));
}

// Records one more failure and gives the pause it costs.
int recordFailure(const QString& user, const QString& host) {
    QMutexLocker lock(&g_mutex);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    int worst = 0;
    for (const QString& key : {userKey(user), hostKey(host)}) {
        TFailures f{countOf(key, now) + 1, now};
        g_failures.insert(key, f);
        worst = std::max(worst, f.count);
    }
    // A flood of made-up names must not grow the table without end.
    if (g_failures.size() > 10000)
        g_failures.clear();
    return pauseFor(worst);
}

void forgetFailures(const QString& user, const QString& host) {
    QMutexLocker lock(&g_mutex);
    g_failures.remove(userKey(user));
    g_failures.remove(hostKey(host));
}

} // namespace

QString loginRequiredText() {
    return QStringLiteral("Sessão não iniciada: informe usuário e senha.");
}

QString TSession::login(QSqlDatabase& db, const QString& user, const QString& password) {
    m_clerk.clear();
    const std::optional<TAccount> a =
        nameRefusal(user).isEmpty() ? loadAccount(db, user) : std::nullopt;
    bool ok = false;
    if (a && a->enabled) {
        if (a->hasPassword)
            ok = verifyPassword(passwordHash(db, user), password);
        else
            // An account without a password is the local one, and only on this machine.
            ok = a->local && m_localPeer && password.isEmpty();
    }
    if (!ok) {
        // Whether the name exists, is disabled or the password is wrong looks the same.
        QThread::msleep(ulong(recordFailure(user, m_peerHost)));
        return QStringLiteral("Usuário ou senha inválidos.");
    }
    forgetFailures(user, m_peerHost);
    m_clerk = a->name;
    return {};
}

QString TSession::admit(QSqlDatabase& db, TAccount& account) {
    if (m_clerk.isEmpty()) {
        if (!m_localPeer)
            return loginRequiredText();
        const std::optional<TAccount> local = loadAccount(db, localUserName());
        if (!local || !local->local || local->hasPassword || !local->enabled)
            return loginRequiredText();
        account = *local;
        return {};
    }
    const std::optional<TAccount> a = loadAccount(db, m_clerk);
    if (!a || !a->enabled) {
        const QString who = m_clerk;
        m_clerk.clear();
        return QStringLiteral("Usuário \"%1\" desativado; sessão encerrada.").arg(who);
    }
    account = *a;
    return {};
}

} // namespace FisServer
