#include "DataAccess.h"

#include <cmath>

namespace FisServer {

namespace {
// Firebird's SQLCODEs for the two ways another transaction gets in the way.
constexpr int SqlCodeConflict = -913;     // deadlock; update conflicts with concurrent update
constexpr int SqlCodeDuplicateKey = -803; // violation of PRIMARY or UNIQUE KEY constraint
} // namespace

TDbFailure classify(const QSqlError& error) {
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    if (!ok)
        return TDbFailure::Other;
    if (code == SqlCodeConflict)
        return TDbFailure::Conflict;
    if (code == SqlCodeDuplicateKey)
        return TDbFailure::DuplicateKey;
    return TDbFailure::Other;
}

QString sqlFailure(const QString& what) {
    return QStringLiteral("Erro no banco de dados ao %1: a operação não foi concluída "
                          "(os detalhes estão no registro do servidor).")
        .arg(what);
}

QString sqlDetail(const QSqlQuery& q) {
    const QSqlError e = q.lastError();
    return QStringLiteral("%1 %2 [%3]")
        .arg(e.driverText(), e.databaseText(), q.lastQuery().simplified());
}

TQuery::TQuery(const QSqlDatabase& db, const QString& sql) : m_q(db) {
    m_q.setForwardOnly(true);
    if (!m_q.prepare(sql))
        fail(QStringLiteral("preparar a consulta"));
}

TQuery& TQuery::bind(const QVariant& v) {
    m_q.addBindValue(v);
    return *this;
}

void TQuery::exec(const QString& what) {
    if (!m_q.exec() || !m_q.isActive())
        fail(what);
}

bool TQuery::next(const QString& what) {
    if (m_q.next())
        return true;
    if (m_q.lastError().isValid())
        fail(what);
    return false;
}

void TQuery::fail(const QString& what) {
    const QString text = sqlFailure(what);
    const QString detail = sqlDetail(m_q);
    switch (classify(m_q.lastError())) {
    case TDbFailure::Conflict:
        throw EConflict(text, detail, false);
    case TDbFailure::DuplicateKey:
        throw EConflict(text, detail, true);
    case TDbFailure::Other:
        break;
    }
    throw EDbError(text, detail);
}

TTransaction::TTransaction(QSqlDatabase& db) : m_db(db) {
    if (!m_db.transaction())
        throw EDbError(sqlFailure(QStringLiteral("iniciar a transação")), m_db.lastError().text());
}

TTransaction::~TTransaction() {
    if (!m_committed)
        m_db.rollback();
}

void TTransaction::commit(const QString& failure) {
    if (m_db.commit()) {
        m_committed = true;
        return;
    }
    const QSqlError e = m_db.lastError();
    const QString text = failure + QStringLiteral(".");
    if (classify(e) != TDbFailure::Other)
        throw EConflict(text, e.text(), classify(e) == TDbFailure::DuplicateKey);
    throw EDbError(text, e.text());
}

TDataPacket packetFrom(TQuery& q, const QList<TPacketField>& fields) {
    TDataPacket p;
    p.fields = fields;
    const int n = int(fields.size());
    // A failure while fetching throws rather than ending the packet early.
    while (q.next(QStringLiteral("ler as linhas"))) {
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

QVariant nullText() {
    return QVariant(QMetaType(QMetaType::QString));
}

QVariant textOrNull(const QString& s) {
    return s.isEmpty() ? nullText() : QVariant(s);
}

} // namespace FisServer
