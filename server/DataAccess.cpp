#include "DataAccess.h"

#include <QRandomGenerator>
#include <QSqlDriver>
#include <QThread>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <ibase.h>
#include <map>
#include <mutex>
#include <thread>

namespace FisServer {

namespace {

std::atomic<int> g_lockWaitMs{10000};

// Cancels a statement that waits on a row lock past its deadline. One thread for the process:
// a statement is armed with its connection's attachment and deadline, and disarmed when it
// returns; an armed statement whose deadline passes is cancelled through the engine's own
// cancellation, the one thing that ends a lock wait from outside.
class TLockWatch {
public:
    class TArmed {
    public:
        TArmed(const QSqlDatabase& db, Detail::TClock::time_point deadline) {
            const QVariant h = db.driver() ? db.driver()->handle() : QVariant();
            if (h.isValid() && h.constData())
                m_token =
                    instance().arm(*static_cast<const isc_db_handle*>(h.constData()), deadline);
        }
        ~TArmed() { disarm(); }
        // True when the statement was cancelled (or may have been) meanwhile.
        bool disarm() {
            const bool fired = m_token >= 0 && instance().disarm(m_token);
            m_token = -1;
            return fired;
        }

    private:
        qint64 m_token = -1;
    };

private:
    struct TEntry {
        isc_db_handle handle;
        Detail::TClock::time_point deadline;
        bool fired = false;
    };

    static TLockWatch& instance() {
        static TLockWatch* watch = new TLockWatch; // lives as long as the process
        return *watch;
    }

    TLockWatch() : m_thread([this] { run(); }) { m_thread.detach(); }

    qint64 arm(isc_db_handle handle, Detail::TClock::time_point deadline) {
        std::lock_guard lock(m_mutex);
        const qint64 token = m_next++;
        m_entries.emplace(token, TEntry{handle, deadline});
        m_wake.notify_one();
        return token;
    }

    bool disarm(qint64 token) {
        std::lock_guard lock(m_mutex);
        const auto it = m_entries.find(token);
        if (it == m_entries.end())
            return false;
        const bool fired = it->second.fired;
        m_entries.erase(it);
        return fired;
    }

