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
#include <functional>
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

class TQuery {
public:
    TQuery(const QSqlDatabase& db, const QString& sql);
    TQuery& bind(const QVariant& v);
    // what names the step in the failure text ("ler a guia").
    void exec(const QString& what);
    // The next row; false at the end. A failure while fetching (a row lock met) throws.
    bool next(const QString& what);
    QVariant value(int i) const { return m_q.value(i); }
    QString text(int i) const { return m_q.value(i).toString(); }
    int numRowsAffected() const { return m_q.numRowsAffected(); }
    // Closes the cursor, so that the next statement of the transaction starts clean.
    void finish() { m_q.finish(); }
    QSqlQuery& q() { return m_q; }

private:
    [[noreturn]] void fail(const QString& what);
    QSqlQuery m_q;
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
    QSqlDatabase& m_db;
    bool m_committed = false;
};

// Runs attempt in a fresh transaction; after a conflict with another transaction runs it again
// on a fresh snapshot, which sees what the other transaction left. Gives the attempt's value and
// the number of attempts it took, or no value after MaxAttempts conflicts in a row.
template <class T> struct TRetried {
    std::optional<T> value;
    int attempts = 0;
};
inline constexpr int MaxAttempts = 3;
template <class T>
TRetried<T> retryOnConflict(QSqlDatabase& db, const std::function<T(TTransaction&)>& attempt) {
    TRetried<T> out;
    while (out.attempts < MaxAttempts) {
        ++out.attempts;
        try {
            TTransaction tr(db);
            out.value = attempt(tr);
            return out;
        } catch (const EConflict&) {
            // The transaction rolled back as it went; try again.
        }
    }
    return out;
}

// Builds a packet from the query's rows, whose columns follow fields in order: texts lose the
// padding of CHAR columns, money is exact to the centavo, dates become date-times.
TDataPacket packetFrom(TQuery& q, const QList<TPacketField>& fields);

// NULL of a text column, and a text that is NULL when empty.
QVariant nullText();
QVariant textOrNull(const QString& s);

} // namespace FisServer
