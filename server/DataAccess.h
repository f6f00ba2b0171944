#pragma once
// The server's data access: one query type, one transaction type, one way to tell a conflict
// with another transaction from any other failure, and one retry policy. Every failure throws
// EDbError (EConflict when another transaction got in the way): a text the clerk can read, and
// the driver's and the database's texts with the statement, which only the server's log shows.
#include "core/DataPacket.h"
#include "core/HostExceptions.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace FisServer {

// A database failure. text() names the step that failed and nothing of the database; detail()
// carries the driver's and the database's texts and the statement, for the server's log.
class EDbError : public EHostError {
public:
    EDbError(const QString& text, const QString& detail) : EHostError(text), m_detail(detail) {}
    const QString& detail() const { return m_detail; }

private:
    QString m_detail;
};

// Another transaction holds or changed the row, or took the unique key first. The text is the
// same as for any other database failure, for when no retry catches it.
// The database connection was lost (server shut down, network, attachment killed): the
// connection is closed, and the next call opens a new one.
class EConnectionLost : public EDbError {
public:
    using EDbError::EDbError;
};

class EConflict : public EDbError {
public:
    EConflict(const QString& text, const QString& detail, bool duplicateKey)
        : EDbError(text, detail), m_duplicateKey(duplicateKey) {}
    EConflict(const QString& text, bool duplicateKey) : EConflict(text, {}, duplicateKey) {}
    // A primary or unique key already taken (rather than a lock or update conflict).
    bool duplicateKey() const { return m_duplicateKey; }

private:
    bool m_duplicateKey;
};

enum class TDbFailure { Other, Conflict, DuplicateKey };
// Reads Firebird's SQLCODE, which the driver gives as the native error code: -913 for a
// deadlock or an update conflict with a concurrent transaction, -803 for a primary or unique
// key already taken.
TDbFailure classify(const QSqlError& error);

// "Erro no banco de dados ao <what>: ..." without anything of the database: what a client reads.
QString sqlFailure(const QString& what);
// "<driver text> <database text> [<statement>]": what the log keeps.
QString sqlDetail(const QSqlQuery& q);

class TFbSession;
class TFbStatement;
struct TFbStatus;

// Throws what a failed Firebird call means: EConnectionLost, EConflict or EDbError.
[[noreturn]] void throwFbFailure(const QString& what, const TFbStatus& status, const QString& sql);

// A statement of the connection: prepared once per connection and kept (see Session.h). Inside
// a TTransaction it runs in that transaction; a plain SELECT outside one runs in the
// connection's kept read-only transaction; anything else outside one runs through the driver
// in a transaction of its own, as a single statement always did.
class TQuery {
public:
    TQuery(const QSqlDatabase& db, const QString& sql);
    ~TQuery();
    TQuery(const TQuery&) = delete;
    TQuery& operator=(const TQuery&) = delete;
    TQuery& bind(const QVariant& v);
    // what names the step in the failure text ("ler a guia").
    void exec(const QString& what);
    // The next row; false at the end. A failure while fetching (a row lock met) throws.
    bool next(const QString& what);
    // exec and the first row of a statement that locks rows (SELECT ... WITH LOCK): waiting on
    // another transaction's lock beyond the call's deadline cancels it (ELockTimeout).
    bool execLocking(const QString& what);
    QVariant value(int i) const;
    QString text(int i) const { return value(i).toString(); }
    int numRowsAffected();
    // Closes the cursor, so that the next statement of the transaction starts clean.
    void finish();
    // The prepared statement with the fetched row's buffers; null on the driver's path.
    const TFbStatement* statement() const { return m_st; }

private:
    [[noreturn]] void fail(const QString& what);
    [[noreturn]] void failFb(const QString& what, const TFbStatus& status);
    bool run(const QString& what);
    QSqlDatabase m_db;
    QString m_sql;
    QVariantList m_binds;
    TFbStatement* m_st = nullptr;
    std::unique_ptr<TFbStatement> m_unshared;
    std::optional<QSqlQuery> m_q;
};

// An explicit transaction: commit is explicit, anything else rolls back when it goes.
class TTransaction {
public:
    explicit TTransaction(QSqlDatabase& db);
    ~TTransaction();
    TTransaction(const TTransaction&) = delete;
    TTransaction& operator=(const TTransaction&) = delete;
    // A conflict throws EConflict; another failure EDbError (failure names the step).
    void commit(const QString& failure);

private:
    TFbSession* m_session = nullptr;
    quintptr m_tr = 0;
    quintptr m_outer = 0;
    bool m_committed = false;
};

// A statement that waited on another transaction's row lock until the call's bound ran out. Its
// cancellation may still reach the connection's next statement, so the connection is closed.
class ELockTimeout : public EDbError {
public:
    using EDbError::EDbError;
};

