#include "Dispatcher.h"

#include "Accounts.h"
#include "DataAccess.h"
#include "Envelope.h"
#include "FbSession.h"
#include "MethodTable.h"
#include "Methods.h"
#include "core/Frame.h"

#include "Session.h"
#include <cstring>

#include "core/HostExceptions.h"

#include <QSqlQuery>
#include <exception>

namespace {

namespace Key = FisProtocol::Key;

FisServer::TMethodResult run(FisProtocol::MethodId id, QSqlDatabase& db, QCborArray& args) {
    using M = FisProtocol::MethodId;
    switch (id) {
    case M::GetTipoOper:
        return FisServer::GetTipoOper(db, args);
    case M::GetSerie:
        return FisServer::GetSerie(db, args);
    case M::GetNotaFiscal:
        return FisServer::GetNotaFiscal(db, args);
    case M::setDarfDoc:
        return FisServer::setDarfDoc(db, args);
    case M::GetParamFiscal:
        return FisServer::GetParamFiscal(db, args);
    case M::GeraContaPagar:
        return FisServer::GeraContaPagar(db, args);
    case M::GetVdCodRece:
        return FisServer::GetVdCodRece(db, args);
    case M::GetCodRecePad:
        return FisServer::GetCodRecePad(db, args);
    }
    throw EHostError(QStringLiteral("Método sem implementação."));
}

bool isRead(FisProtocol::MethodId id) {
    using M = FisProtocol::MethodId;
    return id != M::setDarfDoc && id != M::GeraContaPagar;
}

} // namespace

QCborMap TDispatcher::errorAnswer(const QCborValue& id, const QString& text) {
    QCborMap m;
    m.insert(Key::Id, id.isInteger() ? id : QCborValue(QCborValue::Null));
    m.insert(Key::Error, text);
    return m;
}

QString TDispatcher::readRequest(const QCborValue& request, TRequest& out, TLog& log) {
    if (!request.isMap())
        return QStringLiteral("Requisição inválida: esperado um mapa {id, object, method, args}.");
    const QCborMap req = request.toMap();
    if (!req.value(Key::Id).isInteger())
        return QStringLiteral("Requisição inválida: id deve ser um número inteiro.");
    out.id = req.value(Key::Id);
    const QCborValue object = req.value(Key::Object);
    const QCborValue method = req.value(Key::Method);
    const QCborValue argv = req.value(Key::Args);
    if (method.isString())
        log.method = method.toString().left(64);
    const QLatin1String objectName(FisProtocol::ObjectName);
    if (!object.isString() || object.toString() != objectName)
        return QStringLiteral("Objeto desconhecido: \"%1\" (esperado \"%2\").")
            .arg(object.toString().left(100), objectName);
    if (!method.isString())
        return QStringLiteral("Requisição inválida: method deve ser texto.");
    out.method = FisProtocol::findMethod(method.toString());
    if (!out.method)
        return QStringLiteral("Método desconhecido: \"%1\".").arg(method.toString().left(100));
    const QString& name = out.method->name;
    log.method = name;
    if (!argv.isArray())
        return QStringLiteral("%1: args deve ser uma lista.").arg(name);
    out.args = argv.toArray();
    const auto& kinds = out.method->args;
    if (out.args.size() != kinds.size())
        return QStringLiteral("%1: esperados %2 argumentos, recebidos %3.")
            .arg(name)
            .arg(kinds.size())
            .arg(out.args.size());
    for (int i = 0; i < kinds.size(); ++i)
        if (const QString why = FisProtocol::checkArg(name, i, kinds[i].kind, out.args[i]);
            !why.isEmpty())
            return why;
    return QString();
}

QCborMap TDispatcher::login(const QCborMap& request, TLog& log) {
    const QCborValue id = request.value(Key::Id);
    log.method = FisProtocol::Session::Login;
    const QCborArray args = request.value(Key::Args).toArray();
    if (!m_session || args.size() != 2 || !args[0].isString() || !args[1].isString()) {
        const QString text = QStringLiteral("Login: esperados usuário e senha (texto).");
        log.outcome = QStringLiteral("erro: ") + text;
        return errorAnswer(id, text);
    }
    const QString user = args[0].toString().left(64);
    QString why;
    try {
        QSqlDatabase db = m_database();
        why = m_session->login(db, user, args[1].toString());
    } catch (const EHostError& e) {
        log.outcome = QStringLiteral("erro: ") + e.text();
        return errorAnswer(id, QStringLiteral("Login: o banco de dados do servidor de aplicação "
                                              "está indisponível."));
    }
    if (!why.isEmpty()) {
        log.outcome = QStringLiteral("recusado: %1").arg(user);
        QCborMap m = errorAnswer(id, why);
        m.insert(FisProtocol::Session::NeedLogin, true);
        return m;
    }
    log.outcome = QStringLiteral("ok %1").arg(user);
    log.clerk = m_session->clerk();
    QCborMap m;
    m.insert(Key::Id, id);
    m.insert(Key::Result, m_session->clerk());
    m.insert(Key::Refs, QCborMap());
    return m;
}

