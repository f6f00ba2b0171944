#pragma once
// Shared by the database tests: one private Firebird root and database per test process.
#include "FisDatabase.h"
#include "core/HostExceptions.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>

namespace DbTest {

// Runs a query that must succeed and returns its first column of the first row.
inline QVariant scalar(QSqlDatabase db, const QString& sql) {
    QSqlQuery q(db);
    if (!q.exec(sql) || !q.next()) {
        qWarning().noquote() << "query failed:" << sql << q.lastError().text();
        return {};
    }
    return q.value(0);
}

inline QStringList column(QSqlDatabase db, const QString& sql) {
    QStringList out;
    QSqlQuery q(db);
    if (!q.exec(sql))
        qWarning().noquote() << "query failed:" << sql << q.lastError().text();
    while (q.next())
        out << q.value(0).toString();
    return out;
}

} // namespace DbTest
