// Issuing a payable: GeraContaPagar in one transaction, tried again on a fresh snapshot when
// another transaction changed the guide meanwhile.
#include "Accounts.h"
#include "DataAccess.h"
#include "Methods.h"
#include "PayableChecks.h"
#include "Records.h"

#include "core/HostExceptions.h"
#include "core/Services.h"

#include <optional>

namespace FisServer {

namespace {

// The answer [result packet, stGuiaEmit, stChecked]; the log shows its kind and key.
TMethodResult answer(const QString& kind, const QString& key, const QString& guiaEmit,
                     const QString& checked) {
    TDataPacket p;
    p.fields = FisProtocol::resultFields();
    p.rows.append({kind, key, QStringLiteral("01")});
    TMethodResult r;
    r.value = QCborArray{p.toCbor(), guiaEmit, checked};
    r.summary = kind + QLatin1Char(' ') + key;
    return r;
}

TMethodResult issued(const TPayable& p) {
    return answer(QStringLiteral("MSG"), QStringLiteral("CONTAPAGAR_OK"),
                  QStringLiteral("_") + p.filial + p.lancto + QStringLiteral("S_"),
                  QStringLiteral("C"));
}

TMethodResult alreadyIssued(const char* why) {
    TMethodResult r =
        answer(QStringLiteral("ERR"), QStringLiteral("EMIT"), {}, QStringLiteral("U"));
    r.remark = QString::fromUtf8(why);
    return r;
}

// The tax's payable settings.
struct TTaxSettings {
    QString fornec, tipoConta, tipoBaixa, tipoOper;
};

std::optional<TTaxSettings> readTaxSettings(QSqlDatabase& db, const TPayable& p) {
    TQuery q(db, QStringLiteral("SELECT CDFORNECED, CDTIPOCONTAPAG, CDTIPOBAIXAPAG, CDTIPOOPERPAG"
                                "  FROM IMPOSTOCONTAPAG WHERE CDIMPOSTONFE = ?"));
    q.bind(p.imposto).exec(QStringLiteral("ler a parametrização do imposto"));
    if (!q.next(QStringLiteral("ler a parametrização do imposto")))
        return std::nullopt;
    return TTaxSettings{q.text(0), q.text(1), q.text(2), q.text(3)};
}

struct TNoteOwner {
    QString empresa, filiOper;
    QDate entrSaid;
};

// No value when the note does not exist.
std::optional<TNoteOwner> readNote(QSqlDatabase& db, const TPayable& p) {
    TQuery q(db, QStringLiteral("SELECT CDEMPRESA, CDFILIOPER, DTENTRSAID FROM NOTAFISCAL"
                                " WHERE CDFILIAL = ? AND NRLANCTONF = ?"));
    q.bind(p.filial).bind(p.lancto).exec(QStringLiteral("ler a nota"));
    if (!q.next(QStringLiteral("ler a nota")))
        return std::nullopt;
    return TNoteOwner{q.text(0), q.text(1), q.value(2).toDate()};
}

// An operating branch other than the note's own must be a branch of the note's company.
bool branchExists(QSqlDatabase& db, const TPayable& p, const TNoteOwner& note) {
    if (p.filiOper.isEmpty() || p.filiOper == note.filiOper || p.filiOper == p.filial)
        return true;
    TQuery q(db, QStringLiteral("SELECT FIRST 1 1 FROM NOTAFISCAL"
                                " WHERE CDFILIAL = ? AND CDEMPRESA = ?"));
    q.bind(p.filiOper).bind(note.empresa).exec(QStringLiteral("ler a filial de operação"));
    return q.next(QStringLiteral("ler a filial de operação"));
}

// What the barcode is composed from besides the payable's own fields: the fiscal parameters'
// reference dates and the company's registration. Missing ones stay empty, and the
// composition names them.
TDarfInput compositionInput(QSqlDatabase& db, const TPayable& p, const TNoteOwner& note,
                            double tax) {
    TDarfInput in;
    in.VRIMPOSTONF = tax;
    in.VRJUROGUIA = p.juros;
    in.VRMULTAGUIA = p.multa;
    in.DTVENCGUIA = p.venc.date();
    in.DTENTRSAID = note.entrSaid;
    in.CDRECEGUIA = p.receita;
    TQuery param(db, QStringLiteral("SELECT DTREFVENCDARF, DTREFPAGDARF FROM PARAMFISCAL"));
    param.exec(QStringLiteral("ler os parâmetros fiscais"));
    if (param.next(QStringLiteral("ler os parâmetros fiscais"))) {
        in.DTREFVENCDARF = param.value(0).toDate();
        in.DTREFPAGDARF = param.value(1).toDate();
    }
    TQuery company(db, QStringLiteral("SELECT NRINSJUREMPR FROM EMPRESA WHERE CDEMPRESA = ?"));
    company.bind(p.empresa).exec(QStringLiteral("ler a empresa"));
    if (company.next(QStringLiteral("ler a empresa")))
        in.NRINSJUREMPR = company.text(0);
    return in;
}

struct TGuideRow {
    QString status;
    double tax = 0;
};

// The guide's row, locked for the rest of the transaction: a colleague's transaction that
// changed it makes this one wait here and then meet the conflict. No value when the note has no
// row for the tax.
std::optional<TGuideRow> lockGuide(QSqlDatabase& db, const TPayable& p) {
    TQuery q(db, QStringLiteral("SELECT IDSTATUSGUIA, VRIMPOSTONF FROM IMPOSTONF"
                                " WHERE CDFILIAL = ? AND NRLANCTONF = ? AND CDIMPOSTONFE = ?"
                                " WITH LOCK"));
    if (!q.bind(p.filial).bind(p.lancto).bind(p.imposto).execLocking(QStringLiteral("ler a guia")))
        return std::nullopt;
    return TGuideRow{q.text(0), q.value(1).toDouble()};
}

qint64 nextPayableNumber(QSqlDatabase& db) {
    TQuery q(db, QStringLiteral("SELECT NEXT VALUE FOR GEN_CONTAPAGAR FROM RDB$DATABASE"));
    q.exec(QStringLiteral("numerar a conta a pagar"));
    q.next(QStringLiteral("numerar a conta a pagar"));
    return q.value(0).toLongLong();
}

// False when a payable for the note and tax exists already (its unique key).
bool insertPayable(QSqlDatabase& db, const TPayable& p, const TTaxSettings& settings,
                   const QString& filiOper, qint64 number, qint64 due) {
    TQuery q(db,
             QStringLiteral("INSERT INTO CONTAPAGAR (NRCONTAPAGAR, CDEMPRESA, CDFILIAL, NRLANCTONF,"
                            " CDIMPOSTONFE, CDFILIOPER, CDFORNECED, CDTIPOCONTAPAG, CDTIPOBAIXAPAG,"
                            " CDTIPOOPERPAG, CDRECEGUIA, VRMULTAGUIA, VRJUROGUIA, VRCONTAPAGAR,"
                            " DTVENCGUIA, STBARRAGUIA, STLINHADIGI, DSHISTGUIAPAGDOC, NMUSUARIO)"
                            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    q.bind(number).bind(p.empresa).bind(p.filial).bind(p.lancto).bind(p.imposto);
    q.bind(textOrNull(p.filiOper.isEmpty() ? filiOper : p.filiOper));
    q.bind(settings.fornec).bind(settings.tipoConta).bind(settings.tipoBaixa);
    q.bind(settings.tipoOper);
    q.bind(p.receita).bind(p.multa).bind(p.juros).bind(due / 100.0).bind(p.venc.date());
    q.bind(p.barra).bind(p.linha).bind(textOrNull(p.hist)).bind(textOrNull(currentClerk()));
    try {
        q.exec(QStringLiteral("gravar a conta a pagar"));
    } catch (const EConflict& e) {
        if (!e.duplicateKey())
            throw;
        return false;
    }
    return true;
}

// Marks the guide issued with the payable's number and the guide fields it was issued with;
// false when it was issued meanwhile.
bool markIssued(QSqlDatabase& db, const TPayable& p, qint64 number) {
    TQuery q(db, QStringLiteral("UPDATE IMPOSTONF SET IDSTATUSGUIA = 'S', NRCONTAPAGAR = ?,"
                                " VRMULTAGUIA = ?, VRJUROGUIA = ?, DTVENCGUIA = ?, CDRECEGUIA = ?,"
                                " DSHISTGUIAPAGDOC = ?"
                                " WHERE CDFILIAL = ? AND NRLANCTONF = ? AND CDIMPOSTONFE = ?"
                                "   AND IDSTATUSGUIA = 'N'"));
    q.bind(number).bind(p.multa).bind(p.juros).bind(p.venc.date()).bind(p.receita);
    q.bind(textOrNull(p.hist)).bind(p.filial).bind(p.lancto).bind(p.imposto);
    q.exec(QStringLiteral("marcar a guia como emitida"));
    return q.numRowsAffected() == 1;
}

TMethodResult issueOnce(QSqlDatabase& db, TTransaction& tr, const TPayable& p) {
    const std::optional<TTaxSettings> settings = readTaxSettings(db, p);
    if (!settings)
        return answer(QStringLiteral("ERR"), QStringLiteral("ERRO_BENEFICIARIO"), {},
                      QStringLiteral("U"));
    const auto note = readNote(db, p);
    if (!note)
        return TMethodResult::refused(
            QStringLiteral("Conta a pagar: nota fiscal %1/%2 não encontrada.")
                .arg(p.filial, p.lancto));
    if (note->empresa != p.empresa)
        return TMethodResult::refused(
            QStringLiteral("Conta a pagar: a nota fiscal %1/%2 não pertence à empresa %3.")
                .arg(p.filial, p.lancto, p.empresa));
    const auto guide = lockGuide(db, p);
    if (!guide)
        return TMethodResult::refused(
            QStringLiteral("Conta a pagar: a nota fiscal %1/%2 não tem valor do imposto %3.")
                .arg(p.filial, p.lancto, p.imposto));
    if (guide->status == QLatin1String("S"))
        return alreadyIssued("guia já emitida");
    if (ToCentavos(guide->tax) <= 0)
        return TMethodResult::refused(
            QStringLiteral("Conta a pagar: a nota fiscal %1/%2 não tem valor do imposto %3 "
                           "(R$ %4).")
                .arg(p.filial, p.lancto, p.imposto, FormatBR(guide->tax)));
    if (const QString why = checkCollection(p); !why.isEmpty())
        return TMethodResult::refused(why);
    const qint64 due = amountDue(guide->tax, p.juros, p.multa);
    if (const QString why = checkAmounts(p.total, due, p.barra); !why.isEmpty())
        return TMethodResult::refused(why);
    if (!branchExists(db, p, *note))
        return TMethodResult::refused(
            QStringLiteral("Conta a pagar: filial de operação \"%1\" não existe na empresa %2.")
                .arg(p.filiOper, note->empresa));
    if (const QString why = checkComposed(p, compositionInput(db, p, *note, guide->tax));
        !why.isEmpty())
        return TMethodResult::refused(why);

    const qint64 number = nextPayableNumber(db);
    if (!insertPayable(db, p, *settings, note->filiOper, number, due))
        return alreadyIssued("conta a pagar já existe");
    if (!markIssued(db, p, number))
        return alreadyIssued("guia já emitida");
    recordGuideEvent(
        db, p.filial, p.lancto, p.imposto, QStringLiteral("E"),
        QStringLiteral("conta a pagar %1; total %2").arg(number).arg(FormatBR(due / 100.0)));
    tr.commit(QStringLiteral("Não foi possível gravar a conta a pagar"));
    return issued(p);
}

} // namespace

TMethodResult GeraContaPagar(QSqlDatabase& db, QCborArray& args) {
    TPayable p;
    // A packet or argument that is not right answers a text the clerk reads.
    if (const QString why = readPayable(args, p); !why.isEmpty())
        return TMethodResult::refused(why);
    // Another transaction that changed the guide's row (a colleague saving the note, or issuing
    // it) makes this one meet a conflict. That says nothing about whether the guide was issued,
    // so the issue runs again on a fresh snapshot, which sees what the other transaction left:
    // issued (EMIT), or still open and issued now.
    const TRetried<TMethodResult> done =
        retryOnConflict<TMethodResult>(db, [&](TTransaction& tr) { return issueOnce(db, tr, p); });
    if (!done.value) {
        TMethodResult r = TMethodResult::refused(
            QStringLiteral("Conta a pagar: a guia da nota %1/%2 está sendo alterada por outro "
                           "usuário; tente novamente.")
                .arg(p.filial, p.lancto));
        r.remark = done.lockTimedOut ? QStringLiteral("espera pelo bloqueio esgotada")
                                     : QStringLiteral("conflito de transação");
        return r;
    }
    TMethodResult r = *done.value;
    if (done.attempts > 1 && r.remark.isEmpty())
        r.remark = QStringLiteral("após conflito de transação");
    return r;
}

} // namespace FisServer
