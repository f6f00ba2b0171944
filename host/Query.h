#pragma once
// The host database module and the multi-dialect read-only query.
//
// TDBGeral holds the host's database connection (dtmDBGeral()). The application or a test opens
// the connection (FisDb::openConnection for a database location, or any QSqlDatabase of its own)
// and hands it over with setDatabase.
//
// TADOIBQuery carries one SQL text per dialect and runs the one of the driver in use:
//   QIBASE -> SQL_IB; QODBC on SQL Server -> SQL_MSSQL; QOCI, or QODBC on Oracle -> SQL_ORACLE;
//   the generic text SQL runs where the dialect in use has no text of its own.
// Named parameters (:P_X) are bound by name; a name may appear several times in a text. A
// cleared parameter, or one holding an empty text, is bound as NULL. Open loads the whole result
// into memory rows: the query is then a read-only TDataSet (navigation, fields, data sources,
// searches). With field definitions added before Open, the result must carry each of them (by
// name); without them the result's columns become the fields. Failures raise EHostError with the
// driver's text, the database's text and the statement.
#include "DataSet.h"

#include <QSqlDatabase>
#include <QStringList>

enum class TSqlDialect { Oracle, MSSQL, InterBase };

class FIS_EXPORT TDBGeral : public QObject {
    Q_OBJECT
public:
    explicit TDBGeral(QObject* parent = nullptr) : QObject(parent) {}
    // Uses an already open connection (tests, ODBC sites).
    void setDatabase(const QSqlDatabase& db) { m_db = db; }
    QSqlDatabase database() const { return m_db; }
    bool connected() const { return m_db.isValid() && m_db.isOpen(); }
    void close();

private:
    QSqlDatabase m_db;
};

// The one host database module of the process.
FIS_EXPORT TDBGeral* dtmDBGeral();

// The dialect of a connection; EHostError for a driver the host does not know.
FIS_EXPORT TSqlDialect DialectOf(const QSqlDatabase& db);

class FIS_EXPORT TParam {
public:
    explicit TParam(const QString& name) : m_name(name) {}
    const QString& Name() const { return m_name; }
    QVariant Value() const { return m_value; }
    void setValue(const QVariant& value) { m_value = value; }
    QString AsString() const { return m_value.toString(); }
    void setAsString(const QString& text) { m_value = text; }
    qint64 AsInteger() const { return m_value.toLongLong(); }
    void setAsInteger(qint64 v) { m_value = v; }
    double AsFloat() const { return m_value.toDouble(); }
    void setAsFloat(double v) { m_value = v; }
    QDateTime AsDateTime() const { return m_value.toDateTime(); }
    void setAsDateTime(const QDateTime& v) { m_value = v; }
    void Clear() { m_value = QVariant(); }
    bool IsNull() const { return m_value.isNull() || !m_value.isValid(); }

private:
    QString m_name;
    QVariant m_value;
};

// True when params hold a parameter of that name (names compare without case), as a report's
// query parameters are tested before they are given a value.
FIS_EXPORT bool ExistParam(const QList<TParam*>& params, const QString& name);

class FIS_EXPORT TADOIBQuery : public TDataSet {
    Q_OBJECT
public:
    explicit TADOIBQuery(QObject* owner = nullptr);
    ~TADOIBQuery() override;

    QStringList SQL_ORACLE;
    QStringList SQL_MSSQL;
    QStringList SQL_IB;
    QStringList SQL; // generic

    // The connection used; defaults to dtmDBGeral()'s.
    void setDatabase(const QSqlDatabase& db) {
        m_db = db;
        m_ownDb = true;
    }
    QSqlDatabase database() const;

    // The text for the dialect of the connection in use (lines joined with '\n').
    QString SQLText() const;
    QString SQLText(TSqlDialect dialect) const;

    // Parameters named in the text of the dialect in use (and in the other texts), created on
    // demand; EHostError when no text names it.
    TParam* ParamByName(const QString& name);
    TParam* FindParam(const QString& name);
    QList<TParam*> Params();

    void Open() override;
    bool CanModify() const override { return false; }

private:
    void syncParams();
    std::vector<std::unique_ptr<TParam>> m_params;
    QSqlDatabase m_db;
    bool m_ownDb = false;
};

// The parameter names of a SQL text, in order of first appearance (":NAME", not inside quotes).
FIS_EXPORT QStringList SqlParamNames(const QString& sql);
