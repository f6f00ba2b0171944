#include "SchemaUpgrade.h"

#include "FisDatabase.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

namespace FisDb {

namespace {

struct TOldKey {
    const char* table;
    const char* name;
};

// Keys of earlier schemas whose rules the triggers now keep, or that another index now serves.
const TOldKey kOldKeys[] = {{"CONTAPAGAR", "FK_CONTAPAGAR_EMPRESA"},
                            {"CONTAPAGAR", "FK_CONTAPAGAR_IMPOSTONF"},
                            {"CONTAPAGAR", "FK_CONTAPAGAR_FORNECEDOR"},
                            {"IMPOSTONF", "FK_IMPOSTONF_CONTAPAGAR"},
                            {"GUIAHISTORICO", "PK_GUIAHISTORICO"}};

bool isReferenceObject(const QString& statement) {
    static const char* const heads[] = {
        "CREATE EXCEPTION E_CONTAPAGAR_REFERENCIA",  "CREATE TRIGGER TBIU_CONTAPAGAR_REFERENCIA",
        "CREATE TRIGGER TBUD_IMPOSTONF_CONTAPAGAR",  "CREATE TRIGGER TBUD_EMPRESA_CONTAPAGAR",
        "CREATE TRIGGER TBUD_FORNECEDOR_CONTAPAGAR", "CREATE TRIGGER TBIU_IMPOSTONF_CONTAPAGAR",
        "CREATE TRIGGER TBUD_CONTAPAGAR_GUIA"};
    const QString head = statement.simplified();
    for (const char* h : heads)
        if (head.startsWith(QLatin1String(h) + QLatin1Char(' ')))
            return true;
    return false;
}

bool exists(QSqlQuery& q, const QString& sql) {
    const bool found = q.exec(sql) && q.next();
    q.finish();
    return found;
}

} // namespace

QString upgradeSchema(QSqlDatabase& db) {
    QSqlQuery q(db);
    QStringList statements;
    bool history = false;
    for (const TOldKey& key : kOldKeys) {
        if (!exists(q, QStringLiteral("SELECT 1 FROM RDB$RELATION_CONSTRAINTS"
                                      " WHERE RDB$RELATION_NAME = '%1'"
                                      " AND RDB$CONSTRAINT_NAME = '%2'")
                           .arg(QLatin1String(key.table), QLatin1String(key.name))))
            continue;
        statements << QStringLiteral("ALTER TABLE %1 DROP CONSTRAINT %2")
                          .arg(QLatin1String(key.table), QLatin1String(key.name));
        history = history || qstrcmp(key.table, "GUIAHISTORICO") == 0;
    }
    if (statements.isEmpty())
        return {};
    if (history) {
        if (exists(q, QStringLiteral("SELECT 1 FROM RDB$INDICES"
                                     " WHERE RDB$INDEX_NAME = 'IX_GUIAHISTORICO_NOTA'")))
            statements << QStringLiteral("DROP INDEX IX_GUIAHISTORICO_NOTA");
        statements << QStringLiteral("ALTER TABLE GUIAHISTORICO ADD CONSTRAINT"
                                     " PK_GUIAHISTORICO_NOTA PRIMARY KEY"
                                     " (CDFILIAL, NRLANCTONF, NRHISTORICO)");
    }
    // The triggers go in before the keys go out, in the same transaction: at no moment does
    // neither hold.
    const bool hasException = exists(q, QStringLiteral("SELECT 1 FROM RDB$EXCEPTIONS WHERE"
                                                       " RDB$EXCEPTION_NAME ="
                                                       " 'E_CONTAPAGAR_REFERENCIA'"));
    QStringList objects;
    for (QString st : schemaStatements()) {
        if (!isReferenceObject(st))
            continue;
        if (st.startsWith(QStringLiteral("CREATE EXCEPTION"))) {
            if (hasException)
                continue;
        } else {
            st.replace(0, 6, QStringLiteral("CREATE OR ALTER"));
        }
        objects << st;
    }
    statements = objects + statements;

    if (!db.transaction())
        return db.lastError().text();
    for (const QString& st : statements) {
        if (!q.exec(st)) {
            const QString why = q.lastError().text();
            q.finish();
            db.rollback();
            return why;
        }
    }
    q.finish();
    if (!db.commit()) {
        const QString why = db.lastError().text();
        db.rollback();
        return why;
    }
    return {};
}

} // namespace FisDb