    void run() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            std::optional<Detail::TClock::time_point> next;
            const auto now = Detail::TClock::now();
            for (auto& [token, e] : m_entries) {
                if (e.fired)
                    continue;
                if (e.deadline <= now) {
                    // Under the mutex: the statement's thread cannot disarm and go on to its
                    // next statement meanwhile.
                    ISC_STATUS_ARRAY status{};
                    isc_db_handle h = e.handle;
                    fb_cancel_operation(status, &h, fb_cancel_raise);
                    e.fired = true;
                } else if (!next || e.deadline < *next) {
                    next = e.deadline;
                }
            }
            if (next)
                m_wake.wait_until(lock, *next);
            else
                m_wake.wait(lock);
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<qint64, TEntry> m_entries;
    qint64 m_next = 0;
    std::thread m_thread;
};

// Firebird's SQLCODEs for the two ways another transaction gets in the way.
constexpr int SqlCodeConflict = -913;     // deadlock; update conflicts with concurrent update
constexpr int SqlCodeDuplicateKey = -803; // violation of PRIMARY or UNIQUE KEY constraint
} // namespace

void setLockWaitMs(int ms) {
    g_lockWaitMs = ms > 0 ? ms : 10000;
}

int lockWaitMs() {
    return g_lockWaitMs;
}

namespace Detail {
std::optional<TClock::time_point>& callDeadline() {
    thread_local std::optional<TClock::time_point> deadline;
    return deadline;
}

void pauseAfterConflict() {
    QThread::msleep(5 + QRandomGenerator::global()->bounded(30));
}
} // namespace Detail

TDbFailure classify(const QSqlError& error) {
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    if (!ok)
        return TDbFailure::Other;
    if (code == SqlCodeConflict)
        return TDbFailure::Conflict;
    if (code == SqlCodeDuplicateKey)
        return TDbFailure::DuplicateKey;
    return TDbFailure::Other;
}

QString sqlFailure(const QString& what) {
    return QStringLiteral("Erro no banco de dados ao %1: a operação não foi concluída "
                          "(os detalhes estão no registro do servidor).")
        .arg(what);
}

QString sqlDetail(const QSqlQuery& q) {
    const QSqlError e = q.lastError();
    return QStringLiteral("%1 %2 [%3]")
        .arg(e.driverText(), e.databaseText(), q.lastQuery().simplified());
}

TQuery::TQuery(const QSqlDatabase& db, const QString& sql) : m_db(db), m_q(db) {
    m_q.setForwardOnly(true);
    if (!m_q.prepare(sql))
        fail(QStringLiteral("preparar a consulta"));
}

TQuery& TQuery::bind(const QVariant& v) {
    m_q.addBindValue(v);
    return *this;
}

void TQuery::exec(const QString& what) {
    if (!m_q.exec() || !m_q.isActive())
        fail(what);
}

bool TQuery::next(const QString& what) {
    if (m_q.next())
        return true;
    if (m_q.lastError().isValid())
        fail(what);
    return false;
}

bool TQuery::execLocking(const QString& what) {
    const auto deadline = Detail::callDeadline().value_or(Detail::TClock::now() +
                                                          std::chrono::milliseconds(lockWaitMs()));
    TLockWatch::TArmed armed(m_db, deadline);
    const bool ran = m_q.exec() && m_q.isActive();
    const bool row = ran && m_q.next();
    if (armed.disarm())
        throw ELockTimeout(QStringLiteral("Erro no banco de dados ao %1: outro usuário mantém o "
                                          "registro bloqueado além da espera permitida.")
                               .arg(what),
                           sqlDetail(m_q));
    if (!ran || (!row && m_q.lastError().isValid()))
        fail(what);
    return row;
}

void TQuery::fail(const QString& what) {
    const QString text = sqlFailure(what);
    const QString detail = sqlDetail(m_q);
    switch (classify(m_q.lastError())) {
    case TDbFailure::Conflict:
        throw EConflict(text, detail, false);
    case TDbFailure::DuplicateKey:
        throw EConflict(text, detail, true);
    case TDbFailure::Other:
        break;
    }
    throw EDbError(text, detail);
}

TTransaction::TTransaction(QSqlDatabase& db) : m_db(db) {
    if (!m_db.transaction())
        throw EDbError(sqlFailure(QStringLiteral("iniciar a transação")), m_db.lastError().text());
}

TTransaction::~TTransaction() {
    if (!m_committed)
        m_db.rollback();
}

void TTransaction::commit(const QString& failure) {
    if (m_db.commit()) {
        m_committed = true;
        return;
    }
    const QSqlError e = m_db.lastError();
    const QString text = failure + QStringLiteral(".");
    if (classify(e) != TDbFailure::Other)
        throw EConflict(text, e.text(), classify(e) == TDbFailure::DuplicateKey);
    throw EDbError(text, e.text());
}

TDataPacket packetFrom(TQuery& q, const QList<TPacketField>& fields) {
    TDataPacket p;
    p.fields = fields;
    const int n = int(fields.size());
    // A failure while fetching throws rather than ending the packet early.
    while (q.next(QStringLiteral("ler as linhas"))) {
        QVariantList row;
        row.reserve(n);
        for (int i = 0; i < n; ++i) {
            const QVariant v = q.value(i);
            if (v.isNull()) {
                row.append(QVariant());
                continue;
            }
            switch (fields[i].type) {
            case TFieldType::String:
            case TFieldType::FixedChar: {
                // CHAR values in a UTF8 connection arrive padded to four bytes per character.
                QString t = v.toString();
                const int size = fields[i].size;
                while (size > 0 && t.size() > size && t.endsWith(QLatin1Char(' ')))
                    t.chop(1);
                row.append(t);
                break;
            }
            case TFieldType::Float:
                // Every float here is money kept with two decimals; the driver's scaling
                // leaves binary residue (1469.6200000000001) that must not travel. The residue
                // is far below a centavo, so the nearest whole centavo is exact.
                row.append(double(std::llround(v.toDouble() * 100)) / 100);
                break;
            case TFieldType::Integer:
                row.append(v.toLongLong());
                break;
            case TFieldType::DateTime:
                row.append(v.metaType().id() == QMetaType::QDate
                               ? QDateTime(v.toDate(), QTime(0, 0))
                               : v.toDateTime());
                break;
            }
        }
        p.rows.append(row);
    }
    return p;
}

QVariant nullText() {
    return QVariant(QMetaType(QMetaType::QString));
}

QVariant textOrNull(const QString& s) {
    return s.isEmpty() ? nullText() : QVariant(s);
}

} // namespace FisServer
