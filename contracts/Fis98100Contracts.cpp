#include "Fis98100Contracts.h"

#include <QCborArray>

namespace {

QCborValue dateArg(const QDateTime& dt) {
    return cborFromDateTime(dt);
}

TServerAnswer run(TSocketConnection& con, const char* method, QCborArray& args,
                  const QList<int>& byRef) {
    if (con.serverName().isEmpty())
        con.setServerName(QString::fromLatin1(Fis98100::ServerName));
    return con.call(QString::fromLatin1(method), args, byRef);
}

// Copies what the server left in a by-reference argument back into the caller's text.
void back(const QCborArray& args, int i, QString& target) {
    const QCborValue v = args.at(i);
    if (v.isString())
        target = v.toString();
    else if (v.isNull() || v.isUndefined())
        target.clear();
}

} // namespace

namespace Fis98100 {

QList<TPacketField> ContaPagarFields() {
    using T = TFieldType;
    return {
        {QStringLiteral("CDFILIAL"), T::String, 4},
        {QStringLiteral("NRLANCTONF"), T::String, 10},
        {QStringLiteral("IDSTATUSGUIA"), T::String, 2},
        {QStringLiteral("VRMULTAGUIA"), T::Float, 0},
        {QStringLiteral("VRJUROGUIA"), T::Float, 0},
        {QStringLiteral("DTVENCGUIA"), T::DateTime, 0},
        {QStringLiteral("CDINSCESTA"), T::String, 16},
        {QStringLiteral("CDINSCMUNI"), T::String, 16},
        {QStringLiteral("IDORIGDESTNF"), T::String, 1},
        {QStringLiteral("NRNOTAFISC"), T::String, 20},
        {QStringLiteral("CDDESTEMIT"), T::String, 21},
        {QStringLiteral("VRNOTAFISC"), T::Float, 0},
        {QStringLiteral("VRIMPOSTONF"), T::Float, 0},
        {QStringLiteral("CDRECEITAGNRE"), T::String, 10},
        {QStringLiteral("DTVENCGNRE"), T::DateTime, 0},
        {QStringLiteral("IDENTRSAIDOP"), T::String, 1},
        {QStringLiteral("IDCHECK"), T::String, 20},
        {QStringLiteral("CDSERIEENTR"), T::String, 20},
        {QStringLiteral("STLINHADIGI"), T::String, 60},
        {QStringLiteral("STBARRAGUIA"), T::String, 50},
        {QStringLiteral("CDFILIOPER"), T::String, 4},
    };
}

} // namespace Fis98100

TServerAnswer GetTipoOper(TSocketConnection& con, QString& entrSaid) {
    QCborArray a{entrSaid};
    TServerAnswer r = run(con, "GetTipoOper", a, {0});
    back(a, 0, entrSaid);
    return r;
}

TServerAnswer GetSerie(TSocketConnection& con, const QString& cdEmpresa, const QString& inscEsta,
                       const QString& inscMuni, QString& entrSaid) {
    QCborArray a{cdEmpresa, inscEsta, inscMuni, entrSaid};
    TServerAnswer r = run(con, "GetSerie", a, {3});
    back(a, 3, entrSaid);
    return r;
}

TServerAnswer GetNotaFiscal(TSocketConnection& con, const QString& cdEmpresa,
                            const QString& inscEsta, const QString& inscMuni, QString& entrSaid,
                            QString& codSerie, QString& codTipoOper, const QDateTime& entIni,
                            const QDateTime& entFim, const QDateTime& emiIni,
                            const QDateTime& emiFim, QString& inscricao, const QString& cdImposto) {
    QCborArray a{cdEmpresa,       inscEsta,        inscMuni,        entrSaid,
                 codSerie,        codTipoOper,     dateArg(entIni), dateArg(entFim),
                 dateArg(emiIni), dateArg(emiFim), inscricao,       cdImposto};
    TServerAnswer r = run(con, "GetNotaFiscal", a, {3, 4, 5, 10});
    back(a, 3, entrSaid);
    back(a, 4, codSerie);
    back(a, 5, codTipoOper);
    back(a, 10, inscricao);
    return r;
}

TServerAnswer setDarfDoc(TSocketConnection& con, const QString& cdFilial, const QString& nrLanctoNf,
                         QString& cdImposto, const QString& idStatusGuia, double vrMultaGuia,
                         double vrJuroGuia, const QString& dtVencGuia,
                         const QString& dsHistGuiaPagDoc, const QString& nrLanctoNfDarf,
                         const QString& cdReceGuia) {
    QCborArray a{cdFilial,   nrLanctoNf, cdImposto,        idStatusGuia,   vrMultaGuia,
                 vrJuroGuia, dtVencGuia, dsHistGuiaPagDoc, nrLanctoNfDarf, cdReceGuia};
    TServerAnswer r = run(con, "setDarfDoc", a, {2});
    back(a, 2, cdImposto);
    return r;
}

TServerAnswer GetParamFiscal(TSocketConnection& con) {
    QCborArray a;
    return run(con, "GetParamFiscal", a, {});
}

TServerAnswer GeraContaPagar(TSocketConnection& con, const QString& cdEmpresa, QString& cdImposto,
                             const TDataPacket& contaPagar, QString& barra, QString& linhaDigi,
                             const QString& historico) {
    QCborArray a{cdEmpresa, cdImposto, contaPagar.toCbor(), barra, linhaDigi, historico};
    TServerAnswer r = run(con, "GeraContaPagar", a, {1, 3, 4});
    back(a, 1, cdImposto);
    back(a, 3, barra);
    back(a, 4, linhaDigi);
    return r;
}

TServerAnswer GetVdCodRece(TSocketConnection& con, const QString& cdImposto,
                           const QString& cdRece) {
    QCborArray a{cdImposto, cdRece};
    return run(con, "GetVdCodRece", a, {});
}

TServerAnswer GetCodRecePad(TSocketConnection& con, const QString& cdImposto) {
    QCborArray a{cdImposto};
    return run(con, "GetCodRecePad", a, {});
}
