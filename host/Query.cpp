#include "Query.h"

#include "core/HostExceptions.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>
#include <algorithm>

namespace {

bool isNameStart(QChar c) {
    return c.isLetter() || c == QLatin1Char('_');
}
bool isNameChar(QChar c) {
    return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('$');
}

// Rewrites :NAME parameters as positional '?' (so that one name may appear several times on
// any driver) and lists the names in the order of their places. Quoted texts, quoted
// identifiers and comments are left alone.
QString toPositional(const QString& sql, QStringList* names) {
    QString out;
    out.reserve(sql.size());
    const int n = sql.size();
    for (int i = 0; i < n; ++i) {
        const QChar c = sql[i];
        if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            int j = i + 1;
            while (j < n) {
                if (sql[j] == c) {
                    if (j + 1 < n && sql[j + 1] == c) { // doubled quote inside
                        j += 2;
                        continue;
                    }
                    break;
                }
                ++j;
            }
            out += QStringView(sql).mid(i, std::min(j, n - 1) - i + 1);
            i = j;
            continue;
        }
        if (c == QLatin1Char('-') && i + 1 < n && sql[i + 1] == QLatin1Char('-')) {
            int j = sql.indexOf(QLatin1Char('\n'), i);
            if (j < 0)
                j = n - 1;
            out += QStringView(sql).mid(i, j - i + 1);
            i = j;
            continue;
        }
        if (c == QLatin1Char('/') && i + 1 < n && sql[i + 1] == QLatin1Char('*')) {
            int j = sql.indexOf(QStringLiteral("*/"), i + 2);
            j = j < 0 ? n - 1 : j + 1;
            out += QStringView(sql).mid(i, j - i + 1);
            i = j;
            continue;
        }
        if (c == QLatin1Char(':') && i + 1 < n && isNameStart(sql[i + 1]) &&
            (i == 0 || sql[i - 1] != QLatin1Char(':'))) {
            int j = i + 1;
            while (j < n && isNameChar(sql[j]))
                ++j;
            if (names)
                names->append(sql.mid(i + 1, j - i - 1));
            out += QLatin1Char('?');
            i = j - 1;
            continue;
        }
        out += c;
    }
    return out;
}

TFieldType fieldTypeOf(const QSqlField& f) {
    switch (f.metaType().id()) {
    case QMetaType::Double:
    case QMetaType::Float:
        return TFieldType::Float;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Bool:
        return TFieldType::Integer;
    case QMetaType::QDate:
    case QMetaType::QDateTime:
    case QMetaType::QTime:
        return TFieldType::DateTime;
    default:
        return TFieldType::String;
    }
}

QVariant rowValue(TFieldType type, const QVariant& v) {
    if (!v.isValid() || v.isNull())
        return QVariant();
    switch (type) {
    case TFieldType::Float:
        return v.toDouble();
    case TFieldType::Integer:
        return v.toLongLong();
    case TFieldType::DateTime:
        if (v.typeId() == QMetaType::QDate)
            return QDateTime(v.toDate(), QTime(0, 0));
        if (v.typeId() == QMetaType::QTime)
            return QDateTime(QDate(1899, 12, 30), v.toTime());
        return v.toDateTime();
    default: {
        const QString s = v.toString();
        return s.isEmpty() ? QVariant() : QVariant(s);
    }
    }
}

EHostError sqlError(const QSqlError& e, const QString& sql) {
    QStringList parts;
    if (!e.driverText().isEmpty())
        parts << e.driverText();
    if (!e.databaseText().isEmpty())
        parts << e.databaseText();
    parts << QStringLiteral("Comando: %1").arg(sql);
    return EHostError(parts.join(QLatin1Char('\n')));
}

} // namespace

QStringList SqlParamNames(const QString& sql) {
    QStringList all;
    toPositional(sql, &all);
    QStringList names;
    for (const QString& n : std::as_const(all))
        if (!names.contains(n, Qt::CaseInsensitive))
            names << n;
    return names;
}

// ---------------------------------------------------------------------------------------------

void TDBGeral::close() {
    if (m_db.isValid() && m_db.isOpen())
        m_db.close();
}

TDBGeral* dtmDBGeral() {
    // Never destroyed: the connection must not outlive Qt's SQL plugins at exit.
    static TDBGeral* module = new TDBGeral();
    return module;
}

TSqlDialect DialectOf(const QSqlDatabase& db) {
    const QString driver = db.driverName().toUpper();
    if (driver == QLatin1String("QIBASE"))
        return TSqlDialect::InterBase;
    if (driver == QLatin1String("QOCI"))
        return TSqlDialect::Oracle;
    if (driver == QLatin1String("QODBC")) {
        const auto dbms = db.driver() ? db.driver()->dbmsType() : QSqlDriver::UnknownDbms;
        if (dbms == QSqlDriver::Oracle)
            return TSqlDialect::Oracle;
        if (dbms == QSqlDriver::MSSqlServer || dbms == QSqlDriver::Sybase)
            return TSqlDialect::MSSQL;
        throw EHostError(
            QStringLiteral("Banco de dados ODBC não suportado: use SQL Server ou Oracle."));
    }
    throw EHostError(
        QStringLiteral("Driver de banco de dados não suportado: %1.").arg(db.driverName()));
}

// ---------------------------------------------------------------------------------------------

