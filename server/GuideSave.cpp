// Saving a guide: the fine, interest, due date, history and revenue code of one note for a tax.
#include "Accounts.h"
#include "Arguments.h"
#include "DataAccess.h"
#include "MethodTable.h"
#include "Methods.h"

#include "core/HostExceptions.h"

#include <QDate>
#include <QStringList>
#include <QVariantList>
#include <cmath>

namespace FisServer {

namespace {

const QString M = FisProtocol::method(FisProtocol::MethodId::setDarfDoc).name;

struct TGuide {
    QString filial, lancto, imposto, hist, nrDarf, receita;
    double multa = 0, juros = 0;
    QVariant venc; // a null date clears it
};

// The due date as the date edit leaves it: dd/MM/yyyy, or empty (also the empty mask
// "  /  /    ") for none.
QVariant dueDate(const QString& vencText) {
    if (QString(vencText).remove(QLatin1Char('/')).trimmed().isEmpty())
        return QVariant(QMetaType(QMetaType::QDate));
    const QDate d = QDate::fromString(vencText, QStringLiteral("dd/MM/yyyy"));
    if (!d.isValid())
        throw EHostError(QStringLiteral("%1: data de vencimento inválida: \"%2\" (use dd/mm/aaaa).")
                             .arg(M, vencText));
    return d;
}

TGuide readGuide(const QCborArray& args) {
    TGuide g;
    g.filial = text(args[0]).trimmed();
    g.lancto = text(args[1]).trimmed();
    g.imposto = text(args[2]).trimmed();
    // args[3], the status, is the server's own fact: only GeraContaPagar issues a guide, so the
    // client's copy is never stored.
    g.multa = money(M, QStringLiteral("valor da multa"), args[4].toDouble());
    g.juros = money(M, QStringLiteral("valor dos juros"), args[5].toDouble());
    const QString vencText = text(args[6]).trimmed();
    g.hist = text(args[7]);
    g.nrDarf = text(args[8]).trimmed();
    g.receita = text(args[9]).trimmed();
    if (g.filial.isEmpty() || g.lancto.isEmpty())
        throw EHostError(
            QStringLiteral("%1: filial e lançamento da nota devem ser informados.").arg(M));
    if (g.imposto.isEmpty())
        throw EHostError(QStringLiteral("%1: imposto deve ser informado.").arg(M));
    refuseTooLong(
        M,
        {{"filial", g.filial, 4}, {"lançamento da nota", g.lancto, 10}, {"imposto", g.imposto, 2}});
    g.venc = dueDate(vencText);
    if (g.receita.size() > 4)
        throw EHostError(QStringLiteral("%1: código da receita com mais de 4 caracteres: \"%2\".")
                             .arg(M, g.receita));
    if (g.hist.size() > 255)
        throw EHostError(QStringLiteral("%1: histórico com mais de 255 caracteres.").arg(M));
    if (g.nrDarf.size() > 10)
        throw EHostError(
            QStringLiteral("%1: número do lançamento da guia com mais de 10 caracteres.").arg(M));
    return g;
}

void requireNote(QSqlDatabase& db, const TGuide& g) {
    TQuery nota(db,
                QStringLiteral("SELECT 1 FROM NOTAFISCAL WHERE CDFILIAL = ? AND NRLANCTONF = ?"));
    nota.bind(g.filial).bind(g.lancto).exec(QStringLiteral("ler a nota"));
    if (!nota.next(QStringLiteral("ler a nota")))
        throw EHostError(
            QStringLiteral("%1: nota fiscal %2/%3 não encontrada.").arg(M, g.filial, g.lancto));
}

// A tax code the database does not know would reach the clerk as a foreign-key failure.
void requireTax(QSqlDatabase& db, const TGuide& g) {
    TQuery tax(db, QStringLiteral("SELECT 1 FROM IMPOSTONFE WHERE CDIMPOSTONFE = ?"));
    tax.bind(g.imposto).exec(QStringLiteral("ler o imposto"));
    if (!tax.next(QStringLiteral("ler o imposto")))
        throw EHostError(QStringLiteral("%1: imposto \"%2\" não cadastrado.").arg(M, g.imposto));
}

// Why a save of g must be refused, empty when it may go on; cur is the guide's row (its status,
// due date, revenue code, history, tax amount, fine, interest), invalid when the note has none
// for the tax. A note without an amount of the tax has no guide: a row made up for it would
// carry a payable of R$ 0,00. An issued guide keeps every field its payable and barcode were
// built from; sending the same values again is no change.
QString guideRefusal(const TGuide& g, bool exists, const QVariantList& cur) {
    if (!exists || !(cur[4].toDouble() > 0))
        return QStringLiteral("%1: a nota %2/%3 não tem valor do imposto %4; não há guia a "
                              "gravar para ela.")
            .arg(M, g.filial, g.lancto, g.imposto);
    if (cur[0].toString() != QLatin1String("S"))
        return QString();
    auto centavos = [](double v) { return std::llround(v * 100); };
    QStringList changed;
    if (centavos(cur[5].toDouble()) != centavos(g.multa))
        changed << QStringLiteral("valor da multa");
    if (centavos(cur[6].toDouble()) != centavos(g.juros))
        changed << QStringLiteral("valor dos juros");
    if (cur[1].toDate() != g.venc.toDate())
        changed << QStringLiteral("vencimento");
    if (cur[2].toString().trimmed() != g.receita)
        changed << QStringLiteral("código da receita");
    if (cur[3].toString() != g.hist)
        changed << QStringLiteral("histórico");
    if (changed.isEmpty())
        return QString();
    return QStringLiteral("%1: a guia da nota %2/%3 já foi emitida; %4 não pode ser alterado.")
        .arg(M, g.filial, g.lancto, changed.join(QStringLiteral(", ")));
}

// Reads the guide's row with a row lock (a colleague's transaction on it makes this wait, then
// meet the conflict) and refuses what guideRefusal refuses.
void lockGuide(QSqlDatabase& db, const TGuide& g) {
    TQuery cur(db, QStringLiteral("SELECT IDSTATUSGUIA, DTVENCGUIA, CDRECEGUIA,"
                                  " DSHISTGUIAPAGDOC, VRIMPOSTONF, VRMULTAGUIA, VRJUROGUIA"
                                  " FROM IMPOSTONF WHERE CDFILIAL = ?"
                                  " AND NRLANCTONF = ? AND CDIMPOSTONFE = ? WITH LOCK"));
    const bool exists =
        cur.bind(g.filial).bind(g.lancto).bind(g.imposto).execLocking(QStringLiteral("ler a guia"));
    QVariantList row;
    for (int i = 0; exists && i < 7; ++i)
        row << cur.value(i);
    if (const QString why = guideRefusal(g, exists, row); !why.isEmpty())
        throw EHostError(why);
    cur.finish();
}

void writeGuide(QSqlDatabase& db, const TGuide& g) {
    TQuery w(db,
             QStringLiteral("UPDATE IMPOSTONF SET VRMULTAGUIA = ?, VRJUROGUIA = ?, DTVENCGUIA = ?,"
                            " DSHISTGUIAPAGDOC = ?, NRLANCTONFDARF = ?, CDRECEGUIA = ?,"
                            " NMUSUARIOGUIA = ?, DTALTERGUIA = CURRENT_TIMESTAMP"
                            " WHERE CDFILIAL = ? AND NRLANCTONF = ? AND CDIMPOSTONFE = ?"));
    w.bind(g.multa).bind(g.juros).bind(g.venc).bind(textOrNull(g.hist)).bind(textOrNull(g.nrDarf));
    w.bind(textOrNull(g.receita)).bind(textOrNull(currentClerk()));
    w.bind(g.filial).bind(g.lancto).bind(g.imposto);
    w.exec(QStringLiteral("gravar a guia"));
    // Who saved what, kept in the same transaction as the save itself.
    recordGuideEvent(
        db, g.filial, g.lancto, g.imposto, QStringLiteral("G"),
        QStringLiteral("multa %1; juros %2; vencimento %3; receita %4; histórico %5")
            .arg(g.multa, 0, 'f', 2)
            .arg(g.juros, 0, 'f', 2)
            .arg(g.venc.toDate().toString(QStringLiteral("dd/MM/yyyy")), g.receita, g.hist));
}

} // namespace

TMethodResult setDarfDoc(QSqlDatabase& db, QCborArray& args) {
    const TGuide g = readGuide(args);
    // A colleague's transaction on the guide ends this one in a conflict; a fresh snapshot sees
    // what the colleague left (an issued guide keeps its rules) and saves: the later save wins.
    const TRetried<TMethodResult> saved = retryOnConflict<TMethodResult>(db, [&](TTransaction& tr) {
        requireNote(db, g);
        requireTax(db, g);
        lockGuide(db, g);
        writeGuide(db, g);
        tr.commit(QStringLiteral("%1: não foi possível gravar a guia da nota %2/%3")
                      .arg(M, g.filial, g.lancto));
        return TMethodResult::done();
    });
    if (!saved.value)
        throw EHostError(QStringLiteral("%1: a guia da nota %2/%3 está sendo alterada por outro "
                                        "usuário; tente novamente.")
                             .arg(M, g.filial, g.lancto));
    TMethodResult r = *saved.value;
    if (saved.attempts > 1)
        r.remark = QStringLiteral("após conflito de transação");
    return r;
}

} // namespace FisServer