// Ends the connection's kept transaction and statements, then closes it.
void closeConnection(QSqlDatabase& db);

// How long one call may wait, over all its attempts, for the rows other transactions hold:
// set once at start; 10 s by default.
void setLockWaitMs(int ms);
int lockWaitMs();

namespace Detail {
// The running call's deadline for row locks (none outside retryOnConflict), and a pause of a few
// milliseconds that lets the colleague's next statement go first.
using TClock = std::chrono::steady_clock;
std::optional<TClock::time_point>& callDeadline();
void pauseAfterConflict();
} // namespace Detail

// Runs attempt in a fresh transaction; after a conflict with another transaction runs it again
// on a fresh snapshot, which sees what the other transaction left, until lockWaitMs() have
// passed since the first attempt: a colleague who keeps saving a guide delays an issue but does
// not refuse it. A statement that waits on a row lock past that bound is cancelled, and the
// connection closed. Gives the attempt's value and the number of attempts it took, or no value
// once the bound ran out (lockTimedOut: in a row lock rather than between conflicts).
template <class T> struct TRetried {
    std::optional<T> value;
    int attempts = 0;
    bool lockTimedOut = false;
};
template <class T>
TRetried<T> retryOnConflict(QSqlDatabase& db, const std::function<T(TTransaction&)>& attempt) {
    TRetried<T> out;
    const auto deadline = Detail::TClock::now() + std::chrono::milliseconds(lockWaitMs());
    std::optional<Detail::TClock::time_point>& current = Detail::callDeadline();
    const auto outer = current;
    current = deadline;
    struct TRestore {
        std::optional<Detail::TClock::time_point>& current;
        std::optional<Detail::TClock::time_point> outer;
        ~TRestore() { current = outer; }
    } restore{current, outer};
    for (;;) {
        ++out.attempts;
        try {
            TTransaction tr(db);
            out.value = attempt(tr);
            return out;
        } catch (const ELockTimeout&) {
            out.lockTimedOut = true;
            closeConnection(db);
            return out;
        } catch (const EConflict&) {
            // The transaction rolled back as it went; try again while the bound lasts.
        }
        if (Detail::TClock::now() >= deadline)
            return out;
        Detail::pauseAfterConflict();
    }
}

// Builds a packet from the query's rows, whose columns follow fields in order: texts lose the
// padding of CHAR columns, money is exact to the centavo, dates become date-times.
TDataPacket packetFrom(TQuery& q, const QList<TPacketField>& fields);

// A packet written as CBOR as its rows come from the database, with the same bytes
// TDataPacket::toCbor gives for the same rows. bytes starts with headroom free bytes, so that
// the answer's envelope can be written in front of the packet without moving it.
struct TStreamedPacket {
    QByteArray bytes;
    qsizetype headroom = 0;
    qint64 rows = 0;
    // The packet's size when it exceeded the limit (bytes then holds nothing).
    qint64 oversized = 0;
};
// Replaces one text column's values on their way into the packet (GetNotaFiscal's operation
// word).
struct TColumnText {
    int column = -1;
    std::function<QString(const QString&)> map;
};
// A packet's CBOR written into the answer's bytes row by row. A packet that grows past limit
// bytes stops being kept; its rows are still counted to tell its size.
class TPacketWriter {
public:
    TPacketWriter(const QList<TPacketField>& fields, qint64 limit);
    TPacketWriter(const TPacketWriter&) = delete;
    TPacketWriter& operator=(const TPacketWriter&) = delete;
    // Where the next row is written, and how many bytes it took there once written.
    QByteArray& target() { return *m_target; }
    void rowWritten(qsizetype bytes);
    // A row encoded elsewhere (appendRow).
    void addEncoded(const char* row, qsizetype len);
    TStreamedPacket finish();

private:
    qint64 m_limit;
    QByteArray m_head;
    qsizetype m_start = 0;
    qint64 m_size = 0;
    TStreamedPacket m_out;
    QByteArray m_scratch; // rows past the limit are only counted
    QByteArray* m_target = &m_out.bytes;
};
// Appends the statement's fetched row as one row of the packet.
void appendRow(QByteArray& out, const TFbStatement& st, const QList<TPacketField>& fields,
               const TColumnText& replace = {});
// Streams the query's rows as packetFrom would build them. A packet that grows past limit
// bytes stops being kept; its rows are still read to tell its size.
TStreamedPacket streamPacket(TQuery& q, const QList<TPacketField>& fields, qint64 limit,
                             const TColumnText& replace = {});
// The largest answer the running call may give (the connection's frame limit).
qint64 answerLimit();
void setAnswerLimit(qint64 bytes);
// Room left in front of a streamed packet for the envelope.
inline constexpr qsizetype PacketHeadroom = 64;

// NULL of a text column, and a text that is NULL when empty.
QVariant nullText();
QVariant textOrNull(const QString& s);

} // namespace FisServer