TADOIBQuery::TADOIBQuery(QObject* owner) : TDataSet(owner) {
    setReadOnlyDataSet(true);
}

TADOIBQuery::~TADOIBQuery() = default;

QSqlDatabase TADOIBQuery::database() const {
    return m_ownDb ? m_db : dtmDBGeral()->database();
}

QString TADOIBQuery::SQLText(TSqlDialect dialect) const {
    const QStringList* text = &SQL;
    switch (dialect) {
    case TSqlDialect::Oracle:
        text = &SQL_ORACLE;
        break;
    case TSqlDialect::MSSQL:
        text = &SQL_MSSQL;
        break;
    case TSqlDialect::InterBase:
        text = &SQL_IB;
        break;
    }
    if (text->join(QString()).trimmed().isEmpty())
        text = &SQL;
    return text->join(QLatin1Char('\n'));
}

QString TADOIBQuery::SQLText() const {
    return SQLText(DialectOf(database()));
}

bool ExistParam(const QList<TParam*>& params, const QString& name) {
    return std::any_of(params.begin(), params.end(), [&](const TParam* p) {
        return p && p->Name().compare(name, Qt::CaseInsensitive) == 0;
    });
}

TParam* TADOIBQuery::FindParam(const QString& name) {
    for (const auto& p : m_params)
        if (p->Name().compare(name, Qt::CaseInsensitive) == 0)
            return p.get();
    const QString all =
        QStringList{SQL_IB.join(QLatin1Char('\n')), SQL_MSSQL.join(QLatin1Char('\n')),
                    SQL_ORACLE.join(QLatin1Char('\n')), SQL.join(QLatin1Char('\n'))}
            .join(QLatin1Char('\n'));
    for (const QString& n : SqlParamNames(all))
        if (n.compare(name, Qt::CaseInsensitive) == 0) {
            m_params.push_back(std::make_unique<TParam>(n));
            return m_params.back().get();
        }
    return nullptr;
}

TParam* TADOIBQuery::ParamByName(const QString& name) {
    if (TParam* p = FindParam(name))
        return p;
    throw EHostError(QStringLiteral("Parâmetro '%1' não encontrado.").arg(name));
}

QList<TParam*> TADOIBQuery::Params() {
    syncParams();
    QList<TParam*> list;
    for (const auto& p : m_params)
        list << p.get();
    return list;
}

void TADOIBQuery::syncParams() {
    const QString all =
        QStringList{SQL_IB.join(QLatin1Char('\n')), SQL_MSSQL.join(QLatin1Char('\n')),
                    SQL_ORACLE.join(QLatin1Char('\n')), SQL.join(QLatin1Char('\n'))}
            .join(QLatin1Char('\n'));
    for (const QString& n : SqlParamNames(all))
        FindParam(n);
}

void TADOIBQuery::Open() {
    if (Active())
        return;
    const QSqlDatabase db = database();
    if (!db.isValid() || !db.isOpen())
        throw EHostError(QStringLiteral("Banco de dados não conectado."));
    const QString sql = SQLText(DialectOf(db));
    if (sql.trimmed().isEmpty())
        throw EHostError(QStringLiteral("Consulta sem texto para o banco de dados em uso."));
    QStringList names;
    const QString positional = toPositional(sql, &names);

    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(positional))
        throw sqlError(q.lastError(), sql);
    for (const QString& n : std::as_const(names)) {
        TParam* p = ParamByName(n);
        // A cleared parameter, or an empty text, is NULL (so NVL / ISNULL / NVLSTR match every
        // row); typed as text so every driver can bind it.
        const QVariant v = p->Value();
        const bool empty =
            p->IsNull() || (v.typeId() == QMetaType::QString && v.toString().isEmpty());
        q.addBindValue(empty ? QVariant(QMetaType::fromType<QString>()) : v);
    }
    if (!q.exec())
        throw sqlError(q.lastError(), sql);

    TDataPacket packet;
    const QSqlRecord rec = q.record();
    // Firebird pads CHAR values (literals too) with blanks; the clerk never sees those.
    constexpr int kFirebirdChar = 452;
    QList<bool> padded;
    const bool firebird =
        db.driverName().compare(QLatin1String("QIBASE"), Qt::CaseInsensitive) == 0;
    for (int i = 0; i < rec.count(); ++i) {
        const QSqlField f = rec.field(i);
        TFieldType t = fieldTypeOf(f);
        const bool fixed = firebird && t == TFieldType::String && f.typeID() == kFirebirdChar;
        if (fixed)
            t = TFieldType::FixedChar;
        padded << fixed;
        const bool text = t == TFieldType::String || t == TFieldType::FixedChar;
        packet.fields.append({f.name().toUpper(), t, text ? std::max(0, f.length()) : 0});
    }
    const int n = rec.count();
    while (q.next()) {
        QVariantList row;
        row.reserve(n);
        for (int i = 0; i < n; ++i) {
            QVariant v = rowValue(packet.fields[i].type, q.value(i));
            if (padded[i] && v.isValid()) {
                QString s = v.toString();
                while (s.endsWith(QLatin1Char(' ')))
                    s.chop(1);
                v = s.isEmpty() ? QVariant() : QVariant(s);
            }
            row.append(v);
        }
        packet.rows.append(row);
    }
    if (q.lastError().isValid())
        throw sqlError(q.lastError(), sql);
    q.finish();
    loadPacket(packet);
}
