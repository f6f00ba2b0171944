#include "FisDatabase.h"

#include "DemoData.h"
#include "core/HostExceptions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

#include <ibase.h>

namespace FisDb {
namespace detail {
extern const char* const kSchemaSql;
}

namespace {

const char* const kUser = "SYSDBA";
const char* const kPassword = "masterkey";

// Where Debian (and a plain upstream install) keep the engine's plugins and message files.
QString systemFirebirdDir() {
    const QStringList candidates = {QStringLiteral("/usr/lib/x86_64-linux-gnu/firebird/3.0"),
                                    QStringLiteral("/usr/lib/aarch64-linux-gnu/firebird/3.0"),
                                    QStringLiteral("/usr/lib/firebird/3.0"),
                                    QStringLiteral("/opt/firebird")};
    for (const QString& dir : candidates)
        if (QFileInfo::exists(dir + QStringLiteral("/plugins")))
            return dir;
    return {};
}

void writeIfDifferent(const QString& path, const QByteArray& content) {
    QFile f(path);
    if (f.open(QIODevice::ReadOnly) && f.readAll() == content)
        return;
    f.close();
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(content) != content.size())
        throw EHostError(
            QStringLiteral("Não foi possível gravar %1: %2").arg(path, f.errorString()));
}

void linkTo(const QString& target, const QString& linkPath) {
    QFileInfo link(linkPath);
    if (link.isSymLink()) {
        if (link.symLinkTarget() == QFileInfo(target).absoluteFilePath())
            return;
        QFile::remove(linkPath);
    } else if (link.exists()) {
        return; // something the user put there on purpose: leave it alone
    }
    if (!QFile::link(target, linkPath))
        throw EHostError(
            QStringLiteral("Não foi possível criar o link %1 -> %2.").arg(linkPath, target));
}

QString statusText(const ISC_STATUS* status) {
    QStringList parts;
    const ISC_STATUS* p = status;
    char buffer[1024];
    while (fb_interpret(buffer, sizeof buffer, &p) > 0)
        parts << QString::fromLocal8Bit(buffer);
    return parts.join(QStringLiteral(" - "));
}

QString quoted(const QString& text) {
    QString t = text;
    t.replace(QLatin1Char('\''), QStringLiteral("''"));
    return QLatin1Char('\'') + t + QLatin1Char('\'');
}

QString credential(const char* envName, const char* fallback) {
    const QString v = qEnvironmentVariable(envName);
    return v.isEmpty() ? QString::fromLatin1(fallback) : v;
}

// Creates the empty database file through the client library: QIBASE cannot create one.
void createEmptyDatabase(const QString& location) {
    const QString sql = QStringLiteral("CREATE DATABASE %1 USER %2 PASSWORD %3 PAGE_SIZE 8192 "
                                       "DEFAULT CHARACTER SET UTF8")
                            .arg(quoted(location), quoted(credential("ISC_USER", kUser)),
                                 quoted(credential("ISC_PASSWORD", kPassword)));
    const QByteArray text = sql.toUtf8();
    ISC_STATUS_ARRAY status = {};
    isc_db_handle db = 0;
    isc_tr_handle tr = 0;
    if (isc_dsql_execute_immediate(status, &db, &tr, 0, text.constData(), SQL_DIALECT_V6,
                                   nullptr)) {
        throw EHostError(QStringLiteral("Não foi possível criar o banco de dados %1: %2")
                             .arg(location, statusText(status)));
    }
    ISC_STATUS_ARRAY detachStatus = {};
    isc_detach_database(detachStatus, &db);
}

// Switches synchronous page writes of the database on or off (a header flag, set by attaching
// with isc_dpb_force_write). Loading a new database with them off is many times faster; they
// are switched on again before anyone else uses the file.
void setForcedWrites(const QString& location, bool on) {
    QByteArray dpb =
        attachParameters(credential("ISC_USER", kUser), credential("ISC_PASSWORD", kPassword));
    if (dpb.isEmpty())
        throw EHostError(
            QStringLiteral("Não foi possível ajustar o banco de dados %1: usuário ou senha longos "
                           "demais.")
                .arg(location));
    dpb.append(char(isc_dpb_force_write)).append(char(1)).append(char(on ? 1 : 0));
    const QByteArray path = location.toUtf8();
    ISC_STATUS_ARRAY status = {};
    isc_db_handle db = 0;
    if (isc_attach_database(status, short(path.size()), path.constData(), &db, short(dpb.size()),
                            dpb.constData())) {
        throw EHostError(QStringLiteral("Não foi possível ajustar o banco de dados %1: %2")
                             .arg(location, statusText(status)));
    }
    ISC_STATUS_ARRAY detachStatus = {};
    isc_detach_database(detachStatus, &db);
}

QString sqlFailure(const QString& what, const QSqlError& error, const QString& statement) {
    return QStringLiteral("%1\n%2\n%3\n%4")
        .arg(what, error.driverText(), error.databaseText(), statement);
}

} // namespace

