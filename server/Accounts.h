#pragma once
// Clerk accounts: who may call the server, with which password and on which companies, and the
// trail of who saved and issued each guide. Passwords are kept only as libsodium's Argon2id
// strings (salt and cost inside); the tables are created on first use, so a database made by an
// earlier version gains them when a server opens it.
#include <QDateTime>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <optional>

namespace FisServer {

struct TAccount {
    QString name;
    bool hasPassword = false;
    bool enabled = true;
    // The one account made for the person who runs the server on this machine.
    bool local = false;
    // Companies the clerk may work on; empty means all.
    QStringList companies;
};

// Creates the account tables and the audit columns where missing.
void ensureAccountSchema(QSqlDatabase& db);

// Argon2id string for password; throws EHostError when the library cannot (out of memory).
QString hashPassword(const QString& password);
bool verifyPassword(const QString& hash, const QString& password);

// Letters, digits, '.', '-', '_' and '@', 1 to 31 characters; empty when fine, else why not.
QString nameRefusal(const QString& name);

std::optional<TAccount> loadAccount(QSqlDatabase& db, const QString& name);
// The stored hash of an enabled account with a password; empty otherwise.
QString passwordHash(QSqlDatabase& db, const QString& name);
int accountCount(QSqlDatabase& db);

// Administration; each throws EHostError with the text for the administrator.
void addAccount(QSqlDatabase& db, const QString& name, const QString& password,
                const QStringList& companies, bool local = false);
void setPassword(QSqlDatabase& db, const QString& name, const QString& password);
void setEnabled(QSqlDatabase& db, const QString& name, bool enabled);
// Empty companies: all of them.
void setCompanies(QSqlDatabase& db, const QString& name, const QStringList& companies);

// The login name of whoever runs this process.
QString localUserName();

// The clerk whose call this thread is serving, for the audit trail; empty outside a call.
QString currentClerk();
class TClerkScope {
public:
    explicit TClerkScope(const QString& clerk);
    ~TClerkScope();
    TClerkScope(const TClerkScope&) = delete;
    TClerkScope& operator=(const TClerkScope&) = delete;

private:
    QString m_previous;
};

// One line of a note's guide history: saved ("G") or issued ("E").
struct TAuditEntry {
    QDateTime when;
    QString clerk, tax, event, detail;
};
void recordGuideEvent(QSqlDatabase& db, const QString& filial, const QString& lancto,
                      const QString& tax, const QString& event, const QString& detail);
// Every entry of the note "FILIAL/LANCTO", oldest first.
QList<TAuditEntry> noteHistory(QSqlDatabase& db, const QString& filial, const QString& lancto);

} // namespace FisServer
