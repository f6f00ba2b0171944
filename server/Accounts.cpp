#include "Accounts.h"

#include "DataAccess.h"
#include "FisDatabase.h"
#include "core/HostExceptions.h"

#include <QRegularExpression>
#include <QSemaphore>
#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>
#include <pwd.h>
#include <sodium.h>
#include <unistd.h>

namespace FisServer {

namespace {

// Each hash takes 64 MiB for a moment: a crowd of logins at once must not take the machine's
// memory, so they take turns.
QSemaphore& hashTurns() {
    static QSemaphore s(2);
    return s;
}

void initSodium() {
    static const int ok = sodium_init();
    if (ok < 0)
        throw EHostError(QStringLiteral("Biblioteca de criptografia indisponível."));
}

QSqlQuery run(QSqlDatabase& db, const QString& sql, const QVariantList& binds = {}) {
    QSqlQuery q(db);
    if (!q.prepare(sql))
        throw EHostError(QStringLiteral("Erro no banco de dados: %1").arg(q.lastError().text()));
    for (const QVariant& v : binds)
        q.addBindValue(v);
    if (!q.exec())
        throw EHostError(QStringLiteral("Erro no banco de dados: %1").arg(q.lastError().text()));
    return q;
}

bool exists(QSqlDatabase& db, const QString& sql, const QVariantList& binds) {
    QSqlQuery q = run(db, sql, binds);
    return q.next();
}

bool hasTable(QSqlDatabase& db, const QString& table) {
    return exists(db, QStringLiteral("SELECT 1 FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = ?"),
                  {table});
}

bool hasColumn(QSqlDatabase& db, const QString& table, const QString& column) {
    return exists(db,
                  QStringLiteral("SELECT 1 FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = ?"
                                 " AND RDB$FIELD_NAME = ?"),
                  {table, column});
}

void requireAccount(QSqlDatabase& db, const QString& name) {
    if (!loadAccount(db, name))
        throw EHostError(QStringLiteral("Usuário \"%1\" não cadastrado.").arg(name));
}

thread_local QString t_clerk;

} // namespace

void ensureAccountSchema(QSqlDatabase& db) {
    // A database made before accounts existed gains the schema's account and history tables
    // and the audit columns.
    const QStringList schema = FisDb::schemaStatements();
    auto fromSchema = [&](const QString& head) {
        for (const QString& st : schema)
            if (st.trimmed().startsWith(head))
                run(db, st);
    };
    if (!hasTable(db, QStringLiteral("USUARIO"))) {
        fromSchema(QStringLiteral("CREATE TABLE USUARIO ("));
        fromSchema(QStringLiteral("CREATE TABLE USUARIOEMPRESA ("));
    }
    if (!hasTable(db, QStringLiteral("GUIAHISTORICO"))) {
        fromSchema(QStringLiteral("CREATE TABLE GUIAHISTORICO ("));
        fromSchema(QStringLiteral("CREATE INDEX IX_GUIAHISTORICO_NOTA"));
    }
    if (!hasColumn(db, QStringLiteral("CONTAPAGAR"), QStringLiteral("NMUSUARIO")))
        run(db, QStringLiteral("ALTER TABLE CONTAPAGAR ADD NMUSUARIO VARCHAR(31)"));
    if (!hasColumn(db, QStringLiteral("IMPOSTONF"), QStringLiteral("NMUSUARIOGUIA"))) {
        run(db, QStringLiteral("ALTER TABLE IMPOSTONF ADD NMUSUARIOGUIA VARCHAR(31)"));
        run(db, QStringLiteral("ALTER TABLE IMPOSTONF ADD DTALTERGUIA TIMESTAMP"));
    }
}

QString hashPassword(const QString& password) {
    initSodium();
    const QByteArray pw = password.toUtf8();
    char out[crypto_pwhash_STRBYTES];
    hashTurns().acquire();
    const int rc = crypto_pwhash_str_alg(
        out, pw.constData(), quint64(pw.size()), crypto_pwhash_OPSLIMIT_INTERACTIVE,
        crypto_pwhash_MEMLIMIT_INTERACTIVE, crypto_pwhash_ALG_ARGON2ID13);
    hashTurns().release();
    if (rc != 0)
        throw EHostError(QStringLiteral("Não foi possível calcular o hash da senha."));
    return QString::fromLatin1(out);
}

bool verifyPassword(const QString& hash, const QString& password) {
    if (hash.isEmpty())
        return false;
    initSodium();
    const QByteArray h = hash.toLatin1();
    const QByteArray pw = password.toUtf8();
    hashTurns().acquire();
    const int rc = crypto_pwhash_str_verify(h.constData(), pw.constData(), quint64(pw.size()));
    hashTurns().release();
    return rc == 0;
}

QString nameRefusal(const QString& name) {
    static const QRegularExpression valid(QStringLiteral("^[A-Za-z0-9._@-]{1,31}$"));
    if (valid.match(name).hasMatch())
        return {};
    return QStringLiteral("Nome de usuário inválido: \"%1\" (de 1 a 31 letras sem acento, "
                          "dígitos, '.', '-', '_' ou '@').")
        .arg(name.left(40));
}

std::optional<TAccount> loadAccount(QSqlDatabase& db, const QString& name) {
    // Read before every call: one statement, prepared once per server connection and run in its
    // kept read transaction (read committed, so a clerk disabled meanwhile is seen at once).
    const QString what = QStringLiteral("ler a conta do usuário");
    TQuery q(db, QStringLiteral("SELECT u.STSENHA, u.IDATIVO, u.IDLOCAL, e.CDEMPRESA"
                                " FROM USUARIO u LEFT JOIN USUARIOEMPRESA e"
                                " ON e.NMUSUARIO = u.NMUSUARIO WHERE u.NMUSUARIO = ?"));
    q.bind(name);
    q.exec(what);
    if (!q.next(what))
        return std::nullopt;
    TAccount a;
    a.name = name;
    a.hasPassword = !q.value(0).isNull() && !q.text(0).isEmpty();
    a.enabled = q.text(1).trimmed() == QLatin1String("S");
    a.local = q.text(2).trimmed() == QLatin1String("S");
    do {
        if (!q.value(3).isNull())
            a.companies << q.text(3);
    } while (q.next(what));
    // Sorted here: an ORDER BY made the engine sort on every call, for a list of a few codes.
    std::sort(a.companies.begin(), a.companies.end());
    return a;
}

QString passwordHash(QSqlDatabase& db, const QString& name) {
    QSqlQuery q = run(db,
                      QStringLiteral("SELECT STSENHA FROM USUARIO WHERE NMUSUARIO = ?"
                                     " AND IDATIVO = 'S'"),
                      {name});
    return q.next() ? q.value(0).toString() : QString();
}

int accountCount(QSqlDatabase& db) {
    QSqlQuery q = run(db, QStringLiteral("SELECT COUNT(*) FROM USUARIO"));
    return q.next() ? q.value(0).toInt() : 0;
}

void addAccount(QSqlDatabase& db, const QString& name, const QString& password,
                const QStringList& companies, bool local) {
    if (const QString why = nameRefusal(name); !why.isEmpty())
        throw EHostError(why);
    if (loadAccount(db, name))
        throw EHostError(QStringLiteral("Usuário \"%1\" já cadastrado.").arg(name));
    const QVariant hash = password.isEmpty() ? QVariant() : QVariant(hashPassword(password));
    run(db, QStringLiteral("INSERT INTO USUARIO (NMUSUARIO, STSENHA, IDLOCAL) VALUES (?, ?, ?)"),
        {name, hash, local ? QStringLiteral("S") : QStringLiteral("N")});
    setCompanies(db, name, companies);
}

void setPassword(QSqlDatabase& db, const QString& name, const QString& password) {
    requireAccount(db, name);
    if (password.isEmpty())
        throw EHostError(QStringLiteral("A senha não pode ser vazia."));
    run(db, QStringLiteral("UPDATE USUARIO SET STSENHA = ? WHERE NMUSUARIO = ?"),
        {hashPassword(password), name});
}

void setEnabled(QSqlDatabase& db, const QString& name, bool enabled) {
    requireAccount(db, name);
    run(db, QStringLiteral("UPDATE USUARIO SET IDATIVO = ? WHERE NMUSUARIO = ?"),
        {enabled ? QStringLiteral("S") : QStringLiteral("N"), name});
}

void setCompanies(QSqlDatabase& db, const QString& name, const QStringList& companies) {
    requireAccount(db, name);
    for (const QString& c : companies)
        if (!exists(db, QStringLiteral("SELECT 1 FROM EMPRESA WHERE CDEMPRESA = ?"), {c}))
            throw EHostError(QStringLiteral("Empresa \"%1\" não cadastrada.").arg(c));
    run(db, QStringLiteral("DELETE FROM USUARIOEMPRESA WHERE NMUSUARIO = ?"), {name});
    for (const QString& c : companies)
        run(db, QStringLiteral("INSERT INTO USUARIOEMPRESA (NMUSUARIO, CDEMPRESA) VALUES (?, ?)"),
            {name, c});
}

QString localUserName() {
    // Asked on every call of the local account; the password database is read once.
    static const QString name = [] {
        if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_name)
            return QString::fromLocal8Bit(pw->pw_name);
        const QString user = qEnvironmentVariable("USER");
        return user.isEmpty() ? QStringLiteral("local") : user;
    }();
    return name;
}

