#pragma once
// Turns one request item into one answer item: checks the envelope, the object name, the method
// and every argument's kind, then runs the method on the connection's database. Never throws:
// every failure becomes {id, error} with a readable text.
#include <QCborMap>
#include <QCborValue>
#include <QSqlDatabase>
#include <functional>

class TDispatcher {
public:
    // database() gives the connection's database, opening it on first use (may throw EHostError).
    explicit TDispatcher(std::function<QSqlDatabase()> database)
        : m_database(std::move(database)) {}

    struct TLog {
        QString method;  // as requested (or "-")
        QString outcome; // "ok", "ok 300 linhas", "erro: ..."
    };

    QCborMap handle(const QCborValue& request, TLog& log);

    static QCborMap errorAnswer(const QCborValue& id, const QString& text);

private:
    std::function<QSqlDatabase()> m_database;
};
