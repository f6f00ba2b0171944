// fis98100-server: the application server of "Fis98100.rdmCriaEmissaoDarfDoc".
#include "AppServer.h"
#include "FisDatabase.h"
#include "Protocol.h"
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
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fis98100-server"));

    QCommandLineParser cl;
    cl.setApplicationDescription(QStringLiteral(
        "Servidor de aplicação do objeto Fis98100.rdmCriaEmissaoDarfDoc (Emissão da Darf por "
        "Documento)."));
    cl.addHelpOption();
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Endereço em que escuta (padrão 127.0.0.1)."),
                                    QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("Porta TCP (padrão %1; 0 = qualquer livre).").arg(FisProtocol::DefaultPort),
        QStringLiteral("N"), QString::number(FisProtocol::DefaultPort));
    const QCommandLineOption database(
        QStringLiteral("database"),
        QStringLiteral("Banco: caminho do arquivo (embutido) ou host:caminho (servidor Firebird)."),
        QStringLiteral("PATH_OR_HOST:PATH"));
    const QCommandLineOption create(QStringLiteral("create-database"),
                                    QStringLiteral("Cria o banco em PATH e termina."),
                                    QStringLiteral("PATH"));
    const QCommandLineOption demo(
        QStringLiteral("demo"),
        QStringLiteral("Com --create-database: inclui os dados de demonstração."));
    const QCommandLineOption notes(QStringLiteral("notes"),
                                   QStringLiteral("Com --demo: número de notas (padrão 300)."),
                                   QStringLiteral("N"), QStringLiteral("300"));
    const QCommandLineOption firebirdRoot(
        QStringLiteral("firebird-root"),
        QStringLiteral("Pasta raiz do Firebird do projeto (padrão: a do ambiente ou "
                       "<dados>/firebird)."),
        QStringLiteral("DIR"));
    cl.addOptions({listen, port, database, create, demo, notes, firebirdRoot});
    cl.process(app);

    try {
        // A parent process that prepared a root (tests, the client) hands it down in FIREBIRD;
        // every process on one embedded file must share the same lock folder.
        QString root = cl.value(firebirdRoot);
        if (root.isEmpty() && !qEnvironmentVariableIsEmpty("FIREBIRD") &&
            qEnvironmentVariable("FIREBIRD_LOCK") ==
                qEnvironmentVariable("FIREBIRD") + QStringLiteral("/lock"))
            root = qEnvironmentVariable("FIREBIRD");
        FisDb::prepareEnvironment(root);

        if (cl.isSet(create)) {
            bool ok = false;
            const int n = cl.value(notes).toInt(&ok);
            if (!ok || n < 0)
                return fail(QStringLiteral("--notes deve ser um número inteiro não negativo."));
            FisDb::createDatabase(cl.value(create), cl.isSet(demo), n);
            std::fprintf(stderr, "fis98100-server: banco criado em %s\n",
                         cl.value(create).toUtf8().constData());
            return 0;
        }

        const QString location =
            cl.isSet(database) ? cl.value(database) : FisDb::defaultDatabasePath();
        bool ok = false;
        const int p = cl.value(port).toInt(&ok);
        if (!ok || p < 0 || p > 65535)
            return fail(QStringLiteral("porta inválida: %1").arg(cl.value(port)));
        QHostAddress address;
        if (!address.setAddress(cl.value(listen)))
            return fail(QStringLiteral("endereço inválido: %1").arg(cl.value(listen)));

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
    } catch (const EHostError& e) {
        return fail(e.text());
    }
}
