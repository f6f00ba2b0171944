#include "Methods.h"

#include "core/HostExceptions.h"
#include "core/Services.h"

#include <QCborMap>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <cmath>
#include <optional>
#include <tuple>

namespace FisServer {

namespace {

using T = TFieldType;

bool isKindLetter(QChar c) {
    return c == QLatin1Char('E') || c == QLatin1Char('S');
}

bool plainCodeChar(QChar c) {
    // Codes are letters, digits and the few marks series use; quotes, blanks, commas, semicolons
    // and every other character never belong to a key.
    return c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('/') ||
           c == QLatin1Char('.');
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
    const int maxCode = seriesKeys ? 5 : 2;
    qsizetype i = 0;
    const qsizetype n = t.size();
    for (;;) {
        while (i < n && t[i] == QLatin1Char(' '))
            ++i;
        if (i >= n || t[i] != QLatin1Char('\''))
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
        if (code.isEmpty() || code.size() > maxCode)
            throw refuse(QStringLiteral("código \"%1\" com tamanho inválido").arg(code));
        for (QChar c : code)
            if (!plainCodeChar(c))
                throw refuse(QStringLiteral("código \"%1\" com caractere inválido").arg(code));
        const TKey k{key.left(1), code};
        if (!out.contains(k))
            out.append(k);
        if (out.size() > 1000)
            throw refuse(QStringLiteral("mais de 1000 chaves"));
        while (i < n && t[i] == QLatin1Char(' '))
            ++i;
        if (i >= n)
            break;
        if (t[i] != QLatin1Char(','))
            throw refuse(QStringLiteral("chaves devem ser separadas por vírgula"));
        ++i;
    }
    return out;
}

QString checkBarcode(const QString& barcode) {
    if (barcode.size() != 44)
        return QStringLiteral("Código de barras deve ter 44 dígitos (recebidos %1).")
            .arg(barcode.size());
    for (QChar c : barcode)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return QStringLiteral("Código de barras deve conter apenas dígitos: %1").arg(barcode);
    const QChar dv = Mod10(barcode.left(3) + barcode.mid(4));
    if (dv != barcode[3])
        return QStringLiteral("Dígito verificador do código de barras inválido: %1 (esperado %2).")
            .arg(barcode)
            .arg(dv);
    return QString();
}

QString checkTypableLine(const QString& line, const QString& barcode) {
    QString digits;
    for (QChar c : line) {
        if (c.isDigit() && c <= QLatin1Char('9'))
            digits += c;
        else if (c != QLatin1Char(' ') && c != QLatin1Char('.'))
            return QStringLiteral("Linha digitável com caractere inválido: %1").arg(line);
    }
    if (line.size() > 60)
        return QStringLiteral("Linha digitável com mais de 60 caracteres: %1").arg(line);
    if (digits != TransformaBarraLinhaDigi(barcode))
        return QStringLiteral("Linha digitável não corresponde ao código de barras: %1").arg(line);
    return QString();
}

QList<TPacketField> contaPagarFields() {
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

QList<TPacketField> notaFiscalFields() {
    return {
        {QStringLiteral("DSHISTGUIAPAGDOC"), T::String, 255},
        {QStringLiteral("NRNOTAFISC"), T::String, 20},
        {QStringLiteral("EMITENTE"), T::String, 50},
        {QStringLiteral("CDRECEGUIA"), T::String, 4},
        {QStringLiteral("CDSERIE"), T::String, 5},
        {QStringLiteral("NRLANCTONF"), T::String, 10},
        {QStringLiteral("CDFILIAL"), T::String, 4},
        {QStringLiteral("IDCHECK"), T::FixedChar, 1},
        {QStringLiteral("VRIMPOSTONF"), T::Float, 0},
        {QStringLiteral("IDENTRSAIDOP"), T::String, 7},
        {QStringLiteral("NRINSJUR"), T::String, 20},
        {QStringLiteral("CDINSCESTA"), T::String, 16},
        {QStringLiteral("CDINSCMUNI"), T::String, 16},
        {QStringLiteral("VRNOTAFISC"), T::Float, 0},
        {QStringLiteral("VRMULTAGUIA"), T::Float, 0},
        {QStringLiteral("VRJUROGUIA"), T::Float, 0},
        {QStringLiteral("DTVENCGUIA"), T::DateTime, 0},
        {QStringLiteral("NRLANCTONFDARF"), T::String, 10},
        {QStringLiteral("IDSTATUSGUIA"), T::String, 2},
        {QStringLiteral("IDINSJUR"), T::String, 1},
        {QStringLiteral("DTENTRSAID"), T::DateTime, 0},
        {QStringLiteral("CDFILIOPER"), T::String, 4},
    };
}

} // namespace FisServer

using namespace FisServer;

namespace {

QString text(const QCborValue& v) {
    return v.isString() ? v.toString() : QString();
}

// Date part of a date-time argument; null when the argument is empty.
QVariant dateParam(const QCborValue& v) {
    if (!v.isDateTime())
        return QVariant(QMetaType(QMetaType::QDate));
    const QDateTime dt = dateTimeFromCbor(v);
    return dt.isValid() ? QVariant(dt.date()) : QVariant(QMetaType(QMetaType::QDate));
}

QString sqlFailure(const QSqlQuery& q, const QString& what) {
    const QSqlError e = q.lastError();
    return QStringLiteral("Erro no banco de dados ao %1: %2 %3 [%4]")
        .arg(what, e.driverText(), e.databaseText(), q.lastQuery().simplified());
}

// A lock or update conflict with another transaction, or a unique key already taken: the other
// clerk got there first.
bool isConcurrencyError(const QSqlError& e) {
    const QString t = (e.databaseText() + QLatin1Char(' ') + e.driverText()).toLower();
    return t.contains(QLatin1String("deadlock")) || t.contains(QLatin1String("update conflict")) ||
           t.contains(QLatin1String("lock conflict")) || t.contains(QLatin1String("concurrent")) ||
           t.contains(QLatin1String("primary or unique key"));
}

// Only the unique key: a row with that key exists for good.
bool isUniqueKeyError(const QSqlError& e) {
    const QString t = (e.databaseText() + QLatin1Char(' ') + e.driverText()).toLower();
    return t.contains(QLatin1String("primary or unique key"));
}

class TQuery {
public:
    TQuery(const QSqlDatabase& db, const QString& sql) : m_q(db) {
        m_q.setForwardOnly(true);
        if (!m_q.prepare(sql))
            throw EHostError(sqlFailure(m_q, QStringLiteral("preparar a consulta")));
    }
    TQuery& bind(const QVariant& v) {
        m_q.addBindValue(v);
        return *this;
    }
    void exec(const QString& what) {
        if (!m_q.exec())
            throw EHostError(sqlFailure(m_q, what));
    }
    // Like exec, but hands a failure back instead of throwing.
    bool tryExec() { return m_q.exec(); }
    QSqlQuery& q() { return m_q; }

private:
    QSqlQuery m_q;
};

// An explicit transaction that rolls back unless committed.
class TTransaction {
public:
    explicit TTransaction(QSqlDatabase& db) : m_db(db) {
        if (!m_db.transaction())
            throw EHostError(QStringLiteral("Erro no banco de dados ao iniciar a transação: %1")
                                 .arg(m_db.lastError().text()));
    }
    ~TTransaction() {
        if (!m_done)
            m_db.rollback();
    }
    bool commit() {
        m_done = m_db.commit();
        return m_done;
    }
    void rollback() {
        if (!m_done)
            m_db.rollback();
        m_done = true;
    }

private:
    QSqlDatabase& m_db;
    bool m_done = false;
};

QVariant nullText() {
    return QVariant(QMetaType(QMetaType::QString));
}

QVariant textOrNull(const QString& s) {
    return s.isEmpty() ? nullText() : QVariant(s);
}

// Builds a packet from a query whose columns follow fields in order.
TDataPacket packetFrom(QSqlQuery& q, const QList<TPacketField>& fields) {
    TDataPacket p;
    p.fields = fields;
    const int n = int(fields.size());
    while (q.next()) {
        QVariantList row;
        row.reserve(n);
        for (int i = 0; i < n; ++i) {
            const QVariant v = q.value(i);
            if (v.isNull()) {
                row.append(QVariant());
                continue;
            }
            switch (fields[i].type) {
            case TFieldType::String:
            case TFieldType::FixedChar: {
                // CHAR values in a UTF8 connection arrive padded to four bytes per character.
                QString t = v.toString();
                const int size = fields[i].size;
                while (size > 0 && t.size() > size && t.endsWith(QLatin1Char(' ')))
                    t.chop(1);
                row.append(t);
                break;
            }
            case TFieldType::Float:
                // Every float here is money kept with two decimals; the driver's scaling
                // leaves binary residue (1469.6200000000001) that must not travel. The residue
                // is far below a centavo, so the nearest whole centavo is exact.
                row.append(double(std::llround(v.toDouble() * 100)) / 100);
                break;
            case TFieldType::Integer:
                row.append(v.toLongLong());
                break;
            case TFieldType::DateTime:
                row.append(v.metaType().id() == QMetaType::QDate
                               ? QDateTime(v.toDate(), QTime(0, 0))
                               : v.toDateTime());
                break;
            }
        }
        p.rows.append(row);
    }
    return p;
}

QString entrSaidFlag(const QString& method, const QCborValue& v) {
    const QString f = text(v).trimmed().toUpper();
    if (f != QLatin1String("E") && f != QLatin1String("S") && f != QLatin1String("T"))
        throw EHostError(
            QStringLiteral("%1: indicador de entrada/saída deve ser E, S ou T (recebido \"%2\").")
                .arg(method, text(v)));
    return f;
}

// Money as the database keeps it: two decimals, never negative, never NaN.
double money(const QString& method, const QString& name, double v) {
    if (!std::isfinite(v) || v < 0 || v >= 1e13)
        throw EHostError(
            QStringLiteral("%1: %2 inválido (%3).").arg(method, name).arg(v, 0, 'f', 2));
    return RoundDec(v, 2);
}

// A key longer than its column names no row; the database would answer a truncation error with
// the statement instead, so such a value is refused here with what it is. Empty when it fits.
QString tooLong(const QString& method, const QString& what, const QString& value, int size) {
    if (value.size() <= size)
        return QString();
    return QStringLiteral("%1: %2 com mais de %3 caracteres: \"%4\".")
        .arg(method, what)
        .arg(size)
        .arg(value.left(100));
}

void refuseTooLong(const QString& method,
                   std::initializer_list<std::tuple<const char*, QString, int>> values) {
    for (const auto& [what, value, size] : values)
        if (const QString why = tooLong(method, QString::fromUtf8(what), value, size);
            !why.isEmpty())
            throw EHostError(why);
}

QString digitsOnly(const QString& s) {
    QString out;
    for (QChar c : s)
        if (c.isDigit())
            out += c;
    return out;
}

QCborValue resultPacket(const QString& kind, const QString& key) {
    TDataPacket p;
    p.fields = {{QStringLiteral("CDRESULT"), TFieldType::String, 3},
                {QStringLiteral("DSRESULT"), TFieldType::String, 250},
                {QStringLiteral("IDTPRESULT"), TFieldType::String, 2}};
    p.rows.append({kind, key, QStringLiteral("01")});
    return p.toCbor();
}

QCborValue geraAnswer(const QString& kind, const QString& key, const QString& guiaEmit,
                      const QString& checked) {
    return QCborArray{resultPacket(kind, key), guiaEmit, checked};
}

// The guide row of a note and tax as a save finds it.
struct TStoredGuide {
    bool exists = false;
    double imposto = 0;
    QString status;
    double multa = 0, juros = 0;
    QDate venc;
    QString receita, hist;
};

// Why a save of these guide fields must be refused, empty when it may go on. A note without an
// amount of the tax has no guide: a row made up for it would carry a payable of R$ 0,00. An
// issued guide keeps every field its payable and barcode were built from; sending the same
// values again is no change.
QString guideRefusal(const QString& method, const QString& filial, const QString& lancto,
                     const QString& imposto, const TStoredGuide& cur, double multa, double juros,
                     const QDate& venc, const QString& receita, const QString& hist) {
    if (!cur.exists || !(cur.imposto > 0))
        return QStringLiteral("%1: a nota %2/%3 não tem valor do imposto %4; não há guia a "
                              "gravar para ela.")
            .arg(method, filial, lancto, imposto);
    if (cur.status != QLatin1String("S"))
        return QString();
    auto centavos = [](double v) { return std::llround(v * 100); };
    QStringList changed;
    if (centavos(cur.multa) != centavos(multa))
        changed << QStringLiteral("valor da multa");
    if (centavos(cur.juros) != centavos(juros))
        changed << QStringLiteral("valor dos juros");
    if (cur.venc != venc)
        changed << QStringLiteral("vencimento");
    if (cur.receita != receita)
        changed << QStringLiteral("código da receita");
    if (cur.hist != hist)
        changed << QStringLiteral("histórico");
    if (changed.isEmpty())
        return QString();
    return QStringLiteral("%1: a guia da nota %2/%3 já foi emitida; %4 não pode ser alterado.")
        .arg(method, filial, lancto, changed.join(QStringLiteral(", ")));
}

} // namespace

QCborValue TFisMethods::call(const QString& method, QCborArray& args) {
    m_lastRows = -1;
    m_remark.clear();
    if (method == QLatin1String("GetTipoOper"))
        return GetTipoOper(args);
    if (method == QLatin1String("GetSerie"))
        return GetSerie(args);
    if (method == QLatin1String("GetNotaFiscal"))
        return GetNotaFiscal(args);
    if (method == QLatin1String("setDarfDoc"))
        return setDarfDoc(args);
    if (method == QLatin1String("GetParamFiscal"))
        return GetParamFiscal(args);
    if (method == QLatin1String("GeraContaPagar"))
        return GeraContaPagar(args);
    if (method == QLatin1String("GetVdCodRece"))
        return GetVdCodRece(args);
    if (method == QLatin1String("GetCodRecePad"))
        return GetCodRecePad(args);
    throw EHostError(QStringLiteral("Método desconhecido: %1").arg(method));
}

QCborValue TFisMethods::GetTipoOper(QCborArray& args) {
    const QString flag = entrSaidFlag(QStringLiteral("GetTipoOper"), args[0]);
    QString sql = QStringLiteral(
        "SELECT ' ', CDTIPOOPER, NMTIPOOPER, IDENTRSAIDOP, IDENTRSAIDOP || CDTIPOOPER"
        "  FROM TIPOOPERAC");
    if (flag != QLatin1String("T"))
        sql += QStringLiteral(" WHERE IDENTRSAIDOP = ?");
    sql += QStringLiteral(" ORDER BY IDENTRSAIDOP, CDTIPOOPER");
    TQuery q(m_db, sql);
    if (flag != QLatin1String("T"))
        q.bind(flag);
    q.exec(QStringLiteral("ler os tipos de operação"));
    // The pick list's column order: mark, code, name, kind, key.
    const TDataPacket p = packetFrom(q.q(), {{QStringLiteral("IDMARCADO"), T::FixedChar, 1},
                                             {QStringLiteral("CDTIPOOPER"), T::String, 2},
                                             {QStringLiteral("NMTIPOOPER"), T::String, 30},
                                             {QStringLiteral("IDENTRSAIDOP"), T::String, 1},
                                             {QStringLiteral("CHAVE"), T::String, 3}});
    m_lastRows = int(p.rows.size());
    return p.toCbor();
}

QCborValue TFisMethods::GetSerie(QCborArray& args) {
    const QString empresa = text(args[0]).trimmed();
    const QString inscEsta = text(args[1]).trimmed();
    const QString inscMuni = text(args[2]).trimmed();
    const QString flag = entrSaidFlag(QStringLiteral("GetSerie"), args[3]);
    refuseTooLong(QStringLiteral("GetSerie"), {{"empresa", empresa, 2},
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
    TQuery q(m_db, parts.join(QStringLiteral(" UNION ALL ")) + QStringLiteral(" ORDER BY 4, 2"));
    for (const QVariant& v : binds)
        q.bind(v);
    q.exec(QStringLiteral("ler as séries"));
    const TDataPacket p = packetFrom(q.q(), {{QStringLiteral("IDMARCADO"), T::FixedChar, 1},
                                             {QStringLiteral("CDSERIE"), T::String, 5},
                                             {QStringLiteral("DSSERIE"), T::String, 20},
                                             {QStringLiteral("TIPO"), T::FixedChar, 1},
                                             {QStringLiteral("CHAVE"), T::String, 7}});
    m_lastRows = int(p.rows.size());
    return p.toCbor();
}

QCborValue TFisMethods::GetNotaFiscal(QCborArray& args) {
    const QString M = QStringLiteral("GetNotaFiscal");
    const QString empresa = text(args[0]).trimmed();
    const QString inscEsta = text(args[1]).trimmed();
    const QString inscMuni = text(args[2]).trimmed();
    const QString flag = entrSaidFlag(M, args[3]);
    const QList<TKey> series = parseKeyList(text(args[4]), true, QStringLiteral("séries"));
    const QList<TKey> tipos =
        parseKeyList(text(args[5]), false, QStringLiteral("tipos de operação"));
    const QVariant entIni = dateParam(args[6]), entFim = dateParam(args[7]);
    const QVariant emiIni = dateParam(args[8]), emiFim = dateParam(args[9]);
    const QString inscricao = digitsOnly(text(args[10]));
    if (!text(args[10]).trimmed().isEmpty() && inscricao.isEmpty())
        throw EHostError(QStringLiteral("%1: inscrição do cliente/fornecedor inválida: \"%2\".")
                             .arg(M, text(args[10])));
    const QString imposto = text(args[11]).trimmed();
    if (imposto.isEmpty())
        throw EHostError(QStringLiteral("%1: imposto deve ser informado.").arg(M));
    if (empresa.isEmpty())
        throw EHostError(QStringLiteral("%1: empresa deve ser informada.").arg(M));

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
    QVariantList binds{imposto, empresa};
    auto cond = [&](const QString& c, const QVariant& v) {
        sql += QStringLiteral(" AND ") + c;
        binds.append(v);
    };
    if (!inscEsta.isEmpty())
        cond(QStringLiteral("n.CDINSCESTA = ?"), inscEsta);
    if (!inscMuni.isEmpty())
        cond(QStringLiteral("n.CDINSCMUNI = ?"), inscMuni);
    if (flag != QLatin1String("T"))
        cond(QStringLiteral("n.IDENTRSAIDOP = ?"), flag);
    if (!entIni.isNull())
        cond(QStringLiteral("n.DTENTRSAID >= ?"), entIni);
    if (!entFim.isNull())
        cond(QStringLiteral("n.DTENTRSAID <= ?"), entFim);
    if (!emiIni.isNull())
        cond(QStringLiteral("n.DTEMISSAONF >= ?"), emiIni);
    if (!emiFim.isNull())
        cond(QStringLiteral("n.DTEMISSAONF <= ?"), emiFim);
    if (!inscricao.isEmpty())
        cond(QStringLiteral("n.NRINSJUR = ?"), inscricao);
    // Each key list becomes (kind = ? AND code IN (?, ...)) OR ... with every value bound.
    auto keyCond = [&](const QList<TKey>& keys, const QString& column) {
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
    };
    keyCond(series, QStringLiteral("n.CDSERIE"));
    keyCond(tipos, QStringLiteral("n.CDTIPOOPER"));
    sql += QStringLiteral(" ORDER BY n.DTENTRSAID, n.NRNOTAFISC, n.CDFILIAL, n.NRLANCTONF");

    TQuery q(m_db, sql);
    for (const QVariant& v : binds)
        q.bind(v);
    q.exec(QStringLiteral("ler as notas fiscais"));
    TDataPacket p = packetFrom(q.q(), notaFiscalFields());
    // The worksheet shows the operation as a word; its first letter is still the kind.
    const int op = p.indexOf(QStringLiteral("IDENTRSAIDOP"));
    for (QVariantList& row : p.rows)
        row[op] = row[op].toString() == QLatin1String("E") ? QStringLiteral("Entrada")
                                                           : QStringLiteral("Saída");
    m_lastRows = int(p.rows.size());
    return p.toCbor();
}

QCborValue TFisMethods::setDarfDoc(QCborArray& args) {
    const QString M = QStringLiteral("setDarfDoc");
    const QString filial = text(args[0]).trimmed();
    const QString lancto = text(args[1]).trimmed();
    const QString imposto = text(args[2]).trimmed();
    // args[3], the status, is the server's own fact: only GeraContaPagar issues a guide, so the
    // client's copy is never stored.
    const double multa = money(M, QStringLiteral("valor da multa"), args[4].toDouble());
    const double juros = money(M, QStringLiteral("valor dos juros"), args[5].toDouble());
    const QString vencText = text(args[6]).trimmed();
    const QString hist = text(args[7]);
    const QString nrDarf = text(args[8]).trimmed();
    const QString receita = text(args[9]).trimmed();

    if (filial.isEmpty() || lancto.isEmpty())
        throw EHostError(
            QStringLiteral("%1: filial e lançamento da nota devem ser informados.").arg(M));
    if (imposto.isEmpty())
        throw EHostError(QStringLiteral("%1: imposto deve ser informado.").arg(M));
    refuseTooLong(
        M, {{"filial", filial, 4}, {"lançamento da nota", lancto, 10}, {"imposto", imposto, 2}});
    QVariant venc(QMetaType(QMetaType::QDate));
    // The date edit's empty mask ("  /  /    ") counts as no date.
    if (!QString(vencText).remove(QLatin1Char('/')).trimmed().isEmpty()) {
        const QDate d = QDate::fromString(vencText, QStringLiteral("dd/MM/yyyy"));
        if (!d.isValid())
            throw EHostError(
                QStringLiteral("%1: data de vencimento inválida: \"%2\" (use dd/mm/aaaa).")
                    .arg(M, vencText));
        venc = d;
    }
    if (receita.size() > 4)
        throw EHostError(QStringLiteral("%1: código da receita com mais de 4 caracteres: \"%2\".")
                             .arg(M, receita));
    if (hist.size() > 255)
        throw EHostError(QStringLiteral("%1: histórico com mais de 255 caracteres.").arg(M));
    if (nrDarf.size() > 10)
        throw EHostError(
            QStringLiteral("%1: número do lançamento da guia com mais de 10 caracteres.").arg(M));

    // One attempt in its own transaction: false on a lock or update conflict. The row lock makes
    // this wait for a colleague's transaction on the guide, which then ends in a conflict; a
    // fresh snapshot sees what the colleague left (an issued guide keeps its rules) and saves.
    auto saveOnce = [&]() -> bool {
        TTransaction tr(m_db);
        TQuery nota(
            m_db, QStringLiteral("SELECT 1 FROM NOTAFISCAL WHERE CDFILIAL = ? AND NRLANCTONF = ?"));
        nota.bind(filial).bind(lancto).exec(QStringLiteral("ler a nota"));
        if (!nota.q().next())
            throw EHostError(
                QStringLiteral("%1: nota fiscal %2/%3 não encontrada.").arg(M, filial, lancto));

        TQuery cur(m_db, QStringLiteral("SELECT IDSTATUSGUIA, DTVENCGUIA, CDRECEGUIA,"
                                        " DSHISTGUIAPAGDOC, VRIMPOSTONF, VRMULTAGUIA, VRJUROGUIA"
                                        " FROM IMPOSTONF WHERE CDFILIAL = ?"
                                        " AND NRLANCTONF = ? AND CDIMPOSTONFE = ? WITH LOCK"));
        cur.bind(filial).bind(lancto).bind(imposto);
        if (!cur.tryExec() || !cur.q().isActive()) {
            if (isConcurrencyError(cur.q().lastError()))
                return false;
            throw EHostError(sqlFailure(cur.q(), QStringLiteral("ler a guia")));
        }
        const bool exists = cur.q().next();
        if (!exists && cur.q().lastError().isValid()) {
            if (isConcurrencyError(cur.q().lastError()))
                return false;
            throw EHostError(sqlFailure(cur.q(), QStringLiteral("ler a guia")));
        }
        TStoredGuide stored;
        if (exists)
            stored = {true,
                      cur.q().value(4).toDouble(),
                      cur.q().value(0).toString(),
                      cur.q().value(5).toDouble(),
                      cur.q().value(6).toDouble(),
                      cur.q().value(1).toDate(),
                      cur.q().value(2).toString().trimmed(),
                      cur.q().value(3).toString()};
        if (const QString why = guideRefusal(M, filial, lancto, imposto, stored, multa, juros,
                                             venc.toDate(), receita, hist);
            !why.isEmpty())
            throw EHostError(why);
        cur.q().finish();

        TQuery w(m_db, QStringLiteral(
                           "UPDATE IMPOSTONF SET VRMULTAGUIA = ?, VRJUROGUIA = ?, DTVENCGUIA = ?,"
                           " DSHISTGUIAPAGDOC = ?, NRLANCTONFDARF = ?, CDRECEGUIA = ?"
                           " WHERE CDFILIAL = ? AND NRLANCTONF = ? AND CDIMPOSTONFE = ?"));
        w.bind(multa).bind(juros).bind(venc).bind(textOrNull(hist)).bind(textOrNull(nrDarf));
        w.bind(textOrNull(receita)).bind(filial).bind(lancto).bind(imposto);
        if (!w.tryExec()) {
            if (isConcurrencyError(w.q().lastError()))
                return false;
            throw EHostError(sqlFailure(w.q(), QStringLiteral("gravar a guia")));
        }
        if (!tr.commit()) {
            if (isConcurrencyError(m_db.lastError()))
                return false;
            throw EHostError(QStringLiteral("%1: não foi possível gravar a guia da nota %2/%3: %4")
                                 .arg(M, filial, lancto, m_db.lastError().text()));
        }
        return true;
    };
    for (int attempt = 1;; ++attempt) {
        if (saveOnce()) {
            if (attempt > 1)
                m_remark = QStringLiteral("após conflito de transação");
            break;
        }
        if (attempt == 3)
            throw EHostError(
                QStringLiteral("%1: a guia da nota %2/%3 está sendo alterada por outro "
                               "usuário; tente novamente.")
                    .arg(M, filial, lancto));
    }
    return QCborValue(true);
}

QCborValue TFisMethods::GetParamFiscal(QCborArray&) {
    TQuery q(m_db, QStringLiteral("SELECT CDTIPOOPERPREPAG, DTREFVENCDARF, DTREFPAGDARF"
                                  "  FROM PARAMFISCAL WHERE IDPARAMFISCAL = 1"));
    q.exec(QStringLiteral("ler os parâmetros fiscais"));
    const TDataPacket p = packetFrom(q.q(), {{QStringLiteral("CDTIPOOPERPREPAG"), T::String, 2},
                                             {QStringLiteral("DTREFVENCDARF"), T::DateTime, 0},
                                             {QStringLiteral("DTREFPAGDARF"), T::DateTime, 0}});
    m_lastRows = int(p.rows.size());
    return p.toCbor();
}

namespace {
const QList<TPacketField> codReceFields{{QStringLiteral("CDRECEPADRAO"), TFieldType::String, 4},
                                        {QStringLiteral("CDVARIACAO"), TFieldType::String, 2},
                                        {QStringLiteral("DSRECEPADRAO"), TFieldType::String, 1000}};
}

QCborValue TFisMethods::GetVdCodRece(QCborArray& args) {
    const QString imposto = text(args[0]).trimmed();
    QString code = text(args[1]).trimmed();
    // A short numeric code means the same as its four-digit form.
    if (!code.isEmpty() && code.size() < 4 && digitsOnly(code) == code)
        code = Ajusta(code, 4);
    TQuery q(m_db, QStringLiteral("SELECT CDRECEPADRAO, CDVARIACAO, DSRECEPADRAO FROM RECEITAPADRAO"
                                  " WHERE CDIMPOSTONFE = ? AND CDRECEPADRAO = ?"
                                  " ORDER BY CDVARIACAO"));
    q.bind(imposto).bind(code).exec(QStringLiteral("ler o código da receita"));
    const TDataPacket p = packetFrom(q.q(), codReceFields);
    m_lastRows = int(p.rows.size());
    return p.toCbor();
}

QCborValue TFisMethods::GetCodRecePad(QCborArray& args) {
    const QString imposto = text(args[0]).trimmed();
    TQuery q(m_db, QStringLiteral("SELECT CDRECEPADRAO, CDVARIACAO, DSRECEPADRAO FROM RECEITAPADRAO"
                                  " WHERE CDIMPOSTONFE = ? ORDER BY CDRECEPADRAO, CDVARIACAO"));
    q.bind(imposto).exec(QStringLiteral("ler os códigos da receita"));
    const TDataPacket p = packetFrom(q.q(), codReceFields);
    m_lastRows = int(p.rows.size());
    return p.toCbor();
}

QCborValue TFisMethods::GeraContaPagar(QCborArray& args) {
    const QString empresa = text(args[0]).trimmed();
    const QString imposto = text(args[1]).trimmed();
    const QString barra = text(args[3]).trimmed();
    const QString linha = text(args[4]).trimmed();
    const QString hist = text(args[5]);

    // A packet that is not exactly the one payable record answers a text the clerk reads.
    TDataPacket p;
    try {
        p = TDataPacket::fromCbor(args[2]);
    } catch (const EHostError& e) {
        return QStringLiteral("Conta a pagar: %1").arg(e.text());
    }
    const QList<TPacketField> want = contaPagarFields();
    if (p.fields.size() != want.size())
        return QStringLiteral("Conta a pagar: o pacote deve ter os %1 campos da conta a pagar "
                              "(recebidos %2).")
            .arg(want.size())
            .arg(p.fields.size());
    for (int i = 0; i < want.size(); ++i) {
        const TPacketField& f = p.fields[i];
        const bool textType = f.type == TFieldType::String || f.type == TFieldType::FixedChar;
        const bool wantText = want[i].type == TFieldType::String;
        const bool typeOk =
            wantText ? textType
                     : (f.type == want[i].type ||
                        (want[i].type == TFieldType::Float && f.type == TFieldType::Integer));
        if (f.name.compare(want[i].name, Qt::CaseInsensitive) != 0 || !typeOk)
            return QStringLiteral("Conta a pagar: campo %1 do pacote deve ser %2 (%3); recebido "
                                  "%4 (%5).")
                .arg(i + 1)
                .arg(want[i].name, fieldTypeName(want[i].type), f.name, fieldTypeName(f.type));
    }
    if (p.rows.size() != 1)
        return QStringLiteral(
                   "Conta a pagar: o pacote deve ter exatamente uma linha (recebidas %1).")
            .arg(p.rows.size());
    const QVariantList& r = p.rows[0];
    auto s = [&](const char* name) {
        return r[p.indexOf(QLatin1String(name))].toString().trimmed();
    };
    auto d = [&](const char* name) { return r[p.indexOf(QLatin1String(name))].toDouble(); };
    auto dt = [&](const char* name) { return r[p.indexOf(QLatin1String(name))].toDateTime(); };
    const QString filial = s("CDFILIAL");
    const QString lancto = s("NRLANCTONF");
    if (filial.isEmpty() || lancto.isEmpty())
        return QStringLiteral("Conta a pagar: filial e lançamento da nota devem ser informados.");
    if (imposto.isEmpty())
        return QStringLiteral("Conta a pagar: imposto deve ser informado.");
    for (const auto& [what, value, size] :
         {std::tuple{"empresa", empresa, 2}, std::tuple{"filial", filial, 4},
          std::tuple{"lançamento da nota", lancto, 10}, std::tuple{"imposto", imposto, 2}})
        if (const QString why =
                tooLong(QStringLiteral("Conta a pagar"), QString::fromUtf8(what), value, size);
            !why.isEmpty())
            return why;
    const QDateTime venc = dt("DTVENCGUIA").isValid() ? dt("DTVENCGUIA") : dt("DTVENCGNRE");
    if (!venc.isValid())
        return QStringLiteral("Conta a pagar: vencimento deve ser informado.");
    const QString receita = s("CDRECEITAGNRE");
    if (receita.isEmpty() || receita.size() > 4)
        return QStringLiteral("Conta a pagar: código da receita inválido: \"%1\".").arg(receita);
    const QString M = QStringLiteral("GeraContaPagar");
    double multa, juros, total;
    try {
        multa = money(M, QStringLiteral("valor da multa"), d("VRMULTAGUIA"));
        juros = money(M, QStringLiteral("valor dos juros"), d("VRJUROGUIA"));
        total = money(M, QStringLiteral("valor a pagar"), d("VRIMPOSTONF"));
    } catch (const EHostError& e) {
        return e.text();
    }
    if (hist.size() > 255)
        return QStringLiteral("Conta a pagar: histórico com mais de 255 caracteres.");

    const QString emitText = QStringLiteral("_") + filial + lancto + QStringLiteral("S_");
    // One attempt in its own transaction; no value on a lock or update conflict.
    auto issueOnce = [&](TTransaction& tr) -> std::optional<QCborValue> {
        auto emit_ = [&](const char* why) {
            m_remark = QString::fromUtf8(why);
            tr.rollback();
            return geraAnswer(QStringLiteral("ERR"), QStringLiteral("EMIT"), QString(),
                              QStringLiteral("U"));
        };
        // A lock or update conflict: the caller tries again.
        auto conflict = [&]() -> std::optional<QCborValue> {
            tr.rollback();
            return std::nullopt;
        };

        TQuery cfg(m_db,
                   QStringLiteral("SELECT CDFORNECED, CDTIPOCONTAPAG, CDTIPOBAIXAPAG, CDTIPOOPERPAG"
                                  "  FROM IMPOSTOCONTAPAG WHERE CDIMPOSTONFE = ?"));
        cfg.bind(imposto).exec(QStringLiteral("ler a parametrização do imposto"));
        if (!cfg.q().next())
            return geraAnswer(QStringLiteral("ERR"), QStringLiteral("ERRO_BENEFICIARIO"), QString(),
                              QStringLiteral("U"));
        const QString fornec = cfg.q().value(0).toString();
        const QString tipoConta = cfg.q().value(1).toString();
        const QString tipoBaixa = cfg.q().value(2).toString();
        const QString tipoOper = cfg.q().value(3).toString();
        cfg.q().finish();

        TQuery nota(m_db, QStringLiteral("SELECT CDEMPRESA, CDFILIOPER FROM NOTAFISCAL"
                                         " WHERE CDFILIAL = ? AND NRLANCTONF = ?"));
        nota.bind(filial).bind(lancto).exec(QStringLiteral("ler a nota"));
        if (!nota.q().next())
            return QStringLiteral("Conta a pagar: nota fiscal %1/%2 não encontrada.")
                .arg(filial, lancto);
        if (nota.q().value(0).toString() != empresa)
            return QStringLiteral("Conta a pagar: a nota fiscal %1/%2 não pertence à empresa %3.")
                .arg(filial, lancto, empresa);
        const QString filiOper = nota.q().value(1).toString();
        nota.q().finish();

        // The guide's row is locked for the rest of the transaction: a colleague's transaction that
        // changed it makes this one wait here and then meet the conflict.
        TQuery guia(m_db,
                    QStringLiteral("SELECT IDSTATUSGUIA, VRIMPOSTONF FROM IMPOSTONF"
                                   " WHERE CDFILIAL = ? AND NRLANCTONF = ? AND CDIMPOSTONFE = ?"
                                   " WITH LOCK"));
        guia.bind(filial).bind(lancto).bind(imposto);
        if (!guia.tryExec()) {
            if (isConcurrencyError(guia.q().lastError()))
                return conflict();
            throw EHostError(sqlFailure(guia.q(), QStringLiteral("ler a guia")));
        }
        if (!guia.q().next()) {
            if (guia.q().lastError().isValid() && isConcurrencyError(guia.q().lastError()))
                return conflict();
            return QStringLiteral("Conta a pagar: a nota fiscal %1/%2 não tem valor do imposto %3.")
                .arg(filial, lancto, imposto);
        }
        if (guia.q().value(0).toString() == QLatin1String("S"))
            return emit_("guia já emitida");
        const double imposto_valor = guia.q().value(1).toDouble();
        guia.q().finish();

        if (const QString why = checkBarcode(barra); !why.isEmpty())
            return why;
        if (const QString why = checkTypableLine(linha, barra); !why.isEmpty())
            return why;
        if (!s("STBARRAGUIA").isEmpty() && s("STBARRAGUIA") != barra)
            return QStringLiteral("Código de barras do pacote difere do informado: %1 / %2")
                .arg(s("STBARRAGUIA"), barra);
        if (!s("STLINHADIGI").isEmpty() && s("STLINHADIGI") != linha)
            return QStringLiteral("Linha digitável do pacote difere da informada: %1 / %2")
                .arg(s("STLINHADIGI"), linha);
        // The amount in the barcode is what the bank collects: tax plus interest plus fine,
        // summed first and rounded once, as the screen composes it; rounding each part would
        // refuse a fine and interest typed with more than two decimals by a centavo.
        const qint64 devido =
            ToCentavos(RoundDec(imposto_valor + d("VRJUROGUIA") + d("VRMULTAGUIA"), 2));
        if (ToCentavos(total) != devido)
            return QStringLiteral("Valor a pagar %1 difere de imposto + multa + juros (%2).")
                .arg(FormatBR(total), FormatBR(devido / 100.0));
        if (barra.mid(4, 11).toLongLong() != devido)
            return QStringLiteral("Valor do código de barras (%1) difere do valor a pagar (%2).")
                .arg(FormatBR(barra.mid(4, 11).toLongLong() / 100.0), FormatBR(devido / 100.0));

        TQuery seq(m_db, QStringLiteral("SELECT NEXT VALUE FOR GEN_CONTAPAGAR FROM RDB$DATABASE"));
        seq.exec(QStringLiteral("numerar a conta a pagar"));
        seq.q().next();
        const qint64 nrConta = seq.q().value(0).toLongLong();
        seq.q().finish();

        TQuery ins(
            m_db,
            QStringLiteral("INSERT INTO CONTAPAGAR (NRCONTAPAGAR, CDEMPRESA, CDFILIAL, NRLANCTONF,"
                           " CDIMPOSTONFE, CDFILIOPER, CDFORNECED, CDTIPOCONTAPAG, CDTIPOBAIXAPAG,"
                           " CDTIPOOPERPAG, CDRECEGUIA, VRMULTAGUIA, VRJUROGUIA, VRCONTAPAGAR,"
                           " DTVENCGUIA, STBARRAGUIA, STLINHADIGI, DSHISTGUIAPAGDOC)"
                           " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        ins.bind(nrConta).bind(empresa).bind(filial).bind(lancto).bind(imposto);
        ins.bind(textOrNull(s("CDFILIOPER").isEmpty() ? filiOper : s("CDFILIOPER")));
        ins.bind(fornec).bind(tipoConta).bind(tipoBaixa).bind(tipoOper).bind(receita);
        ins.bind(multa).bind(juros).bind(devido / 100.0).bind(venc.date()).bind(barra).bind(linha);
        ins.bind(textOrNull(hist));
        if (!ins.tryExec()) {
            if (isUniqueKeyError(ins.q().lastError()))
                return emit_("conta a pagar já existe");
            if (isConcurrencyError(ins.q().lastError()))
                return conflict();
            throw EHostError(sqlFailure(ins.q(), QStringLiteral("gravar a conta a pagar")));
        }
        TQuery upd(
            m_db, QStringLiteral("UPDATE IMPOSTONF SET IDSTATUSGUIA = 'S', NRCONTAPAGAR = ?,"
                                 " VRMULTAGUIA = ?, VRJUROGUIA = ?, DTVENCGUIA = ?, CDRECEGUIA = ?,"
                                 " DSHISTGUIAPAGDOC = ?"
                                 " WHERE CDFILIAL = ? AND NRLANCTONF = ? AND CDIMPOSTONFE = ?"
                                 "   AND IDSTATUSGUIA = 'N'"));
        upd.bind(nrConta)
            .bind(multa)
            .bind(juros)
            .bind(venc.date())
            .bind(receita)
            .bind(textOrNull(hist));
        upd.bind(filial).bind(lancto).bind(imposto);
        if (!upd.tryExec()) {
            if (isConcurrencyError(upd.q().lastError()))
                return conflict();
            throw EHostError(sqlFailure(upd.q(), QStringLiteral("marcar a guia como emitida")));
        }
        if (upd.q().numRowsAffected() != 1)
            return emit_("guia já emitida");
        if (!tr.commit()) {
            if (isConcurrencyError(m_db.lastError()))
                return conflict();
            throw EHostError(QStringLiteral("Não foi possível gravar a conta a pagar: %1")
                                 .arg(m_db.lastError().text()));
        }
        m_lastRows = 1;
        return geraAnswer(QStringLiteral("MSG"), QStringLiteral("CONTAPAGAR_OK"), emitText,
                          QStringLiteral("C"));
    };

    // Another transaction that changed the guide's row (a colleague saving the note, or issuing
    // it) makes this one meet a lock or update conflict. That says nothing about whether the
    // guide was issued, so the issue is tried again on a fresh snapshot, which sees what the
    // other transaction left: issued (EMIT), or still open and issued now.
    for (int attempt = 1;; ++attempt) {
        std::optional<QCborValue> answer;
        {
            TTransaction tr(m_db);
            answer = issueOnce(tr);
        }
        if (answer) {
            if (attempt > 1 && m_remark.isEmpty())
                m_remark = QStringLiteral("após conflito de transação");
            return *answer;
        }
        if (attempt == 3) {
            m_remark = QStringLiteral("conflito de transação");
            return QStringLiteral("Conta a pagar: a guia da nota %1/%2 está sendo alterada por "
                                  "outro usuário; tente novamente.")
                .arg(filial, lancto);
        }
    }
}
