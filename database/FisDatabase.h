#pragma once
// The project's Firebird database: where it lives, how a process reaches it, how it is made.
//
// A database location is either a file path (the embedded engine opens the file in this process)
// or "host:path" / "host/port:path" (a Firebird server). Several processes may have one
// embedded file open at once because the project's own Firebird root runs the engine in
// SuperClassic mode and gives every process the same lock folder.
#include <QByteArray>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

namespace FisDb {

// Points FIREBIRD and FIREBIRD_LOCK at a project-owned root (default <data dir>/firebird):
// writes its firebird.conf (ServerMode = SuperClassic) and links the system's plugins, intl,
// UDF, firebird.msg and plugins.conf into it. Idempotent; returns the root. Must run before the
// process's first Firebird call, since the client library reads its configuration only once.
// Throws EHostError when the root cannot be prepared.
QString prepareEnvironment(const QString& rootDir = {});

// $XDG_DATA_HOME/fis98100, else ~/.local/share/fis98100.
QString defaultDataDir();
// <data dir>/fis98100.fdb
QString defaultDatabasePath();

// True when location names a database on a Firebird server rather than a local file.
bool isRemoteLocation(const QString& location);

// Creates the database, its schema (tables, PARAM, NVLSTR) and, with demo, the demo data with
// the given number of notes. Refuses an existing file. A local file left half made by a failure
// is removed again. Throws EHostError with a readable text.
void createDatabase(const QString& location, bool demo, int notes = 300);

// A QIBASE connection to location registered under connectionName (replacing one of that name),
// opened as SYSDBA with UTF8 texts. ISC_USER / ISC_PASSWORD override the credentials for a
// server. Throws EHostError carrying the driver's text.
QSqlDatabase openConnection(const QString& location, const QString& connectionName);

// The start of an attachment's parameter block for the client calls (isc_attach_database):
// the user and the password; the caller appends its own items. Empty when either is longer
// than the block's one-byte lengths hold.
QByteArray attachParameters(const QString& user, const QString& password);

// Closes every attachment of this process and stops the embedded engine's threads. Call it
// after the last connection is closed and before the Firebird root or lock folder goes away
// (the engine otherwise shuts down at process exit and needs them then). A statement still
// running is cancelled and its transaction rolled back; timeoutMs 0 waits for as long as that
// takes. False when the engine did not stop in time.
bool shutdown(unsigned timeoutMs = 0);

// The statements of the schema script, in order, without their terminators.
QStringList schemaStatements();
// Splits a script into statements: ";" at a line end ends a statement, except inside a
// CREATE PROCEDURE / FUNCTION / TRIGGER / EXECUTE BLOCK body, which ends at a line "END;".
// Lines starting with "--" outside a statement are skipped.
QStringList splitScript(const QString& script);

} // namespace FisDb
