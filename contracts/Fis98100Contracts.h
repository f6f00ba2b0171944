#pragma once
// Typed calls of the application server's object (FisProtocol::ObjectName): one function per
// method, arguments in the method's order. By-reference arguments are QString& and receive what
// the server leaves in them; which ones they are comes from the method table. Each returns the
// connection's answer unchanged; callers pass it through CheckResultServ. Screens call these and
// never spell a method name.
#include "Connection.h"
#include "MethodTable.h"
#include "Records.h"
#include "core/DataPacket.h"
#include "core/ServerAnswer.h"

#include <QDateTime>
#include <QString>

namespace Fis98100 {

// The payable packet's 21 fields, in their order (the server accepts exactly these).
inline QList<TPacketField> ContaPagarFields() {
    return FisProtocol::contaPagarFields();
}

} // namespace Fis98100

TServerAnswer GetTipoOper(TSocketConnection& con, QString& entrSaid);

TServerAnswer GetSerie(TSocketConnection& con, const QString& cdEmpresa, const QString& inscEsta,
                       const QString& inscMuni, QString& entrSaid);

TServerAnswer GetNotaFiscal(TSocketConnection& con, const QString& cdEmpresa,
                            const QString& inscEsta, const QString& inscMuni, QString& entrSaid,
                            QString& codSerie, QString& codTipoOper, const QDateTime& entIni,
                            const QDateTime& entFim, const QDateTime& emiIni,
                            const QDateTime& emiFim, QString& inscricao, const QString& cdImposto);

TServerAnswer setDarfDoc(TSocketConnection& con, const QString& cdFilial, const QString& nrLanctoNf,
                         QString& cdImposto, const QString& idStatusGuia, double vrMultaGuia,
                         double vrJuroGuia, const QString& dtVencGuia,
                         const QString& dsHistGuiaPagDoc, const QString& nrLanctoNfDarf,
                         const QString& cdReceGuia);

TServerAnswer GetParamFiscal(TSocketConnection& con);

TServerAnswer GeraContaPagar(TSocketConnection& con, const QString& cdEmpresa, QString& cdImposto,
                             const TDataPacket& contaPagar, QString& barra, QString& linhaDigi,
                             const QString& historico);

TServerAnswer GetVdCodRece(TSocketConnection& con, const QString& cdImposto, const QString& cdRece);

TServerAnswer GetCodRecePad(TSocketConnection& con, const QString& cdImposto);
