#pragma once
// The host's configuration: one INI file plus command-line overrides, read at the moment of use.
// Every call reads the file afresh, so a value changed while the client runs (a new server port)
// is seen at the next use. Nothing here caches a value.
//
// INI file: --config PATH, else env FIS98100_CONFIG, else
// $XDG_CONFIG_HOME/fis98100/fis98100.ini ($XDG_CONFIG_HOME defaults to ~/.config).
//   [Server]   Host (127.0.0.1), Port (21981)
//   [Reports]  Dir (else $FIS98100_REPORT_DIR, else <data dir>/reports when it exists, else
//              <exe dir>/../share/fis98100/reports when it exists, else <data dir>/reports)
//   [Branch]   Code ("0001"); ProcessingDate.<code> or ProcessingDate (today), dd/MM/yyyy or
//              yyyy-MM-dd
//   [Database] Path (<data dir>/fis98100.fdb)
//   [Modules]  <screen code> = path of the module library (no default here: the client decides)
// Lines starting with ';' or '#' are comments, and so is what follows " ;" on a line; a value
// in double quotes is taken as written.
// Overrides: --server-host, --server-port, --report-dir, --branch, --database, --config, as
// "--name value" or "--name=value". An invalid value falls back to the default and is reported
// once on stderr.
#include "core/HostExport.h"

#include <QDate>
#include <QString>
#include <QStringList>

namespace Zelkora {
FIS_EXPORT QString WebURL();
FIS_EXPORT int WebPort();
FIS_EXPORT QString ReportDir();
FIS_EXPORT QString FiliProc();
FIS_EXPORT QDate DataProc(const QString& branch);
FIS_EXPORT QString DatabaseLocation();
// Keeps the overrides found in args (other arguments are ignored); replaces earlier overrides.
FIS_EXPORT void SetCommandLine(const QStringList& args);
// Uses path as the INI file (empty: back to the default search).
FIS_EXPORT void SetConfigFile(const QString& path);

// The INI file in use (it need not exist).
FIS_EXPORT QString ConfigFile();
// <data dir>: $XDG_DATA_HOME/fis98100, else ~/.local/share/fis98100.
FIS_EXPORT QString DataDir();
// A raw value of the INI file ("Section/Key"); empty when absent.
FIS_EXPORT QString IniValue(const QString& sectionKey);
// The module library configured for a screen code: [Modules] <code>, else the environment
// variable <CODE>_MODULE (FIS98100_MODULE); empty when neither is set.
FIS_EXPORT QString ModulePath(const QString& screenCode);
} // namespace Zelkora
