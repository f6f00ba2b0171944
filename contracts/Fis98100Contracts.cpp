#include "Fis98100Contracts.h"

#include <QCborArray>
#include <initializer_list>

namespace {

// One positional argument: its wire value and, for a by-reference text, where the value the
// server ends with goes. A QString& is by reference, a const QString& is not.
struct TArg {
    QCborValue value;
    QString* ref = nullptr;

    TArg(QString& s) : value(s), ref(&s) {}
    TArg(const QString& s) : value(s) {}
    TArg(double d) : value(d) {}
    TArg(const QDateTime& dt) : value(cborFromDateTime(dt)) {}
    TArg(const TDataPacket& p) : value(p.toCbor()) {}
};

// Sends the call as the method table describes it and copies what the server left in the
// by-reference arguments back into the caller's texts.
TServerAnswer run(TSocketConnection& con, FisProtocol::MethodId id,
                  std::initializer_list<TArg> args) {
    const FisProtocol::MethodSpec& entry = FisProtocol::method(id);
    Q_ASSERT(qsizetype(args.size()) == entry.args.size());
    if (con.serverName().isEmpty())
        con.setServerName(QString::fromLatin1(FisProtocol::ObjectName));
    QCborArray wire;
    for (const TArg& a : args)
        wire.append(a.value);
    const QList<int> byRef = entry.byRefIndexes();
    TServerAnswer answer = con.call(entry.name, wire, byRef);
    for (int i : byRef) {
        QString* target = std::data(args)[i].ref;
        Q_ASSERT(target); // the table and the typed signature agree
        const QCborValue v = wire.at(i);
        if (!target)
            continue;
        if (v.isString())
            *target = v.toString();
        else if (v.isNull() || v.isUndefined())
            target->clear();
    }
    return answer;
}

using M = FisProtocol::MethodId;

} // namespace

TServerAnswer GetTipoOper(TSocketConnection& con, QString& entrSaid) {
    return run(con, M::GetTipoOper, {entrSaid});
}

TServerAnswer GetSerie(TSocketConnection& con, const QString& cdEmpresa, const QString& inscEsta,
                       const QString& inscMuni, QString& entrSaid) {
    return run(con, M::GetSerie, {cdEmpresa, inscEsta, inscMuni, entrSaid});
}

TServerAnswer GetNotaFiscal(TSocketConnection& con, const QString& cdEmpresa,
                            const QString& inscEsta, const QString& inscMuni, QString& entrSaid,
                            QString& codSerie, QString& codTipoOper, const QDateTime& entIni,
                            const QDateTime& entFim, const QDateTime& emiIni,
                            const QDateTime& emiFim, QString& inscricao, const QString& cdImposto) {
    return run(con, M::GetNotaFiscal,
               {cdEmpresa, inscEsta, inscMuni, entrSaid, codSerie, codTipoOper, entIni, entFim,
                emiIni, emiFim, inscricao, cdImposto});
}

TServerAnswer setDarfDoc(TSocketConnection& con, const QString& cdFilial, const QString& nrLanctoNf,
                         QString& cdImposto, const QString& idStatusGuia, double vrMultaGuia,
                         double vrJuroGuia, const QString& dtVencGuia,
                         const QString& dsHistGuiaPagDoc, const QString& nrLanctoNfDarf,
                         const QString& cdReceGuia) {
    return run(con, M::setDarfDoc,
               {cdFilial, nrLanctoNf, cdImposto, idStatusGuia, vrMultaGuia, vrJuroGuia, dtVencGuia,
                dsHistGuiaPagDoc, nrLanctoNfDarf, cdReceGuia});
}

TServerAnswer GetParamFiscal(TSocketConnection& con) {
    return run(con, M::GetParamFiscal, {});
}

TServerAnswer GeraContaPagar(TSocketConnection& con, const QString& cdEmpresa, QString& cdImposto,
                             const TDataPacket& contaPagar, QString& barra, QString& linhaDigi,
                             const QString& historico) {
    return run(con, M::GeraContaPagar,
               {cdEmpresa, cdImposto, contaPagar, barra, linhaDigi, historico});
}

TServerAnswer GetVdCodRece(TSocketConnection& con, const QString& cdImposto,
                           const QString& cdRece) {
    return run(con, M::GetVdCodRece, {cdImposto, cdRece});
}

TServerAnswer GetCodRecePad(TSocketConnection& con, const QString& cdImposto) {
    return run(con, M::GetCodRecePad, {cdImposto});
}