QString TDispatcher::companyRefusal(QSqlDatabase& db, const TRequest& req,
                                    const FisServer::TAccount& clerk) {
    if (clerk.companies.isEmpty())
        return {};
    using M = FisProtocol::MethodId;
    QString company;
    switch (req.method->id) {
    case M::GetSerie:
    case M::GetNotaFiscal:
    case M::GeraContaPagar:
        company = req.args[0].toString().trimmed();
        break;
    case M::setDarfDoc: {
        QSqlQuery q(db);
        q.prepare(QStringLiteral(
            "SELECT CDEMPRESA FROM NOTAFISCAL WHERE CDFILIAL = ? AND NRLANCTONF = ?"));
        q.addBindValue(req.args[0].toString().trimmed());
        q.addBindValue(req.args[1].toString().trimmed());
        // An unknown note is the method's to refuse.
        if (!q.exec() || !q.next())
            return {};
        company = q.value(0).toString();
        break;
    }
    default:
        return {};
    }
    if (company.isEmpty())
        return QStringLiteral("%1: o usuário \"%2\" não tem acesso a todas as empresas; informe "
                              "a empresa.")
            .arg(req.method->name, clerk.name);
    if (!clerk.companies.contains(company))
        return QStringLiteral("%1: o usuário \"%2\" não tem acesso à empresa %3.")
            .arg(req.method->name, clerk.name, company.left(10));
    return {};
}

QCborMap TDispatcher::handle(const QCborValue& request, TLog& log) {
    return handle(request, log, nullptr);
}

QByteArray TDispatcher::tooLarge(const QCborValue& id, qint64 size, qint64 maxAnswer) {
    return FisFrame::encode(
        errorAnswer(id, QStringLiteral("A resposta (%1 bytes) excede o limite de %2 bytes; "
                                       "restrinja o filtro.")
                            .arg(size)
                            .arg(maxAnswer)));
}

QByteArray TDispatcher::handleFrame(const QCborValue& request, TLog& log, qint64 maxAnswer) {
    FisServer::setAnswerLimit(maxAnswer);
    FisServer::TMethodResult streamed;
    const QCborMap m = handle(request, log, &streamed);
    const QCborValue id = m.value(Key::Id);
    if (streamed.encoded.isEmpty() && !streamed.oversized) {
        const QByteArray frame = FisFrame::encode(m);
        return frame.size() - 4 > maxAnswer ? tooLarge(id, frame.size() - 4, maxAnswer) : frame;
    }
    // {id, result, refs} around the packet: the head in the room before it, refs after it.
    QByteArray head;
    {
        QCborMap prefix;
        prefix.insert(Key::Id, id);
        prefix.insert(Key::Result, QCborValue());
        head = QCborValue(prefix).toCbor();
        head.chop(1);         // the placeholder result (undefined, one byte)
        head[0] = char(0xa3); // three entries, refs included
    }
    QByteArray tail = QCborValue(Key::Refs).toCbor() + m.value(Key::Refs).toCbor();
    const qint64 packet =
        streamed.oversized ? streamed.oversized : streamed.encoded.size() - streamed.encodedAt;
    const qint64 item = head.size() + packet + tail.size();
    if (item > maxAnswer)
        return tooLarge(id, item, maxAnswer);
    QByteArray frame = std::move(streamed.encoded);
    const qsizetype start = streamed.encodedAt - head.size() - 4;
    Q_ASSERT(start >= 0);
    char* d = frame.data() + start;
    const quint32 len = quint32(item);
    d[0] = char(len >> 24);
    d[1] = char(len >> 16);
    d[2] = char(len >> 8);
    d[3] = char(len);
    std::memcpy(d + 4, head.constData(), size_t(head.size()));
    frame.append(tail);
    // Dropping the front moves the data's start, not the data.
    frame.remove(0, start);
    return frame;
}

