// fis98100-server: the application server of the object FisProtocol::ObjectName.
#include "AppServer.h"
#include "FisDatabase.h"
#include "MethodTable.h"
#include "core/Frame.h"
#include "core/HostExceptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <csignal>
#include <cstdio>
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
    QCommandLineParser cl;

    explicit TOptions(const QCoreApplication& app) {
        cl.setApplicationDescription(
            QStringLiteral("Servidor de aplicação do objeto %1 (Emissão da Darf por Documento).")
                .arg(QLatin1String(FisProtocol::ObjectName)));
        cl.addHelpOption();
        cl.addOptions({listen, port, database, create, demo, notes, firebirdRoot});
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

    // Fail at start rather than at the first call when the database cannot be reached.
    {
        QSqlDatabase probe = FisDb::openConnection(location, QStringLiteral("fis98100-probe"));
        probe.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fis98100-probe"));

    std::signal(SIGTERM, endAtOnce);
    std::signal(SIGINT, endAtOnce);

    TAppServer server(location, FisFrame::DefaultMaxFrame);
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
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fis98100-server"));
    const TOptions options(app);
    try {
        prepareFirebird(options.cl.value(options.firebirdRoot));
        if (options.cl.isSet(options.create))
            return createDatabase(options);
        return serve(app, options);
    } catch (const EHostError& e) {
        return fail(e.text());
    }
}