QString defaultDataDir() {
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/fis98100");
}

QString defaultDatabasePath() {
    return defaultDataDir() + QStringLiteral("/fis98100.fdb");
}

QString prepareEnvironment(const QString& rootDir) {
    const QString root =
        QDir(rootDir.isEmpty() ? defaultDataDir() + QStringLiteral("/firebird") : rootDir)
            .absolutePath();
    const QString lock = root + QStringLiteral("/lock");
    if (!QDir().mkpath(lock))
        throw EHostError(QStringLiteral("Não foi possível criar a pasta %1.").arg(lock));

    // The embedded engine shares a file between processes only in SuperClassic mode, where each
    // attachment has its own page cache. The server holds an attachment per client, so the
    // cache is kept at 256 pages of 8 KiB (2 MiB): 2048 pages made a 102,000-note load keep
    // 16 MiB more for as long as its client stayed, and made no load, guide or demo database
    // measurably faster.
    writeIfDifferent(root + QStringLiteral("/firebird.conf"),
                     "# Written by fis98100: lets the client and the server open one embedded\n"
                     "# database file at the same time.\n"
                     "ServerMode = SuperClassic\n"
                     "DefaultDbCachePages = 256\n");

    const QString system = systemFirebirdDir();
    if (!system.isEmpty()) {
        for (const char* name : {"plugins", "intl", "UDF", "firebird.msg", "plugins.conf"}) {
            const QString target = system + QLatin1Char('/') + QLatin1String(name);
            if (QFileInfo::exists(target))
                linkTo(target, root + QLatin1Char('/') + QLatin1String(name));
        }
    }

    qputenv("FIREBIRD", QFile::encodeName(root));
    qputenv("FIREBIRD_LOCK", QFile::encodeName(lock));
    return root;
}

bool isRemoteLocation(const QString& location) {
    // "host:path", "host/3050:path"; a local path has a slash before any colon.
    const int colon = location.indexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    const QString head = location.left(colon);
    return !head.startsWith(QLatin1Char('/')) && !head.contains(QLatin1Char('\\')) &&
           !(head.size() == 1 && head.at(0).isLetter()); // a drive letter
}

QStringList splitScript(const QString& script) {
    static const QRegularExpression psqlStart(
        QStringLiteral("^\\s*((CREATE\\s+OR\\s+ALTER|RECREATE|CREATE|ALTER)\\s+"
                       "(PROCEDURE|FUNCTION|TRIGGER)|EXECUTE\\s+BLOCK)\\b"),
        QRegularExpression::CaseInsensitiveOption);
    QStringList statements;
    QStringList current;
    bool psql = false;
    const QStringList lines = script.split(QLatin1Char('\n'));
    for (const QString& rawLine : lines) {
        const QString line = rawLine.trimmed();
        if (current.isEmpty()) {
            if (line.isEmpty() || line.startsWith(QStringLiteral("--")))
                continue;
            psql = psqlStart.match(line).hasMatch();
        }
        current << QString(rawLine).remove(QLatin1Char('\r'));
        const bool ends = psql ? line.compare(QStringLiteral("END;"), Qt::CaseInsensitive) == 0
                               : line.endsWith(QLatin1Char(';'));
        if (ends) {
            QString statement = current.join(QLatin1Char('\n')).trimmed();
            statement.chop(1);
            statements << statement.trimmed();
            current.clear();
        }
    }
    const QString rest = current.join(QLatin1Char('\n')).trimmed();
    if (!rest.isEmpty())
        statements << rest;
    return statements;
}

