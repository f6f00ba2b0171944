#pragma once
// The eight methods of the application server's object, by family: lookups (Lookups.cpp), notes
// (Notes.cpp), saving a guide (GuideSave.cpp) and issuing a payable (Payable.cpp). Every fact
// lives in the database: nothing is remembered between calls, so any number of servers may
// serve one database. Each method takes its positional arguments, whose kinds the dispatcher
// checked against the method table, leaves the final values of by-reference arguments in args,
// and gives its result with the summary for the log; refusals are EHostError with the text the
// clerk reads.
#include "MethodResult.h"

#include <QCborArray>
#include <QSqlDatabase>

namespace FisServer {

TMethodResult GetTipoOper(QSqlDatabase& db, QCborArray& args);
TMethodResult GetSerie(QSqlDatabase& db, QCborArray& args);
TMethodResult GetParamFiscal(QSqlDatabase& db, QCborArray& args);
TMethodResult GetVdCodRece(QSqlDatabase& db, QCborArray& args);
TMethodResult GetCodRecePad(QSqlDatabase& db, QCborArray& args);

TMethodResult GetNotaFiscal(QSqlDatabase& db, QCborArray& args);

TMethodResult setDarfDoc(QSqlDatabase& db, QCborArray& args);

TMethodResult GeraContaPagar(QSqlDatabase& db, QCborArray& args);

} // namespace FisServer
