// Notes: the notes of a company with an amount for a tax, narrowed by the filter.
#include "Notes.h"

#include "Arguments.h"
#include "DataAccess.h"
#include "MethodTable.h"
#include "Methods.h"
#include "Records.h"
#include "SplitRead.h"

#include "core/HostExceptions.h"

#include <QStringList>
#include <functional>

namespace FisServer {

namespace {

bool isKindLetter(QChar c) {
    return c == QLatin1Char('E') || c == QLatin1Char('S');
}

bool plainCodeChar(QChar c) {
    // Codes are letters, digits and the few marks series use; quotes, blanks, commas, semicolons
    // and every other character never belong to a key.
    return c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('/') ||
           c == QLatin1Char('.');
}

// Reads one quoted key at i (blanks before it skipped) and moves i past it.
TKey readKey(const QString& t, qsizetype& i, bool seriesKeys,
             const std::function<EHostError(const QString&)>& refuse) {
    while (i < t.size() && t[i] == QLatin1Char(' '))
        ++i;
    if (i >= t.size() || t[i] != QLatin1Char('\''))
        throw refuse(QStringLiteral("cada chave deve vir entre aspas simples"));
    const qsizetype close = t.indexOf(QLatin1Char('\''), i + 1);
    if (close < 0)
        throw refuse(QStringLiteral("aspas sem fechamento"));
    const QString key = t.mid(i + 1, close - i - 1);
    i = close + 1;
    if (key.isEmpty() || !isKindLetter(key[0]))
        throw refuse(QStringLiteral("chave \"%1\" não começa por E ou S").arg(key));
    QString code;
    if (seriesKeys) {
        if (key.size() < 3 || key[1] != QLatin1Char('_'))
            throw refuse(
                QStringLiteral("chave \"%1\" fora da forma E_código ou S_código").arg(key));
        code = key.mid(2);
    } else {
        code = key.mid(1);
    }
    if (code.isEmpty() || code.size() > (seriesKeys ? 5 : 2))
        throw refuse(QStringLiteral("código \"%1\" com tamanho inválido").arg(code));
    for (QChar c : code)
        if (!plainCodeChar(c))
            throw refuse(QStringLiteral("código \"%1\" com caractere inválido").arg(code));
    return TKey{key.left(1), code};
}

// The filter of GetNotaFiscal, read from its arguments.
struct TNoteFilter {
    QString empresa, inscEsta, inscMuni, flag, inscricao, imposto;
    QList<TKey> series, tipos;
    QVariant entIni, entFim, emiIni, emiFim;
};

TNoteFilter readFilter(const QCborArray& args) {
    const QString& M = FisProtocol::method(FisProtocol::MethodId::GetNotaFiscal).name;
    TNoteFilter f;
    f.empresa = text(args[0]).trimmed();
    f.inscEsta = text(args[1]).trimmed();
    f.inscMuni = text(args[2]).trimmed();
    f.flag = entrSaidFlag(M, args[3]);
    f.series = parseKeyList(text(args[4]), true, QStringLiteral("séries"));
    f.tipos = parseKeyList(text(args[5]), false, QStringLiteral("tipos de operação"));
    f.entIni = dateParam(args[6]);
    f.entFim = dateParam(args[7]);
    f.emiIni = dateParam(args[8]);
    f.emiFim = dateParam(args[9]);
    f.inscricao = digitsOnly(text(args[10]));
    if (!text(args[10]).trimmed().isEmpty() && f.inscricao.isEmpty())
        throw EHostError(QStringLiteral("%1: inscrição do cliente/fornecedor inválida: \"%2\".")
                             .arg(M, text(args[10])));
    f.imposto = text(args[11]).trimmed();
    if (f.imposto.isEmpty())
        throw EHostError(QStringLiteral("%1: imposto deve ser informado.").arg(M));
    if (f.empresa.isEmpty())
        throw EHostError(QStringLiteral("%1: empresa deve ser informada.").arg(M));
    return f;
}

// The note query with every value bound: conditions only for the filters given.
class TNoteQueryText {
public:
    QString sql = QStringLiteral(
        "SELECT i.DSHISTGUIAPAGDOC, n.NRNOTAFISC, COALESCE(c.NMRAZSOCCLIE, f.NMRAZSOCFORN),"
        "       i.CDRECEGUIA, n.CDSERIE, n.NRLANCTONF, n.CDFILIAL, 'U', i.VRIMPOSTONF,"
        "       n.IDENTRSAIDOP,"
        "       n.NRINSJUR, n.CDINSCESTA, n.CDINSCMUNI, n.VRNOTAFISC, i.VRMULTAGUIA,"
        "       i.VRJUROGUIA, i.DTVENCGUIA, i.NRLANCTONFDARF, i.IDSTATUSGUIA, n.IDINSJUR,"
        "       n.DTENTRSAID, n.CDFILIOPER"
        "  FROM NOTAFISCAL n"
        "  JOIN IMPOSTONF i ON i.CDFILIAL = n.CDFILIAL AND i.NRLANCTONF = n.NRLANCTONF"
        "   AND i.CDIMPOSTONFE = ?"
        "  LEFT JOIN CLIENTE c ON c.CDCLIENTE = n.CDCLIENTE"
        "  LEFT JOIN FORNECEDOR f ON f.CDFORNECED = n.CDFORNECED"
        " WHERE n.CDEMPRESA = ? AND i.VRIMPOSTONF > 0");
    QVariantList binds;

