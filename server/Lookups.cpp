// Lookups: operation types, series, fiscal parameters and revenue codes.
#include "Arguments.h"
#include "DataAccess.h"
#include "MethodTable.h"
#include "Methods.h"
#include "Records.h"

#include "core/Services.h"

#include <QStringList>

namespace FisServer {

namespace {
using M = FisProtocol::MethodId;

// The rows written as CBOR as they are fetched, the bytes TDataPacket::toCbor would give:
// a lookup is a small call, and a packet of variants and then a CBOR tree were most of its cost.
TMethodResult streamedRows(TQuery& q, const QList<TPacketField>& fields) {
    TStreamedPacket p = streamPacket(q, fields, answerLimit());
    return TMethodResult::streamedRows(std::move(p.bytes), p.headroom, p.rows, p.oversized);
}
} // namespace

TMethodResult GetTipoOper(QSqlDatabase& db, QCborArray& args) {
    const QString flag = entrSaidFlag(FisProtocol::method(M::GetTipoOper).name, args[0]);
    QString sql = QStringLiteral(
        "SELECT ' ', CDTIPOOPER, NMTIPOOPER, IDENTRSAIDOP, IDENTRSAIDOP || CDTIPOOPER"
        "  FROM TIPOOPERAC");
    if (flag != QLatin1String("T"))
        sql += QStringLiteral(" WHERE IDENTRSAIDOP = ?");
    sql += QStringLiteral(" ORDER BY IDENTRSAIDOP, CDTIPOOPER");
    TQuery q(db, sql);
    if (flag != QLatin1String("T"))
        q.bind(flag);
    q.exec(QStringLiteral("ler os tipos de operação"));
    return streamedRows(q, FisProtocol::tipoOperFields());
}

TMethodResult GetSerie(QSqlDatabase& db, QCborArray& args) {
    const QString empresa = text(args[0]).trimmed();
    const QString inscEsta = text(args[1]).trimmed();
    const QString inscMuni = text(args[2]).trimmed();
    const QString& name = FisProtocol::method(M::GetSerie).name;
    const QString flag = entrSaidFlag(name, args[3]);
    refuseTooLong(name, {{"empresa", empresa, 2},
                         {"inscrição estadual", inscEsta, 16},
                         {"inscrição municipal", inscMuni, 16}});
    // Entry series belong to no company; exit series to the company and its registrations
    // (an empty registration stands for any of the company's).
    QStringList parts;
    QVariantList binds;
    if (flag != QLatin1String("S"))
        parts << QStringLiteral("SELECT ' ', CDSERIEENTR, DSSERIEENTR, 'E', 'E_' || CDSERIEENTR"
                                "  FROM SERIEENTR");
    if (flag != QLatin1String("E")) {
        QString sel = QStringLiteral("SELECT ' ', CDSERIE, MIN(DSSERIE), 'S', 'S_' || CDSERIE"
                                     "  FROM SERIENF WHERE CDEMPRESA = ?");
        binds << empresa;
        if (!inscEsta.isEmpty()) {
            sel += QStringLiteral(" AND CDINSCESTA = ?");
            binds << inscEsta;
        }
        if (!inscMuni.isEmpty()) {
            sel += QStringLiteral(" AND CDINSCMUNI = ?");
            binds << inscMuni;
        }
        parts << sel + QStringLiteral(" GROUP BY CDSERIE");
    }
    TQuery q(db, parts.join(QStringLiteral(" UNION ALL ")) + QStringLiteral(" ORDER BY 4, 2"));
    for (const QVariant& v : binds)
        q.bind(v);
    q.exec(QStringLiteral("ler as séries"));
    return streamedRows(q, FisProtocol::serieFields());
}

TMethodResult GetParamFiscal(QSqlDatabase& db, QCborArray&) {
    TQuery q(db, QStringLiteral("SELECT CDTIPOOPERPREPAG, DTREFVENCDARF, DTREFPAGDARF"
                                "  FROM PARAMFISCAL WHERE IDPARAMFISCAL = 1"));
    q.exec(QStringLiteral("ler os parâmetros fiscais"));
    return streamedRows(q, FisProtocol::paramFiscalFields());
}

TMethodResult GetVdCodRece(QSqlDatabase& db, QCborArray& args) {
    const QString imposto = text(args[0]).trimmed();
    QString code = text(args[1]).trimmed();
    // A short numeric code means the same as its four-digit form.
    if (!code.isEmpty() && code.size() < 4 && digitsOnly(code) == code)
        code = Ajusta(code, 4);
    TQuery q(db, QStringLiteral("SELECT CDRECEPADRAO, CDVARIACAO, DSRECEPADRAO FROM RECEITAPADRAO"
                                " WHERE CDIMPOSTONFE = ? AND CDRECEPADRAO = ?"
                                " ORDER BY CDVARIACAO"));
    q.bind(imposto).bind(code).exec(QStringLiteral("ler o código da receita"));
    return streamedRows(q, FisProtocol::codReceFields());
}

TMethodResult GetCodRecePad(QSqlDatabase& db, QCborArray& args) {
    const QString imposto = text(args[0]).trimmed();
    TQuery q(db, QStringLiteral("SELECT CDRECEPADRAO, CDVARIACAO, DSRECEPADRAO FROM RECEITAPADRAO"
                                " WHERE CDIMPOSTONFE = ? ORDER BY CDRECEPADRAO, CDVARIACAO"));
    q.bind(imposto).exec(QStringLiteral("ler os códigos da receita"));
    return streamedRows(q, FisProtocol::codReceFields());
}

} // namespace FisServer