bool shutdown(unsigned timeoutMs) {
    return fb_shutdown(timeoutMs, fb_shutrsn_app_stopped) == 0;
}

QStringList schemaStatements() {
    return splitScript(QString::fromUtf8(detail::kSchemaSql));
}

QByteArray attachParameters(const QString& user, const QString& password) {
    const QByteArray u = user.toUtf8();
    const QByteArray p = password.toUtf8();
    if (u.size() > 255 || p.size() > 255)
        return {};
    QByteArray dpb;
    dpb.append(char(isc_dpb_version1));
    dpb.append(char(isc_dpb_user_name)).append(char(u.size())).append(u);
    dpb.append(char(isc_dpb_password)).append(char(p.size())).append(p);
    return dpb;
}

QSqlDatabase openConnection(const QString& location, const QString& connectionName) {
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QIBASE")))
        throw EHostError(QStringLiteral("O driver QIBASE do Qt não está instalado."));
    if (QSqlDatabase::contains(connectionName))
        QSqlDatabase::removeDatabase(connectionName);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QIBASE"), connectionName);
    db.setDatabaseName(location);
    db.setUserName(credential("ISC_USER", kUser));
    db.setPassword(credential("ISC_PASSWORD", kPassword));
    db.setConnectOptions(QStringLiteral("ISC_DPB_LC_CTYPE=UTF8"));
    if (!isRemoteLocation(location) && !QFileInfo::exists(location)) {
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName);
        throw EHostError(QStringLiteral("Banco de dados não encontrado: %1").arg(location));
    }
    if (!db.open()) {
        const QSqlError error = db.lastError();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName);
        throw EHostError(QStringLiteral("Não foi possível abrir o banco de dados %1: %2 %3")
                             .arg(location, error.driverText(), error.databaseText())
                             .trimmed());
    }
    return db;
}

void createDatabase(const QString& location, bool demo, int notes) {
    const bool local = !isRemoteLocation(location);
    if (location.trimmed().isEmpty())
        throw EHostError(QStringLiteral("Informe o arquivo do banco de dados."));
    if (local) {
        const QFileInfo file(location);
        if (file.exists())
            throw EHostError(
                QStringLiteral("O banco de dados %1 já existe; ele não será sobrescrito.")
                    .arg(file.absoluteFilePath()));
        if (!QDir().mkpath(file.absolutePath()))
            throw EHostError(
                QStringLiteral("Não foi possível criar a pasta %1.").arg(file.absolutePath()));
    }

    createEmptyDatabase(location);

    const QString name =
        QStringLiteral("fisdb-create-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    try {
        setForcedWrites(location, false);
        {
            QSqlDatabase db = openConnection(location, name);
            // The whole schema in one transaction: all of it or nothing.
            if (!db.transaction())
                throw EHostError(db.lastError().text());
            QSqlQuery query(db);
            for (const QString& statement : schemaStatements()) {
                if (!query.exec(statement))
                    throw EHostError(sqlFailure(QStringLiteral("Erro ao criar o esquema:"),
                                                query.lastError(), statement));
            }
            query.finish();
            if (!db.commit())
                throw EHostError(sqlFailure(QStringLiteral("Erro ao criar o esquema:"),
                                            db.lastError(), QString()));
            if (demo) {
                DemoOptions options;
                options.notes = notes;
                fillDemoData(db, options);
            }
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
        setForcedWrites(location, true);
    } catch (...) {
        if (QSqlDatabase::contains(name)) {
            QSqlDatabase::database(name, false).close();
            QSqlDatabase::removeDatabase(name);
        }
        if (local)
            QFile::remove(location); // a half-made database is worse than none
        throw;
    }
}

} // namespace FisDb