    void cond(const QString& c, const QVariant& v) {
        sql += QStringLiteral(" AND ") + c;
        binds.append(v);
    }
    void condIf(bool given, const QString& c, const QVariant& v) {
        if (given)
            cond(c, v);
    }
    // Each key list becomes (kind = ? AND code IN (?, ...)) OR ... with every value bound.
    void keys(const QList<TKey>& keys, const QString& column) {
        if (keys.isEmpty())
            return;
        QStringList parts;
        for (const QString& kind : {QStringLiteral("E"), QStringLiteral("S")}) {
            QStringList marks;
            QVariantList codes;
            for (const TKey& k : keys)
                if (k.kind == kind) {
                    marks.append(QStringLiteral("?"));
                    codes.append(k.code);
                }
            if (marks.isEmpty())
                continue;
            parts.append(QStringLiteral("(n.IDENTRSAIDOP = ? AND %1 IN (%2))")
                             .arg(column, marks.join(QLatin1Char(','))));
            binds.append(kind);
            binds += codes;
        }
        sql += QStringLiteral(" AND (") + parts.join(QStringLiteral(" OR ")) + QLatin1Char(')');
    }
};

TNoteQueryText noteQuery(const TNoteFilter& f) {
    TNoteQueryText t;
    t.binds = {f.imposto, f.empresa};
    t.condIf(!f.inscEsta.isEmpty(), QStringLiteral("n.CDINSCESTA = ?"), f.inscEsta);
    t.condIf(!f.inscMuni.isEmpty(), QStringLiteral("n.CDINSCMUNI = ?"), f.inscMuni);
    t.condIf(f.flag != QLatin1String("T"), QStringLiteral("n.IDENTRSAIDOP = ?"), f.flag);
    t.condIf(!f.entIni.isNull(), QStringLiteral("n.DTENTRSAID >= ?"), f.entIni);
    t.condIf(!f.entFim.isNull(), QStringLiteral("n.DTENTRSAID <= ?"), f.entFim);
    t.condIf(!f.emiIni.isNull(), QStringLiteral("n.DTEMISSAONF >= ?"), f.emiIni);
    t.condIf(!f.emiFim.isNull(), QStringLiteral("n.DTEMISSAONF <= ?"), f.emiFim);
    t.condIf(!f.inscricao.isEmpty(), QStringLiteral("n.NRINSJUR = ?"), f.inscricao);
    t.keys(f.series, QStringLiteral("n.CDSERIE"));
    t.keys(f.tipos, QStringLiteral("n.CDTIPOOPER"));
    return t;
}

} // namespace

QList<TKey> parseKeyList(const QString& text, bool seriesKeys, const QString& what) {
    QList<TKey> out;
    const QString t = text.trimmed();
    if (t.isEmpty())
        return out;
    auto refuse = [&](const QString& why) {
        return EHostError(QStringLiteral("Lista de %1 inválida (%2): %3").arg(what, why, text));
    };
    qsizetype i = 0;
    for (;;) {
        const TKey k = readKey(t, i, seriesKeys, refuse);
        if (!out.contains(k))
            out.append(k);
        if (out.size() > 1000)
            throw refuse(QStringLiteral("mais de 1000 chaves"));
        while (i < t.size() && t[i] == QLatin1Char(' '))
            ++i;
        if (i >= t.size())
            break;
        if (t[i] != QLatin1Char(','))
            throw refuse(QStringLiteral("chaves devem ser separadas por vírgula"));
        ++i;
    }
    return out;
}

TMethodResult GetNotaFiscal(QSqlDatabase& db, QCborArray& args) {
    const TNoteQueryText query = noteQuery(readFilter(args));
    const QString order =
        QStringLiteral(" ORDER BY n.DTENTRSAID, n.NRNOTAFISC, n.CDFILIAL, n.NRLANCTONF");
    const QString what = QStringLiteral("ler as notas fiscais");
    // The worksheet shows the operation as a word; its first letter is still the kind.
    const QList<TPacketField>& fields = FisProtocol::notaFiscalFields();
    TColumnText word;
    int dateColumn = -1;
    for (int i = 0; i < fields.size(); ++i) {
        if (fields[i].name == QLatin1String("IDENTRSAIDOP"))
            word.column = i;
        if (fields[i].name == QLatin1String("DTENTRSAID"))
            dateColumn = i;
    }
    word.map = [](const QString& kind) {
        return kind == QLatin1String("E") ? QStringLiteral("Entrada") : QStringLiteral("Saída");
    };
    // A company's notes are most of a large answer's time in the engine: even and odd entry
    // days are read at once on two attachments (days count from the first a date can hold, so
    // none is negative).
    const QString byDay = QStringLiteral(" AND MOD(n.DTENTRSAID - DATE '0001-01-01', 2) = ?");
    std::optional<TStreamedPacket> p = streamSplitPacket(
        db, query.sql + byDay + order, query.binds, dateColumn, fields, answerLimit(), word, what);
    if (!p) {
        TQuery q(db, query.sql + order);
        for (const QVariant& v : query.binds)
            q.bind(v);
        q.exec(what);
        // The rows go straight into the answer's bytes: a large list costs its frame and no
        // more.
        p = streamPacket(q, fields, answerLimit(), word);
    }
    return TMethodResult::streamedRows(std::move(p->bytes), p->headroom, p->rows, p->oversized);
}

} // namespace FisServer
