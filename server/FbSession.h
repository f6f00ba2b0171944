#pragma once
// One database connection's statements and transactions on the Firebird client calls, under the
// Qt connection that owns the attachment. Every statement is prepared once per connection and
// kept; reads outside a write transaction run in one read-only read-committed transaction kept
// open for the connection, so a small call costs its execute and fetch round trips and nothing
// else. Writes run in their own short transactions (TTransaction).
#include <QByteArray>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>
#include <ibase.h>
#include <memory>
#include <unordered_map>
#include <vector>

namespace FisServer {

// A failed Firebird call: the engine's text, its SQLCODE and whether the attachment is gone.
struct TFbStatus {
    ISC_STATUS_ARRAY vector{};
    bool failed() const { return vector[0] == 1 && vector[1] != 0; }
    QString text() const;
    int sqlCode() const;
    // The attachment is lost (network, shutdown, killed): only a new connection helps.
    bool connectionLost() const;
};

class TFbSession;

// A prepared statement: its handle and the buffers its parameters and columns live in.
class TFbStatement {
public:
    enum class Kind { Select, SelectForUpdate, Other };

    TFbStatement(TFbSession& session, const QString& sql);
    ~TFbStatement();
    TFbStatement(const TFbStatement&) = delete;
    TFbStatement& operator=(const TFbStatement&) = delete;

    const QString& sql() const { return m_sql; }
    Kind kind() const { return m_kind; }
    bool ok() const { return m_handle != 0; }
    // Why preparing failed (empty when ok()).
    const TFbStatus& status() const { return m_status; }

    int paramCount() const { return m_in ? m_in->sqld : 0; }
    int columnCount() const { return m_out ? m_out->sqld : 0; }
    // Binds parameter i from a value of the types the methods use (texts, numbers, dates).
    void bind(int i, const QVariant& v);

    // Runs the statement in tr; a select opens its cursor. False on failure (status()).
    bool execute(isc_tr_handle tr);
    // The next row into the column buffers: 1 a row, 0 the end, -1 a failure (status()).
    int fetch();
    // Closes an open cursor so that the statement can run again.
    void close();
    // Drops the handle without calling the engine (its attachment is gone).
    void forget() {
        m_handle = 0;
        open = false;
    }
    // Rows the last insert, update or delete touched.
    int rowsAffected();

    // Column access on the fetched row.
    bool isNull(int i) const;
    QVariant value(int i) const;
    const XSQLVAR& column(int i) const { return m_out->sqlvar[i]; }

    bool busy = false; // a TQuery holds it
    bool open = false; // its cursor is open

private:
    void allocate(XSQLDA* da);
    TFbSession& m_session;
    QString m_sql;
    isc_stmt_handle m_handle = 0;
    XSQLDA* m_in = nullptr;
    XSQLDA* m_out = nullptr;
    std::vector<std::unique_ptr<char[]>> m_buffers;
    std::unique_ptr<short[]> m_indicators;
    Kind m_kind = Kind::Other;
    TFbStatus m_status;
};

// The statements and transactions of one attachment.
class TFbSession {
public:
    explicit TFbSession(isc_db_handle db) : m_db(db) {}
    ~TFbSession();

    isc_db_handle& db() { return m_db; }
    // The kept read-only read-committed transaction, started on first use.
    isc_tr_handle readTransaction(TFbStatus& status);
    // The write transaction a TTransaction opened, or 0.
    isc_tr_handle writeTransaction() const { return m_write; }
    void setWriteTransaction(isc_tr_handle tr) { m_write = tr; }
    // The prepared statement for sql, prepared now if new (or busy: then an unshared one).
    TFbStatement* statement(const QString& sql, std::unique_ptr<TFbStatement>& unshared);
    // Ends the kept transaction; the statements stay prepared.
    void endRead();
    // Ends the kept transaction and frees the statements (the attachment stays).
    void release();
    // Forgets every handle without calling the engine: the attachment is gone.
    void abandon();

private:
    isc_db_handle m_db;
    isc_tr_handle m_read = 0;
    isc_tr_handle m_write = 0;
    std::unordered_map<QString, std::unique_ptr<TFbStatement>> m_statements;
};

// The session of a connection, made on first use; null when the connection is not open.
TFbSession* sessionOf(const QSqlDatabase& db);
// Ends the connection's session (kept transaction, statements) before the connection is closed:
// the engine refuses to detach an attachment with a transaction open.
void endSession(const QSqlDatabase& db);
// Ends the connection's kept read transaction, for an owner that closes the connection itself
// (the engine refuses to detach with a transaction open); the statements stay prepared.
void endReadTransaction(const QSqlDatabase& db);
// Closes a connection whose attachment was lost, forgetting its session, so that the next call
// opens a new one.
void dropLostConnection(QSqlDatabase& db);

// Days and time as Firebird stores them.
QDate fromIscDate(ISC_DATE d);
ISC_DATE toIscDate(const QDate& d);

} // namespace FisServer
