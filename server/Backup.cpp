#include "Backup.h"

#include "FisDatabase.h"

#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

namespace FisBackup {
namespace {

// "host/port:path" -> ("host/port:service_mgr", "path"); a local file -> ("", file).
std::pair<QString, QString> serviceAndPath(const QString& location) {
    if (!FisDb::isRemoteLocation(location))
        return {QString(), location};
    const int colon = location.indexOf(QLatin1Char(':'));
    return {location.left(colon) + QStringLiteral(":service_mgr"), location.mid(colon + 1)};
}

QStringList withService(const QString& service, QStringList args) {
    if (!service.isEmpty())
        args << QStringLiteral("-se") << service;
    return args;
}

QString run(const TGbakCall& call, const QString& madeLocally) {
    if (!call.error.isEmpty())
        return call.error;
    const QString gbak = QStandardPaths::findExecutable(QStringLiteral("gbak"));
    if (gbak.isEmpty())
        return QStringLiteral("gbak não encontrado (pacote firebird3.0-utils).");
    QProcess p;
    // The same credentials the server's connections use; gbak reads them from the environment,
    // which keeps the password off the process list.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (env.value(QStringLiteral("ISC_USER")).isEmpty())
        env.insert(QStringLiteral("ISC_USER"), QStringLiteral("SYSDBA"));
    if (env.value(QStringLiteral("ISC_PASSWORD")).isEmpty())
        env.insert(QStringLiteral("ISC_PASSWORD"), QStringLiteral("masterkey"));
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(gbak, call.arguments);
    if (!p.waitForStarted())
        return QStringLiteral("não foi possível executar %1.").arg(gbak);
    p.waitForFinished(-1);
    if (p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return {};
    if (!madeLocally.isEmpty())
        QFile::remove(madeLocally);
    const QString out = QString::fromLocal8Bit(p.readAll()).trimmed();
    return QStringLiteral("gbak falhou (código %1): %2").arg(p.exitCode()).arg(out);
}

} // namespace

// gbak would take a name starting with "-" for one of its switches (-rep replaces a database).
static bool looksLikeSwitch(const QString& a, const QString& b) {
    return a.startsWith(QLatin1Char('-')) || b.startsWith(QLatin1Char('-'));
}

// The Firebird server would resolve a relative name against its own working folder.
static bool relativeOnServer(const QString& service, const QString& file, TGbakCall* c) {
    if (service.isEmpty() || QFileInfo(file).isAbsolute())
        return false;
    c->error = QStringLiteral("com um servidor Firebird, informe o caminho completo do arquivo da "
                              "cópia (no computador do servidor): %1")
                   .arg(file);
    return true;
}

TGbakCall backupCall(const QString& location, const QString& file) {
    TGbakCall c;
    if (location.isEmpty() || file.isEmpty()) {
        c.error = QStringLiteral("informe o banco e o arquivo da cópia.");
        return c;
    }
    if (looksLikeSwitch(location, file)) {
        c.error = QStringLiteral("nomes começando com \"-\" não são aceitos; use ./%1.")
                      .arg(file.startsWith(QLatin1Char('-')) ? file : location);
        return c;
    }
    if (QFileInfo::exists(file)) {
        c.error = QStringLiteral("%1 já existe; ele não será sobrescrito.").arg(file);
        return c;
    }
    const auto [service, path] = serviceAndPath(location);
    if (relativeOnServer(service, file, &c))
        return c;
    // -g: the backup does not collect garbage, so it does not compete with the clerks for it.
    c.arguments = withService(service, {QStringLiteral("-b"), QStringLiteral("-g"), path, file});
    return c;
}

TGbakCall restoreCall(const QString& file, const QString& location) {
    TGbakCall c;
    if (location.isEmpty() || file.isEmpty()) {
        c.error = QStringLiteral("informe o arquivo da cópia e o banco a criar.");
        return c;
    }
    if (looksLikeSwitch(location, file)) {
        c.error = QStringLiteral("nomes começando com \"-\" não são aceitos; use ./%1.")
                      .arg(file.startsWith(QLatin1Char('-')) ? file : location);
        return c;
    }
    const auto [service, path] = serviceAndPath(location);
    if (relativeOnServer(service, file, &c))
        return c;
    if (service.isEmpty() && QFileInfo::exists(path)) {
        c.error = QStringLiteral("%1 já existe; ele não será sobrescrito.").arg(path);
        return c;
    }
    if (service.isEmpty() && !QFileInfo::exists(file)) {
        c.error = QStringLiteral("%1 não existe.").arg(file);
        return c;
    }
    // -c creates and never replaces; the page size and every row come from the backup.
    c.arguments = withService(service, {QStringLiteral("-c"), file, path});
    return c;
}

QString backup(const QString& location, const QString& file) {
    const TGbakCall c = backupCall(location, file);
    return run(c, c.error.isEmpty() ? file : QString());
}

QString restore(const QString& file, const QString& location) {
    const TGbakCall c = restoreCall(file, location);
    const bool local = !FisDb::isRemoteLocation(location);
    return run(c, c.error.isEmpty() && local ? location : QString());
}

} // namespace FisBackup
