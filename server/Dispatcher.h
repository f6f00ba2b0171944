#pragma once
// Turns one request item into one answer item: checks the envelope, the object name, the method
// and every argument's kind against the method table, then runs the method on the connection's
// database. Never throws: every failure becomes {id, error} with a readable text.
#include <QCborArray>
#include <QCborMap>
#include <QCborValue>
#include <QSqlDatabase>
#include <functional>

namespace FisProtocol {
struct MethodSpec;
}
namespace FisServer {
class TSession;
struct TAccount;
struct TMethodResult;
} // namespace FisServer

class TDispatcher {
public:
    // database() gives the connection's database, opening it on first use (may throw EHostError).
    // With a session, every call but Login needs the session's clerk; without one (calls made
    // in-process by tools and tests) methods run unchecked.
    explicit TDispatcher(std::function<QSqlDatabase()> database,
                         FisServer::TSession* session = nullptr)
        : m_database(std::move(database)), m_session(session) {}

    struct TLog {
        QString method;  // as requested (or "-")
        QString outcome; // the method's summary ("ok", "ok 300 linhas", ...) or "erro: ..."
        QString clerk;   // whose session the call ran in; empty when none
    };

    QCborMap handle(const QCborValue& request, TLog& log);
    // Whether the connection's read-only transaction stays open between calls (the server's
    // own connections, which it closes itself); otherwise every call ends it, so that whoever
    // owns the connection can close it.
    void setKeepReadTransaction(bool on) { m_keepRead = on; }
    // The answer as a whole frame (length and item), no larger than maxAnswer bytes of item: a
    // streamed packet goes into the frame where it lies, without another copy.
    QByteArray handleFrame(const QCborValue& request, TLog& log, qint64 maxAnswer);
    static QByteArray tooLarge(const QCborValue& id, qint64 size, qint64 maxAnswer);

    static QCborMap errorAnswer(const QCborValue& id, const QString& text);

private:
    // streamed, when given, takes a result that came encoded; otherwise it is decoded into the
    // map.
    QCborMap handle(const QCborValue& request, TLog& log, FisServer::TMethodResult* streamed);

    struct TRequest {
        QCborValue id;
        const FisProtocol::MethodSpec* method = nullptr;
        QCborArray args;
    };
    // Empty when the request names a known method of the object with arguments of the right
    // kinds; else the refusal text.
    static QString readRequest(const QCborValue& request, TRequest& out, TLog& log);
    QCborMap login(const QCborMap& request, TLog& log);
    // Empty when the clerk may work on the company the call names; else the refusal text.
    static QString companyRefusal(QSqlDatabase& db, const TRequest& req,
                                  const FisServer::TAccount& clerk);

    std::function<QSqlDatabase()> m_database;
    FisServer::TSession* m_session;
    bool m_keepRead = false;
};
