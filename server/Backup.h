#pragma once
// Backing up and restoring a database with Firebird's gbak, while clerks work: gbak reads one
// snapshot of the database, so a backup holds every transaction committed before it began and
// none of those still running. On a Firebird server gbak runs through the server's service
// manager, so FILE is a path on the database server's machine.
#include <QString>
#include <QStringList>

namespace FisBackup {

// What gbak is told to do, or why nothing is run.
struct TGbakCall {
    QStringList arguments;
    QString error; // not empty: refused before running anything
};

// gbak's arguments to back up location into file. Refuses an existing file: an old backup is
// never overwritten by one that may fail half way.
TGbakCall backupCall(const QString& location, const QString& file);
// gbak's arguments to restore file into a new database at location. gbak itself refuses an
// existing database; a local one is refused here first.
TGbakCall restoreCall(const QString& file, const QString& location);

// Runs gbak; on failure returns its text (and removes a local file it left half made), else an
// empty string.
QString backup(const QString& location, const QString& file);
QString restore(const QString& file, const QString& location);

} // namespace FisBackup
