// fis98100-call: calls one method of the application server from the command line.
//   fis98100-call [--host H] [--port P] [--timeout S] METHOD [ARG...]
// Each ARG is one JSON value. Prints {result, refs} as JSON and exits 0, or prints the
// error on stderr and exits 1 (2 for a usage error).
#include "CallJson.h"
#include "Connection.h"
#include "Envelope.h"
#include "MethodTable.h"
#include "core/HostExceptions.h"

#include <QCborArray>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <cmath>
#include <cstdio>

namespace {

constexpr int MaxTimeoutS = 86400;

int usage(const QString& why) {
    if (!why.isEmpty())
        std::fprintf(stderr, "fis98100-call: %s\n", why.toUtf8().constData());
    QString methods;
    for (const auto& m : FisProtocol::methods()) {
        QStringList kinds;
        for (const auto& a : m.args)
            kinds << FisProtocol::kindName(a.kind) + (a.byRef ? QStringLiteral("&") : QString());
        methods += QStringLiteral("  %1(%2)\n").arg(m.name, kinds.join(QStringLiteral(", ")));
    }
    std::fprintf(
        stderr,
        "uso: fis98100-call [--host H] [--port P] [--timeout S] [--user U] [--tls-ca ARQUIVO]\n"
        "                   [--tls-fingerprint SHA256] METHOD [ARG...]\n"
        "--user: entra como U; a senha vem de $FIS98100_PASSWORD ou da primeira linha da\n"
        "entrada padrão. --tls-ca / --tls-fingerprint: conexão TLS, servidor verificado pela AC\n"
        "ou pela impressão digital SHA-256 do seu certificado.\n"
        "Cada ARG é um valor JSON: \"texto\", número, \"AAAA-MM-DD\" para datas,\n"
        "{\"fields\": [[nome, tipo, tamanho], ...], \"rows\": [[...], ...]} para pacotes.\n"
        "Métodos (& = por referência):\n%s",
        methods.toUtf8().constData());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList a = app.arguments().mid(1);
    QString host = QStringLiteral("127.0.0.1");
    int port = FisProtocol::DefaultPort;
    int timeoutMs = 30000;
    QString user;
    TTlsSettings tls;
    while (!a.isEmpty() && a.first().startsWith(QLatin1String("--"))) {
        const QString opt = a.takeFirst();
        if (opt == QLatin1String("--help"))
            return usage({}), 0;
        if (a.isEmpty())
            return usage(QStringLiteral("falta o valor de %1").arg(opt));
        const QString val = a.takeFirst();
        bool ok = true;
        if (opt == QLatin1String("--host"))
            host = val;
        else if (opt == QLatin1String("--port")) {
            port = val.toInt(&ok);
            if (!ok || port < 1 || port > 65535)
                return usage(QStringLiteral("--port deve ser de 1 a 65535: %1").arg(val));
        } else if (opt == QLatin1String("--timeout")) {
            const double seconds = val.toDouble(&ok);
            // Zero, negative, infinite or beyond a day would mean waiting for ever.
            if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > MaxTimeoutS)
                return usage(QStringLiteral("--timeout deve ser um número de segundos maior que "
                                            "zero e até %1: %2")
                                 .arg(MaxTimeoutS)
                                 .arg(val));
            timeoutMs = int(std::ceil(seconds * 1000));
        } else if (opt == QLatin1String("--user"))
            user = val;
        else if (opt == QLatin1String("--tls-ca")) {
            tls.enabled = true;
            tls.caFile = val;
        } else if (opt == QLatin1String("--tls-fingerprint")) {
            tls.enabled = true;
            tls.fingerprint = val;
        } else
            return usage(QStringLiteral("opção desconhecida: %1").arg(opt));
        if (!ok)
            return usage(QStringLiteral("valor inválido para %1: %2").arg(opt, val));
    }
    if (a.isEmpty())
        return usage(QStringLiteral("falta o método"));
    const QString methodName = a.takeFirst();
    const FisProtocol::MethodSpec* sig = FisProtocol::findMethod(methodName);
    if (!sig)
        return usage(QStringLiteral("método desconhecido: %1").arg(methodName));
    if (a.size() != sig->args.size())
        return usage(QStringLiteral("%1 espera %2 argumentos, recebidos %3")
                         .arg(sig->name)
                         .arg(sig->args.size())
                         .arg(a.size()));
    try {
        QCborArray args;
        for (int i = 0; i < a.size(); ++i)
            args.append(FisCall::argFromJson(FisCall::parseJsonArg(a[i], i), sig->args[i].kind,
                                             sig->name, i));
        TNetConnection con;
        con.setHost(host);
        con.setPort(port);
        con.setTimeoutMs(timeoutMs);
        con.setConnectTimeoutMs(timeoutMs);
        con.setServerName(QString::fromLatin1(FisProtocol::ObjectName));
        con.setThrowException(false);
        con.setTlsSettings(tls);
        if (!user.isEmpty()) {
            QString password = qEnvironmentVariable("FIS98100_PASSWORD");
            if (password.isEmpty())
                password = QTextStream(stdin).readLine();
            if (const QString why = con.login(user, password); !why.isEmpty()) {
                std::fprintf(stderr, "%s\n", why.toUtf8().constData());
                return 1;
            }
        }
        const QList<int> byRef = sig->byRefIndexes();
        const TServerAnswer answer = con.call(sig->name, args, byRef);
        if (!answer.ok) {
            std::fprintf(stderr, "%s\n", answer.error.toUtf8().constData());
            return 1;
        }
        QJsonArray refs;
        for (int i : byRef)
            refs.append(FisCall::toJson(args.at(i)));
        QJsonObject out;
        out.insert(FisProtocol::Key::Result, FisCall::toJson(answer.payload));
        out.insert(FisProtocol::Key::Refs, refs);
        std::fprintf(stdout, "%s\n", QJsonDocument(out).toJson(QJsonDocument::Compact).constData());
        return 0;
    } catch (const EHostError& e) {
        std::fprintf(stderr, "fis98100-call: %s\n", e.text().toUtf8().constData());
        return 1;
    }
}
