// fis98100-server: the application server of the object FisProtocol::ObjectName.
#include "AppServer.h"
#include "Backup.h"
#include "DataAccess.h"
#include "FisDatabase.h"
#include "MethodTable.h"
#include "core/Frame.h"
#include "core/HostExceptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QHostAddress>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <malloc.h>
#include <optional>
#include <sys/resource.h>
#include <unistd.h>

namespace {
// The embedded engine takes SIGTERM and SIGINT for itself and does not end the process. A call in
// flight at that moment is an uncommitted transaction, which the engine rolls back, so ending at
// once loses nothing.
extern "C" void endAtOnce(int) {
    _exit(0);
}

int fail(const QString& text) {
    std::fprintf(stderr, "fis98100-server: %s\n", text.toUtf8().constData());
    return 1;
}

// The command line: its options, and the parser they were added to.
struct TOptions {
    QCommandLineOption listen{QStringLiteral("listen"),
                              QStringLiteral("Endereço em que escuta (padrão 127.0.0.1)."),
                              QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1")};
    QCommandLineOption port{
        QStringLiteral("port"),
        QStringLiteral("Porta TCP (padrão %1; 0 = qualquer livre).").arg(FisProtocol::DefaultPort),
        QStringLiteral("N"), QString::number(FisProtocol::DefaultPort)};
    QCommandLineOption database{
        QStringLiteral("database"),
        QStringLiteral("Banco: caminho do arquivo (embutido) ou host:caminho (servidor Firebird)."),
        QStringLiteral("PATH_OR_HOST:PATH")};
    QCommandLineOption create{QStringLiteral("create-database"),
                              QStringLiteral("Cria o banco em PATH e termina."),
                              QStringLiteral("PATH")};
    QCommandLineOption demo{
        QStringLiteral("demo"),
        QStringLiteral("Com --create-database: inclui os dados de demonstração.")};
    QCommandLineOption notes{QStringLiteral("notes"),
                             QStringLiteral("Com --demo: número de notas (padrão 300)."),
                             QStringLiteral("N"), QStringLiteral("300")};
    QCommandLineOption firebirdRoot{
        QStringLiteral("firebird-root"),
        QStringLiteral("Pasta raiz do Firebird do projeto (padrão: a do ambiente ou "
                       "<dados>/firebird)."),
        QStringLiteral("DIR")};
    QCommandLineOption maxConnections{
        QStringLiteral("max-connections"),
        QStringLiteral("Conexões simultâneas aceitas (padrão 256); as demais recebem um erro."),
        QStringLiteral("N"), QStringLiteral("256")};
    QCommandLineOption idleTimeout{
        QStringLiteral("idle-timeout"),
        QStringLiteral("Segundos sem atividade até encerrar uma conexão (padrão 1800)."),
        QStringLiteral("S"), QStringLiteral("1800")};
    QCommandLineOption readTimeout{
        QStringLiteral("read-timeout"),
        QStringLiteral("Segundos para receber um quadro começado (padrão 30)."),
        QStringLiteral("S"), QStringLiteral("30")};
    QCommandLineOption maxRequest{
        QStringLiteral("max-request"),
        QStringLiteral("Tamanho máximo de uma requisição em bytes (padrão 1048576)."),
        QStringLiteral("BYTES"), QString::number(FisFrame::DefaultMaxRequest)};
    QCommandLineOption lockWait{
        QStringLiteral("lock-wait"),
        QStringLiteral("Segundos que uma gravação ou emissão espera por outro usuário na mesma "
                       "guia (padrão 10)."),
        QStringLiteral("S"), QStringLiteral("10")};
    QCommandLineOption backup{
        QStringLiteral("backup"),
        QStringLiteral("Copia o banco (--database) para FILE com o gbak, sem parar o trabalho, e "
                       "termina."),
        QStringLiteral("FILE")};
    QCommandLineOption restore{
        QStringLiteral("restore"),
        QStringLiteral("Restaura FILE num banco novo em LOCATION (argumento seguinte) e termina."),
        QStringLiteral("FILE")};
    QCommandLineParser cl;

    explicit TOptions(const QCoreApplication& app) {
        cl.setApplicationDescription(
            QStringLiteral("Servidor de aplicação do objeto %1 (Emissão da Darf por Documento).")
                .arg(QLatin1String(FisProtocol::ObjectName)));
        cl.addHelpOption();
        cl.addOptions({listen, port, database, create, demo, notes, firebirdRoot, maxConnections,
                       idleTimeout, readTimeout, maxRequest, lockWait, backup, restore});
        cl.addPositionalArgument(QStringLiteral("LOCATION"),
                                 QStringLiteral("Com --restore: o banco a criar."));
        cl.process(app);
    }
};

// A parent process that prepared a root (tests, the client) hands it down in FIREBIRD; every
// process on one embedded file must share the same lock folder.
void prepareFirebird(const QString& rootOption) {
    QString root = rootOption;
    if (root.isEmpty() && !qEnvironmentVariableIsEmpty("FIREBIRD") &&
        qEnvironmentVariable("FIREBIRD_LOCK") ==
            qEnvironmentVariable("FIREBIRD") + QStringLiteral("/lock"))
        root = qEnvironmentVariable("FIREBIRD");
    FisDb::prepareEnvironment(root);
}

int createDatabase(const TOptions& o) {
    bool ok = false;
    const int n = o.cl.value(o.notes).toInt(&ok);
    if (!ok || n < 0)
        return fail(QStringLiteral("--notes deve ser um número inteiro não negativo."));
    FisDb::createDatabase(o.cl.value(o.create), o.cl.isSet(o.demo), n);
    std::fprintf(stderr, "fis98100-server: banco criado em %s\n",
                 o.cl.value(o.create).toUtf8().constData());
    return 0;
}

int backupOrRestore(const TOptions& o) {
    QString error;
    if (o.cl.isSet(o.backup)) {
        const QString location =
            o.cl.isSet(o.database) ? o.cl.value(o.database) : FisDb::defaultDatabasePath();
        error = FisBackup::backup(location, o.cl.value(o.backup));
        if (error.isEmpty())
            std::fprintf(stderr, "fis98100-server: cópia de %s gravada em %s\n",
                         location.toUtf8().constData(), o.cl.value(o.backup).toUtf8().constData());
    } else {
        if (o.cl.positionalArguments().size() != 1)
            return fail(QStringLiteral("uso: --restore FILE LOCATION"));
        const QString location = o.cl.positionalArguments().constFirst();
        error = FisBackup::restore(o.cl.value(o.restore), location);
        if (error.isEmpty())
            std::fprintf(stderr, "fis98100-server: %s restaurado em %s\n",
                         o.cl.value(o.restore).toUtf8().constData(), location.toUtf8().constData());
    }
    return error.isEmpty() ? 0 : fail(error);
}

// A whole number from lo to hi, or nothing.
std::optional<qint64> wholeOption(const TOptions& o, const QCommandLineOption& opt, qint64 lo,
                                  qint64 hi) {
    bool ok = false;
    const qint64 v = o.cl.value(opt).toLongLong(&ok);
    if (!ok || v < lo || v > hi)
        return std::nullopt;
    return v;
}

// Seconds, positive and finite, as milliseconds.
std::optional<int> secondsOption(const TOptions& o, const QCommandLineOption& opt) {
    bool ok = false;
    const double s = o.cl.value(opt).toDouble(&ok);
    if (!ok || !std::isfinite(s) || s <= 0 || s > 24 * 3600 * 24)
        return std::nullopt;
    return int(std::ceil(s * 1000));
}

std::optional<TServerLimits> readLimits(const TOptions& o) {
    TServerLimits l;
    const auto conns = wholeOption(o, o.maxConnections, 1, 100000);
    const auto idle = secondsOption(o, o.idleTimeout);
    const auto read = secondsOption(o, o.readTimeout);
    const auto request = wholeOption(o, o.maxRequest, 1024, FisFrame::DefaultMaxFrame);
    const auto lock = secondsOption(o, o.lockWait);
    if (!conns || !idle || !read || !request || !lock)
        return std::nullopt;
    FisServer::setLockWaitMs(*lock);
    l.maxConnections = int(*conns);
    l.idleTimeoutMs = *idle;
    l.frameTimeoutMs = *read;
    l.maxRequest = *request;
    return l;
}

// Every descriptor the system allows, and how many clients they carry: each takes its socket,
// its thread's event loop and its database attachment, and some stay free to refuse the next
// client with a message.
constexpr qint64 DescriptorsPerClient = 6;
constexpr qint64 DescriptorsKept = 16;
qint64 clientsByDescriptors() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0)
        return 1 << 30;
    if (r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
    if (r.rlim_cur == RLIM_INFINITY)
        return 1 << 30;
    const qint64 open = QDir(QStringLiteral("/proc/self/fd")).count() - 2;
    return std::max<qint64>(1,
                            (qint64(r.rlim_cur) - open - DescriptorsKept) / DescriptorsPerClient);
}

int serve(QCoreApplication& app, const TOptions& o) {
    const QString location =
        o.cl.isSet(o.database) ? o.cl.value(o.database) : FisDb::defaultDatabasePath();
    bool ok = false;
    const int p = o.cl.value(o.port).toInt(&ok);
    if (!ok || p < 0 || p > 65535)
        return fail(QStringLiteral("porta inválida: %1").arg(o.cl.value(o.port)));
    QHostAddress address;
    if (!address.setAddress(o.cl.value(o.listen)))
        return fail(QStringLiteral("endereço inválido: %1").arg(o.cl.value(o.listen)));
    const std::optional<TServerLimits> limits = readLimits(o);
    if (!limits)
        return fail(QStringLiteral(
                        "--max-connections deve ser de 1 a 100000, --idle-timeout, "
                        "--read-timeout e --lock-wait segundos positivos, --max-request de 1024 a "
                        "%1 bytes.")
                        .arg(FisFrame::DefaultMaxFrame));

    // Fail at start rather than at the first call when the database cannot be reached.
    {
        QSqlDatabase probe = FisDb::openConnection(location, QStringLiteral("fis98100-probe"));
        probe.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fis98100-probe"));

    std::signal(SIGTERM, endAtOnce);
    std::signal(SIGINT, endAtOnce);

    TServerLimits effective = *limits;
    if (const qint64 byFds = clientsByDescriptors(); byFds < effective.maxConnections) {
        effective.maxConnections = int(byFds);
        serverLog(QStringLiteral("fis98100-server: até %1 conexões, pelo limite de descritores de "
                                 "arquivo do processo")
                      .arg(byFds));
    }
    TAppServer server(location, effective);
    if (!server.listen(address, quint16(p)))
        return fail(QStringLiteral("não foi possível escutar em %1:%2: %3")
                        .arg(address.toString())
                        .arg(p)
                        .arg(server.errorString()));
    serverLog(QStringLiteral("fis98100-server: escutando em %1:%2, banco %3")
                  .arg(server.serverAddress().toString())
                  .arg(server.serverPort())
                  .arg(location));
    return app.exec();
}

} // namespace

int main(int argc, char** argv) {
    // Large blocks (frames, answers) come from the system and go back to it when freed, instead
    // of staying in the heap of whichever thread served them.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fis98100-server"));
    const TOptions options(app);
    try {
        prepareFirebird(options.cl.value(options.firebirdRoot));
        if (options.cl.isSet(options.create))
            return createDatabase(options);
        if (options.cl.isSet(options.backup) || options.cl.isSet(options.restore))
            return backupOrRestore(options);
        return serve(app, options);
    } catch (const EHostError& e) {
        return fail(e.text());
    }
}
