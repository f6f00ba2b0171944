#include "Dispatcher.h"

#include "Methods.h"
#include "Protocol.h"
#include "core/HostExceptions.h"

#include <QCborArray>
#include <exception>

QCborMap TDispatcher::errorAnswer(const QCborValue& id, const QString& text) {
    QCborMap m;
    m.insert(QStringLiteral("id"), id.isInteger() ? id : QCborValue(QCborValue::Null));
    m.insert(QStringLiteral("error"), text);
    return m;
}

QCborMap TDispatcher::handle(const QCborValue& request, TLog& log) {
    log.method = QStringLiteral("-");
    auto refuse = [&](const QCborValue& id, const QString& text) {
        log.outcome = QStringLiteral("erro: ") + text;
        return errorAnswer(id, text);
    };
    if (!request.isMap())
        return refuse({}, QStringLiteral("Requisição inválida: esperado um mapa {id, object, "
                                         "method, args}."));
    const QCborMap req = request.toMap();
    const QCborValue id = req.value(QStringLiteral("id"));
    if (!id.isInteger())
        return refuse({}, QStringLiteral("Requisição inválida: id deve ser um número inteiro."));
    const QCborValue object = req.value(QStringLiteral("object"));
    const QCborValue method = req.value(QStringLiteral("method"));
    const QCborValue argv = req.value(QStringLiteral("args"));
    if (method.isString())
        log.method = method.toString().left(64);
    if (!object.isString() || object.toString() != QLatin1String(FisProtocol::ObjectName))
        return refuse(
            id, QStringLiteral("Objeto desconhecido: \"%1\" (esperado \"%2\").")
                    .arg(object.toString().left(100), QLatin1String(FisProtocol::ObjectName)));
    if (!method.isString())
        return refuse(id, QStringLiteral("Requisição inválida: method deve ser texto."));
    const FisProtocol::MethodSpec* sig = FisProtocol::findMethod(method.toString());
    if (!sig)
        return refuse(
            id, QStringLiteral("Método desconhecido: \"%1\".").arg(method.toString().left(100)));
    log.method = sig->name;
    if (!argv.isArray())
        return refuse(id, QStringLiteral("%1: args deve ser uma lista.").arg(sig->name));
    QCborArray args = argv.toArray();
    if (args.size() != sig->args.size())
        return refuse(id, QStringLiteral("%1: esperados %2 argumentos, recebidos %3.")
                              .arg(sig->name)
                              .arg(sig->args.size())
                              .arg(args.size()));
    for (int i = 0; i < sig->args.size(); ++i)
        if (const QString why = FisProtocol::checkArg(sig->name, i, sig->args[i].kind, args[i]);
            !why.isEmpty())
            return refuse(id, why);

    try {
        TFisMethods methods(m_database());
        const QCborValue result = methods.call(sig->name, args);
        QCborMap refs;
        for (int i : sig->byRefIndexes())
            refs.insert(qint64(i), args[i]);
        QCborMap m;
        m.insert(QStringLiteral("id"), id);
        m.insert(QStringLiteral("result"), result);
        m.insert(QStringLiteral("refs"), refs);
        if (result.isString())
            log.outcome = QStringLiteral("recusado: ") + result.toString();
        else if (result.isArray() && sig->name == QLatin1String("GeraContaPagar")) {
            // The answer's kind and key: "MSG CONTAPAGAR_OK", "ERR EMIT", "ERR ERRO_BENEFICIARIO".
            const QCborArray row = result.toArray()
                                       .at(0)
                                       .toMap()
                                       .value(QStringLiteral("rows"))
                                       .toArray()
                                       .at(0)
                                       .toArray();
            log.outcome = row.at(0).toString() + QLatin1Char(' ') + row.at(1).toString();
        } else if (methods.lastRows() >= 0)
            log.outcome = QStringLiteral("ok %1 linhas").arg(methods.lastRows());
        else
            log.outcome = QStringLiteral("ok");
        if (!methods.lastRemark().isEmpty())
            log.outcome += QStringLiteral(" (") + methods.lastRemark() + QLatin1Char(')');
        return m;
    } catch (const EHostError& e) {
        return refuse(id, e.text());
    } catch (const std::exception& e) {
        return refuse(id, QStringLiteral("%1: erro interno: %2")
                              .arg(sig->name, QString::fromLocal8Bit(e.what())));
    } catch (...) {
        return refuse(id, QStringLiteral("%1: erro interno.").arg(sig->name));
    }
}
