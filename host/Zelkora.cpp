#include "Zelkora.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>

#include <cstdio>

namespace {

constexpr const char* kDefaultHost = "127.0.0.1";
constexpr int kDefaultPort = 21981;
constexpr const char* kDefaultBranch = "0001";

struct State {
    QMutex mutex;
    QString configFile;               // set through SetConfigFile / --config
    QHash<QString, QString> override; // option name without dashes -> value
    QSet<QString> reported;           // invalid values already reported
};

State& state() {
    static State s;
    return s;
}

QString overrideOf(const QString& name) {
    State& s = state();
    QMutexLocker lock(&s.mutex);
    return s.override.value(name);
}

bool hasOverride(const QString& name) {
    State& s = state();
    QMutexLocker lock(&s.mutex);
    return s.override.contains(name);
}

void reportOnce(const QString& what) {
    State& s = state();
    QMutexLocker lock(&s.mutex);
    if (s.reported.contains(what))
        return;
    s.reported.insert(what);
    std::fprintf(stderr, "fis98100: %s\n", what.toLocal8Bit().constData());
}

// A small INI reader of our own: QSettings keeps a per-process cache keyed on the file's time
// stamp, which can miss an edit made within the same tick. Keys are "Section/Key",
// case-insensitive on both parts.
QHash<QString, QString> readIni(const QString& path) {
    QHash<QString, QString> values;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return values;
    const QString text = QString::fromUtf8(f.readAll());
    QString section;
    for (QString line : text.split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) ||
            line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            section = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        QString value = line.mid(eq + 1).trimmed();
        if (value.startsWith(QLatin1Char('"'))) {
            const int close = value.indexOf(QLatin1Char('"'), 1);
            value = close > 0 ? value.mid(1, close - 1) : value.mid(1);
        } else {
            // "Port=21981   ; note": a ';' after a blank starts a comment (a path may hold ';').
            static const QRegularExpression comment(QStringLiteral("\\s;"));
            const int at = value.indexOf(comment);
            if (at >= 0)
                value = value.left(at).trimmed();
        }
        values.insert((section + QLatin1Char('/') + line.left(eq).trimmed()).toLower(), value);
    }
    return values;
}

QString fromIni(const QString& sectionKey) {
    return readIni(Zelkora::ConfigFile()).value(sectionKey.toLower());
}

// Value from the command line, else the INI file; empty when neither has one.
QString lookup(const QString& option, const QString& sectionKey) {
    if (hasOverride(option))
        return overrideOf(option).trimmed();
    return fromIni(sectionKey).trimmed();
}

QDate parseDate(const QString& text) {
    for (const char* fmt : {"dd/MM/yyyy", "yyyy-MM-dd"}) {
        const QDate d = QDate::fromString(text, QLatin1String(fmt));
        if (d.isValid())
            return d;
    }
    return QDate();
}

} // namespace

namespace Zelkora {

QString ConfigFile() {
    {
        State& s = state();
        QMutexLocker lock(&s.mutex);
        if (s.override.contains(QStringLiteral("config")))
            return s.override.value(QStringLiteral("config"));
        if (!s.configFile.isEmpty())
            return s.configFile;
    }
    const QString env = qEnvironmentVariable("FIS98100_CONFIG");
    if (!env.isEmpty())
        return env;
    // The desktop's configuration folder, as the data folder follows XDG_DATA_HOME.
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/fis98100/fis98100.ini");
}

QString DataDir() {
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/fis98100");
}

QString IniValue(const QString& sectionKey) {
    return fromIni(sectionKey);
}

QString WebURL() {
    const QString v = lookup(QStringLiteral("server-host"), QStringLiteral("Server/Host"));
    return v.isEmpty() ? QString::fromLatin1(kDefaultHost) : v;
}

int WebPort() {
    const QString v = lookup(QStringLiteral("server-port"), QStringLiteral("Server/Port"));
    if (v.isEmpty())
        return kDefaultPort;
    bool ok = false;
    const int port = v.toInt(&ok);
    if (!ok || port < 1 || port > 65535) {
        reportOnce(QStringLiteral("invalid server port '%1', using %2").arg(v).arg(kDefaultPort));
        return kDefaultPort;
    }
    return port;
}

QString ReportDir() {
    const QString v = lookup(QStringLiteral("report-dir"), QStringLiteral("Reports/Dir"));
    if (!v.isEmpty())
        return v;
    const QString env = qEnvironmentVariable("FIS98100_REPORT_DIR").trimmed();
    if (!env.isEmpty())
        return env;
    const QString own = DataDir() + QStringLiteral("/reports");
    if (QFileInfo(own).isDir())
        return own;
    // The definitions shipped with the program: <prefix>/share beside <prefix>/bin, which the
    // build tree copies too.
    if (QCoreApplication::instance()) {
        const QString shipped = QDir::cleanPath(QCoreApplication::applicationDirPath() +
                                                QStringLiteral("/../share/fis98100/reports"));
        if (QFileInfo(shipped).isDir())
            return shipped;
    }
    return own;
}

QString FiliProc() {
    const QString v = lookup(QStringLiteral("branch"), QStringLiteral("Branch/Code"));
    return v.isEmpty() ? QString::fromLatin1(kDefaultBranch) : v;
}

QDate DataProc(const QString& branch) {
    const QHash<QString, QString> ini = readIni(ConfigFile());
    for (const QString& key : {QStringLiteral("branch/processingdate.") + branch.toLower(),
                               QStringLiteral("branch/processingdate")}) {
        const QString v = ini.value(key).trimmed();
        if (v.isEmpty())
            continue;
        const QDate d = parseDate(v);
        if (d.isValid())
            return d;
        reportOnce(QStringLiteral("invalid processing date '%1', using today").arg(v));
        break;
    }
    return QDate::currentDate();
}

QString DatabaseLocation() {
    const QString v = lookup(QStringLiteral("database"), QStringLiteral("Database/Path"));
    return v.isEmpty() ? DataDir() + QStringLiteral("/fis98100.fdb") : v;
}

QString ModulePath(const QString& screenCode) {
    const QString v = fromIni(QStringLiteral("Modules/") + screenCode).trimmed();
    if (!v.isEmpty())
        return v;
    return qEnvironmentVariable((screenCode.toUpper() + QStringLiteral("_MODULE")).toLatin1())
        .trimmed();
}

void SetCommandLine(const QStringList& args) {
    static const QStringList known = {QStringLiteral("server-host"), QStringLiteral("server-port"),
                                      QStringLiteral("report-dir"),  QStringLiteral("branch"),
                                      QStringLiteral("database"),    QStringLiteral("config")};
    QHash<QString, QString> found;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (!a.startsWith(QLatin1String("--")))
            continue;
        QString name = a.mid(2);
        QString value;
        bool inline_ = false;
        const int eq = name.indexOf(QLatin1Char('='));
        if (eq >= 0) {
            value = name.mid(eq + 1);
            name = name.left(eq);
            inline_ = true;
        }
        if (!known.contains(name))
            continue;
        if (!inline_) {
            if (i + 1 >= args.size()) {
                reportOnce(QStringLiteral("option --%1 needs a value").arg(name));
                continue;
            }
            value = args.at(++i);
        }
        found.insert(name, value);
    }
    State& s = state();
    QMutexLocker lock(&s.mutex);
    s.override = found;
}

void SetConfigFile(const QString& path) {
    State& s = state();
    QMutexLocker lock(&s.mutex);
    s.configFile = path;
}

} // namespace Zelkora