QCborMap TDispatcher::handle(const QCborValue& request, TLog& log,
                             FisServer::TMethodResult* streamed) {
    log.method = QStringLiteral("-");
    if (request.isMap() && request.toMap().value(Key::Id).isInteger() &&
        request.toMap()
                .value(Key::Method)
                .toString()
                .compare(FisProtocol::Session::Login, Qt::CaseInsensitive) == 0)
        return login(request.toMap(), log);
    TRequest req;
    auto refuse = [&](const QString& text) {
        log.outcome = QStringLiteral("erro: ") + text;
        return errorAnswer(req.id, text);
    };
    QString name = QStringLiteral("-");
    // The client reads a clear text; what the driver or the library said goes to the log only.
    auto refuseLogged = [&](const QString& text, const QString& detail) {
        QCborMap m = refuse(text);
        if (!detail.isEmpty())
            log.outcome += QStringLiteral(" [") + detail.simplified() + QLatin1Char(']');
        return m;
    };
    auto unavailable = [&](const EHostError& e) {
        return refuseLogged(
            QStringLiteral("%1: o banco de dados do servidor de aplicação está indisponível.")
                .arg(name),
            e.text());
    };
    QSqlDatabase db;
    // The connection's read-only transaction ends with the call unless the server keeps it.
    struct TEndRead {
        QSqlDatabase& db;
        bool keep;
        ~TEndRead() {
            if (!keep && db.isValid())
                FisServer::endReadTransaction(db);
        }
    } endRead{db, m_keepRead};
    FisServer::TAccount clerk;
    if (m_session) {
        // Before the clerk is known nothing else of the request is looked at: a caller without
        // a session learns not even which methods and arguments there are.
        if (request.isMap()) {
            req.id = request.toMap().value(Key::Id);
            if (const QCborValue m = request.toMap().value(Key::Method); m.isString())
                name = log.method = m.toString().left(64);
        }
        try {
            db = m_database();
            QString why;
            try {
                why = m_session->admit(db, clerk);
            } catch (const EHostError&) {
                // Most likely the attachment is gone (killed, database restarted): the account is
                // read once more on a new one.
                FisServer::dropLostConnection(db);
                db = m_database();
                why = m_session->admit(db, clerk);
            }
            if (!why.isEmpty()) {
                QCborMap m = refuse(why);
                m.insert(FisProtocol::Session::NeedLogin, true);
                return m;
            }
        } catch (const EHostError& e) {
            return unavailable(e);
        }
    }
    if (const QString why = readRequest(request, req, log); !why.isEmpty())
        return refuse(why);
    name = req.method->name;
    try {
        if (!m_session)
            db = m_database();
        else if (const QString why = companyRefusal(db, req, clerk); !why.isEmpty())
            return refuse(why);
    } catch (const EHostError& e) {
        return unavailable(e);
    }
    log.clerk = clerk.name;
    const FisServer::TClerkScope scope(clerk.name);
    // A lost database connection is closed, so that the next call opens a new one; a read runs
    // again once on it at once, a write answers the failure (its commit may have happened).
    auto runOnce = [&](const TRequest& r, QSqlDatabase& d) {
        const QCborArray sent = r.args;
        try {
            return run(r.method->id, d, req.args);
        } catch (const FisServer::EConnectionLost&) {
            FisServer::dropLostConnection(d);
            if (!isRead(r.method->id))
                throw;
        }
        req.args = sent;
        try {
            d = m_database();
        } catch (const EHostError& e) {
            throw FisServer::EDbError(
                QStringLiteral("%1: o banco de dados do servidor de aplicação está indisponível.")
                    .arg(r.method->name),
                e.text());
        }
        return run(r.method->id, d, req.args);
    };
    try {
        FisServer::TMethodResult result = runOnce(req, db);
        QCborMap refs;
        for (int i : req.method->byRefIndexes())
            refs.insert(qint64(i), req.args[i]);
        QCborMap m;
        m.insert(Key::Id, req.id);
        if (streamed && (!result.encoded.isEmpty() || result.oversized)) {
            streamed->encoded = std::move(result.encoded);
            streamed->encodedAt = result.encodedAt;
            streamed->oversized = result.oversized;
            m.insert(Key::Result, QCborValue());
        } else if (!result.encoded.isEmpty()) {
            m.insert(Key::Result, QCborValue::fromCbor(result.encoded.mid(result.encodedAt)));
        } else if (result.oversized) {
            throw EHostError(QStringLiteral("A resposta (%1 bytes) excede o limite de %2 bytes; "
                                            "restrinja o filtro.")
                                 .arg(result.oversized)
                                 .arg(FisServer::answerLimit()));
        } else {
            m.insert(Key::Result, result.value);
        }
        m.insert(Key::Refs, refs);
        log.outcome = result.outcome();
        return m;
    } catch (const FisServer::EDbError& e) {
        return refuseLogged(e.text(), e.detail());
    } catch (const EHostError& e) {
        return refuse(e.text());
    } catch (const std::exception& e) {
        return refuseLogged(QStringLiteral("%1: erro interno.").arg(name),
                            QString::fromLocal8Bit(e.what()));
    } catch (...) {
        return refuse(QStringLiteral("%1: erro interno.").arg(name));
    }
}