QString currentClerk() {
    return t_clerk;
}

TClerkScope::TClerkScope(const QString& clerk) : m_previous(t_clerk) {
    t_clerk = clerk;
}

TClerkScope::~TClerkScope() {
    t_clerk = m_previous;
}

void recordGuideEvent(QSqlDatabase& db, const QString& filial, const QString& lancto,
                      const QString& tax, const QString& event, const QString& detail) {
    // Calls made in-process (tools, tests) have no clerk; the trail names them so.
    const QString clerk = t_clerk.isEmpty() ? QStringLiteral("-") : t_clerk;
    TQuery q(db, QStringLiteral("INSERT INTO GUIAHISTORICO (CDFILIAL, NRLANCTONF, CDIMPOSTONFE,"
                                " IDEVENTO, NMUSUARIO, DSDETALHE) VALUES (?, ?, ?, ?, ?, ?)"));
    q.bind(filial).bind(lancto).bind(tax).bind(event).bind(clerk).bind(detail.left(400));
    q.exec(QStringLiteral("registrar o histórico da guia"));
}

QList<TAuditEntry> noteHistory(QSqlDatabase& db, const QString& filial, const QString& lancto) {
    QSqlQuery q = run(db,
                      QStringLiteral("SELECT DTEVENTO, NMUSUARIO, CDIMPOSTONFE, IDEVENTO, DSDETALHE"
                                     " FROM GUIAHISTORICO WHERE CDFILIAL = ? AND NRLANCTONF = ?"
                                     " ORDER BY NRHISTORICO"),
                      {filial, lancto});
    QList<TAuditEntry> out;
    while (q.next())
        out.append({q.value(0).toDateTime(), q.value(1).toString(), q.value(2).toString(),
                    q.value(3).toString().trimmed(), q.value(4).toString()});
    return out;
}

} // namespace FisServer
