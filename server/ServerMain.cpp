// fis98100-server: the application server of the object FisProtocol::ObjectName.
#include "Accounts.h"
#include "AppServer.h"
#include "Backup.h"
#include "DataAccess.h"
#include "FisDatabase.h"
#include "MethodTable.h"
#include "SchemaUpgrade.h"
#include "SplitRead.h"
#include "core/Frame.h"
#include "core/HostExceptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QSqlQuery>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTextStream>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <malloc.h>
#include <optional>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {
int g_stopPipe[2] = {-1, -1};

extern "C" void askToStop(int) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = write(g_stopPipe[1], &c, 1);
}

// SIGTERM and SIGINT stop the server through the engine's own shutdown: it cancels the calls in
// flight, rolls their transactions back and detaches, so the lock table and the database file
// that other processes share are left consistent. Dying in the middle of an engine call instead
// can leave the shared lock table held, and the client or another server then hangs on it. The
// embedded engine would take these signals for itself and never end the process.
void stopOnSignals() {
    if (pipe(g_stopPipe) != 0)
        return;
    std::thread([] {
        char c;
        while (read(g_stopPipe[0], &c, 1) < 0 && errno == EINTR) {
        }
        std::thread([] {
            std::this_thread::sleep_for(std::chrono::seconds(10));
            std::fprintf(stderr, "fis98100-server: o banco não encerrou em 10 s; saída forçada\n");
            _exit(1);
        }).detach();
        const bool stopped = FisDb::shutdown(8000);
        std::fflush(stderr);
        _exit(stopped ? 0 : 1);
    }).detach();
    std::signal(SIGTERM, askToStop);
    std::signal(SIGINT, askToStop);
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
    QCommandLineOption loadParts{
        QStringLiteral("load-parts"),
        QStringLiteral("Partes de uma lista de notas lidas ao mesmo tempo, cada uma numa conexão "
                       "própria ao banco (1 ou 2; padrão 2 com dois núcleos ou mais)."),
        QStringLiteral("N"), QString::number(FisServer::splitReadParts())};
    QCommandLineOption backup{
        QStringLiteral("backup"),
        QStringLiteral("Copia o banco (--database) para FILE com o gbak, sem parar o trabalho, e "
                       "termina."),
        QStringLiteral("FILE")};
    QCommandLineOption restore{
        QStringLiteral("restore"),
        QStringLiteral("Restaura FILE num banco novo em LOCATION (argumento seguinte) e termina."),
        QStringLiteral("FILE")};
    QCommandLineOption tlsCert{
        QStringLiteral("tls-cert"),
        QStringLiteral("Certificado do servidor (PEM, com a cadeia); com --tls-key, só TLS."),
        QStringLiteral("FILE")};
    QCommandLineOption tlsKey{QStringLiteral("tls-key"),
                              QStringLiteral("Chave privada do certificado (PEM)."),
                              QStringLiteral("FILE")};
    QCommandLineOption insecure{
        QStringLiteral("insecure-network"),
        QStringLiteral("Aceita escutar fora do loopback sem TLS (o tráfego passa às claras).")};
    QCommandLineOption addUser{
        QStringLiteral("add-user"),
        QStringLiteral("Cadastra o usuário NAME (senha lida do terminal ou da entrada padrão) "
                       "e termina."),
        QStringLiteral("NAME")};
    QCommandLineOption disableUser{QStringLiteral("disable-user"),
                                   QStringLiteral("Desativa o usuário NAME e termina."),
                                   QStringLiteral("NAME")};
    QCommandLineOption enableUser{QStringLiteral("enable-user"),
                                  QStringLiteral("Reativa o usuário NAME e termina."),
                                  QStringLiteral("NAME")};
    QCommandLineOption setPassword{
        QStringLiteral("set-password"),
        QStringLiteral("Define a senha do usuário NAME (lida do terminal ou da entrada padrão) "
                       "e termina."),
        QStringLiteral("NAME")};
    QCommandLineOption companies{
        QStringLiteral("companies"),
        QStringLiteral("Com --add-user ou --set-companies: empresas permitidas, separadas por "
                       "vírgula (vazio = todas)."),
        QStringLiteral("LIST")};
    QCommandLineOption setCompanies{
        QStringLiteral("set-companies"),
        QStringLiteral("Define as empresas do usuário NAME (--companies) e termina."),
        QStringLiteral("NAME")};
    QCommandLineOption audit{
        QStringLiteral("audit"),
        QStringLiteral("Mostra quem gravou e emitiu as guias da nota FILIAL/LANCAMENTO e termina."),
        QStringLiteral("NOTE")};
    QCommandLineParser cl;

    explicit TOptions(const QCoreApplication& app) {
        cl.setApplicationDescription(
            QStringLiteral("Servidor de aplicação do objeto %1 (Emissão da Darf por Documento).")
                .arg(QLatin1String(FisProtocol::ObjectName)));
        cl.addHelpOption();
        cl.addOptions({listen,     port,         database,       create,       demo,
                       notes,      firebirdRoot, maxConnections, idleTimeout,  readTimeout,
                       maxRequest, lockWait,     loadParts,      backup,       restore,
                       tlsCert,    tlsKey,       insecure,       addUser,      disableUser,
                       enableUser, setPassword,  companies,      setCompanies, audit});
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

// A password typed at the terminal (twice, without echo), or the first line of standard input.
QString readPassword(const QString& user) {
    QTextStream in(stdin);
    if (!isatty(STDIN_FILENO))
        return in.readLine();
    termios old{};
    tcgetattr(STDIN_FILENO, &old);
    termios quiet = old;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    std::fprintf(stderr, "Senha de %s: ", user.toUtf8().constData());
    const QString first = in.readLine();
    std::fprintf(stderr, "\nRepita a senha: ");
    const QString second = in.readLine();
    std::fprintf(stderr, "\n");
    tcsetattr(STDIN_FILENO, TCSANOW, &old);
    if (first != second)
        throw EHostError(QStringLiteral("As senhas digitadas não conferem."));
    return first;
}

QStringList companyList(const QString& text) {
    QStringList out;
    for (const QString& c : text.split(QLatin1Char(','), Qt::SkipEmptyParts))
        out << c.trimmed();
    return out;
}

QString databaseOf(const TOptions& o) {
    return o.cl.isSet(o.database) ? o.cl.value(o.database) : FisDb::defaultDatabasePath();
}

// The administrator's commands on accounts and the audit trail; -1 when none was asked for.
int administer(const TOptions& o) {
    const QList<const QCommandLineOption*> commands = {
        &o.addUser, &o.disableUser, &o.enableUser, &o.setPassword, &o.setCompanies, &o.audit};
    const auto asked = std::find_if(commands.begin(), commands.end(),
                                    [&](const QCommandLineOption* c) { return o.cl.isSet(*c); });
    if (asked == commands.end())
        return -1;
    const QString name = o.cl.value(**asked);
    const QString conn = QStringLiteral("fis98100-admin");
    int rc = 0;
    {
        QSqlDatabase db = FisDb::openConnection(databaseOf(o), conn);
        FisServer::ensureAccountSchema(db);
        if (o.cl.isSet(o.addUser)) {
            FisServer::addAccount(db, name, {}, companyList(o.cl.value(o.companies)));
            // The account exists only once it has a password: a failure here removes it.
            try {
                FisServer::setPassword(db, name, readPassword(name));
            } catch (const EHostError&) {
                QSqlQuery q(db);
                q.prepare(QStringLiteral("DELETE FROM USUARIO WHERE NMUSUARIO = ?"));
                q.addBindValue(name);
                q.exec();
                throw;
            }
            std::fprintf(stderr, "fis98100-server: usuário %s cadastrado\n",
                         name.toUtf8().constData());
        } else if (o.cl.isSet(o.setPassword)) {
            FisServer::setPassword(db, name, readPassword(name));
            std::fprintf(stderr, "fis98100-server: senha de %s definida\n",
                         name.toUtf8().constData());
        } else if (o.cl.isSet(o.disableUser) || o.cl.isSet(o.enableUser)) {
            FisServer::setEnabled(db, name, o.cl.isSet(o.enableUser));
            std::fprintf(stderr, "fis98100-server: usuário %s %s\n", name.toUtf8().constData(),
                         o.cl.isSet(o.enableUser) ? "reativado" : "desativado");
        } else if (o.cl.isSet(o.setCompanies)) {
            FisServer::setCompanies(db, name, companyList(o.cl.value(o.companies)));
            std::fprintf(stderr, "fis98100-server: empresas de %s definidas\n",
                         name.toUtf8().constData());
        } else {
            const QStringList parts = name.split(QLatin1Char('/'));
            if (parts.size() != 2)
                throw EHostError(QStringLiteral("--audit espera FILIAL/LANCAMENTO, como 0001/77."));
            const auto entries = FisServer::noteHistory(db, parts[0], parts[1]);
            QTextStream out(stdout);
            for (const FisServer::TAuditEntry& e : entries)
                out << e.when.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss")) << '\t' << e.clerk
                    << '\t' << e.tax << '\t'
                    << (e.event == QLatin1String("E") ? QStringLiteral("emitida")
                                                      : QStringLiteral("gravada"))
                    << '\t' << e.detail << '\n';
            if (entries.isEmpty())
                std::fprintf(stderr, "fis98100-server: nenhum registro para a nota %s\n",
                             name.toUtf8().constData());
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(conn);
    return rc;
}

// The certificate and key of --tls-cert/--tls-key, or nothing when neither was given.
std::optional<QSslConfiguration> tlsConfiguration(const TOptions& o) {
    if (!o.cl.isSet(o.tlsCert) && !o.cl.isSet(o.tlsKey))
        return std::nullopt;
    if (!o.cl.isSet(o.tlsCert) || !o.cl.isSet(o.tlsKey))
        throw EHostError(QStringLiteral("TLS: --tls-cert e --tls-key vão juntos."));
    if (!QSslSocket::supportsSsl())
        throw EHostError(QStringLiteral("TLS: a biblioteca de TLS não está disponível."));
    const QList<QSslCertificate> chain =
        QSslCertificate::fromPath(o.cl.value(o.tlsCert), QSsl::Pem);
    if (chain.isEmpty())
        throw EHostError(
            QStringLiteral("TLS: nenhum certificado PEM em %1.").arg(o.cl.value(o.tlsCert)));
    QFile keyFile(o.cl.value(o.tlsKey));
    if (!keyFile.open(QIODevice::ReadOnly))
        throw EHostError(QStringLiteral("TLS: não foi possível ler a chave %1: %2.")
                             .arg(o.cl.value(o.tlsKey), keyFile.errorString()));
    const QByteArray pem = keyFile.readAll();
    QSslKey key;
    for (QSsl::KeyAlgorithm alg : {QSsl::Rsa, QSsl::Ec})
        if (key.isNull())
            key = QSslKey(pem, alg, QSsl::Pem);
    if (key.isNull())
        throw EHostError(QStringLiteral("TLS: a chave %1 não é uma chave PEM RSA ou EC sem senha.")
                             .arg(o.cl.value(o.tlsKey)));
    QSslConfiguration c = QSslConfiguration::defaultConfiguration();
    c.setLocalCertificateChain(chain);
    c.setPrivateKey(key);
    c.setProtocol(QSsl::TlsV1_2OrLater);
    c.setPeerVerifyMode(QSslSocket::VerifyNone);
    return c;
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
    const auto parts = wholeOption(o, o.loadParts, 1, 2);
    if (!conns || !idle || !read || !request || !lock || !parts)
        return std::nullopt;
    FisServer::setLockWaitMs(*lock);
    FisServer::setSplitReadParts(int(*parts));
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
    const QString location = databaseOf(o);
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
                        "%1 bytes, --load-parts 1 ou 2.")
                        .arg(FisFrame::DefaultMaxFrame));

    TServerSecurity security;
    security.loopbackOnly = address.isLoopback();
    security.tls = tlsConfiguration(o);
    // Clerks' passwords and every company's notes must not cross an office network in clear.
    if (!security.loopbackOnly && !security.tls && !o.cl.isSet(o.insecure))
        return fail(QStringLiteral("recusado escutar em %1 sem TLS: senhas e dados fiscais "
                                   "passariam às claras pela rede. Informe --tls-cert e "
                                   "--tls-key, ou --insecure-network para aceitar o risco.")
                        .arg(address.toString()));

    // Fail at start rather than at the first call when the database cannot be reached.
    {
        QSqlDatabase probe = FisDb::openConnection(location, QStringLiteral("fis98100-probe"));
        FisServer::ensureAccountSchema(probe);
        // Another server on the file may hold the tables the upgrade alters: that one (or the
        // next start) upgrades it, and the older keys keep the same rules meanwhile.
        if (const QString why = FisDb::upgradeSchema(probe); !why.isEmpty())
            serverLog(QStringLiteral("fis98100-server: esquema não atualizado (%1); o servidor "
                                     "segue com o esquema anterior.")
                          .arg(why.simplified()));
        // A single PC works out of the box: its user gets an account without a password, good
        // on this machine only, until they set one.
        if (security.loopbackOnly && FisServer::accountCount(probe) == 0) {
            const QString local = FisServer::localUserName();
            try {
                FisServer::addAccount(probe, local, {}, {}, true);
                serverLog(QStringLiteral("fis98100-server: conta local \"%1\" criada (sem senha, "
                                         "só neste computador; defina uma com --set-password)")
                              .arg(local));
            } catch (const EHostError& e) {
                // A login name the accounts cannot take: every clerk then logs in.
                serverLog(
                    QStringLiteral("fis98100-server: conta local não criada: %1").arg(e.text()));
            }
        }
        probe.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fis98100-probe"));

    stopOnSignals();

    TServerLimits effective = *limits;
    if (const qint64 byFds = clientsByDescriptors(); byFds < effective.maxConnections) {
        effective.maxConnections = int(byFds);
        serverLog(QStringLiteral("fis98100-server: até %1 conexões, pelo limite de descritores de "
                                 "arquivo do processo")
                      .arg(byFds));
    }
    TAppServer server(location, effective, security);
    if (!server.listen(address, quint16(p)))
        return fail(QStringLiteral("não foi possível escutar em %1:%2: %3")
                        .arg(address.toString())
                        .arg(p)
                        .arg(server.errorString()));
    serverLog(QStringLiteral("fis98100-server: escutando em %1:%2, banco %3%4")
                  .arg(server.serverAddress().toString())
                  .arg(server.serverPort())
                  .arg(location, security.tls ? QStringLiteral(", TLS") : QString()));
    return app.exec();
}

} // namespace

int main(int argc, char** argv) {
    // Large blocks (frames, answers) come from the system and go back to it when freed, instead
    // of staying in the heap of whichever thread served them.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    // Every client thread runs an event loop that serves a socket and two timers; Qt's own loop
    // does that with less per call than the GLib one (a tenth less CPU per small call).
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fis98100-server"));
    const TOptions options(app);
    try {
        prepareFirebird(options.cl.value(options.firebirdRoot));
        if (options.cl.isSet(options.create))
            return createDatabase(options);
        if (options.cl.isSet(options.backup) || options.cl.isSet(options.restore))
            return backupOrRestore(options);
        if (const int rc = administer(options); rc >= 0)
            return rc;
        return serve(app, options);
    } catch (const EHostError& e) {
        return fail(e.text());
    }
}
