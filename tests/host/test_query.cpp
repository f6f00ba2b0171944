// The multi-dialect query against a real embedded Firebird database.
#include "FisDatabase.h"
#include "Query.h"
#include "core/HostExceptions.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QStringList kEmpresaIB = {
    "SELECT CDEMPRESA, NMRAZSOCEMPR, "
    "REPLACE(REPLACE(REPLACE(NRINSJUREMPR,'.',''),'/',''),'-','') AS NRINSJUREMPR",
    "  FROM EMPRESA, PARAM(:P_CDEMPRESA) P_CDEMPRESA",
    " WHERE (CDEMPRESA = NVLSTR(P_CDEMPRESA.PARAM, CDEMPRESA))", " ORDER BY CDEMPRESA"};

} // namespace

class TestQuery : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QSqlDatabase m_db;

private slots:
    void initTestCase();
    void cleanupTestCase();
    void paramNames_data();
    void paramNames();
    void dialectByDriver();
    void companyQueryByDialect();
    void emptyParameterIsNull_data();
    void emptyParameterIsNull();
    void errorsCarryDriverDatabaseAndStatement();
    void persistentFieldsKeepLabels();
};

void TestQuery::initTestCase() {
    QVERIFY(m_dir.isValid());
    FisDb::prepareEnvironment(m_dir.filePath(QStringLiteral("firebird")));
    const QString location = m_dir.filePath(QStringLiteral("query.fdb"));
    FisDb::createDatabase(location, false);
    m_db = FisDb::openConnection(location, QStringLiteral("test_query"));
    QSqlQuery q(m_db);
    for (const char* sql :
         {"INSERT INTO EMPRESA VALUES ('02', 'Beta Comércio S.A.', '98.765.432/0001-10')",
          "INSERT INTO EMPRESA VALUES ('01', 'Alfa Indústria Ltda', '12.345.678/0001-95')"})
        QVERIFY2(q.exec(QString::fromUtf8(sql)), qPrintable(q.lastError().text()));
    QVERIFY(m_db.commit() || true);
    dtmDBGeral()->setDatabase(m_db);
}

void TestQuery::cleanupTestCase() {
    dtmDBGeral()->setDatabase(QSqlDatabase());
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("test_query"));
    FisDb::shutdown();
}

void TestQuery::paramNames_data() {
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("repeated") << "WHERE A = :P_A OR B = :P_A AND C = :p_b"
                              << QStringList{"P_A", "p_b"};
    QTest::newRow("in quotes") << "SELECT ':NOT' || \":NEITHER\" FROM T WHERE X = :YES"
                               << QStringList{"YES"};
    QTest::newRow("comments") << "SELECT 1 -- :NO\nFROM T /* :NO2 */ WHERE X = :SIM"
                              << QStringList{"SIM"};
    QTest::newRow("none") << "SELECT 1 FROM RDB$DATABASE" << QStringList{};
}

void TestQuery::paramNames() {
    QFETCH(QString, sql);
    QFETCH(QStringList, names);
    QCOMPARE(SqlParamNames(sql), names);
    // A report fills only the parameters its query names.
    TADOIBQuery q;
    q.SQL_IB = QStringList{sql};
    const QList<TParam*> params = q.Params();
    for (const QString& n : names)
        QVERIFY(ExistParam(params, n.toLower()) && ExistParam(params, n.toUpper()));
    QVERIFY(!ExistParam(params, QStringLiteral("P_IMAGEM")));
}

void TestQuery::dialectByDriver() {
    QCOMPARE(DialectOf(m_db), TSqlDialect::InterBase);
    {
        QSqlDatabase oci = QSqlDatabase::addDatabase(QStringLiteral("QOCI"), QStringLiteral("oci"));
        QCOMPARE(DialectOf(oci), TSqlDialect::Oracle);
        QSqlDatabase odbc =
            QSqlDatabase::addDatabase(QStringLiteral("QODBC"), QStringLiteral("odbc"));
        // An ODBC source whose server is not known yet cannot choose a text.
        QVERIFY_THROWS_EXCEPTION(EHostError, DialectOf(odbc));
        QSqlDatabase lite =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("lite"));
        QVERIFY_THROWS_EXCEPTION(EHostError, DialectOf(lite));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("oci"));
    QSqlDatabase::removeDatabase(QStringLiteral("odbc"));
    QSqlDatabase::removeDatabase(QStringLiteral("lite"));

    TADOIBQuery q;
    q.SQL_ORACLE = {"SELECT 'ORA' FROM DUAL"};
    q.SQL_MSSQL = {"SELECT 'MS'"};
    q.SQL_IB = {"SELECT 'IB' AS QUAL", "FROM RDB$DATABASE"};
    QCOMPARE(q.SQLText(), QStringLiteral("SELECT 'IB' AS QUAL\nFROM RDB$DATABASE"));
    q.Open();
    QCOMPARE(q.FieldByName(QStringLiteral("QUAL"))->AsString(), QStringLiteral("IB"));
    // The generic text only where the dialect has none of its own; its parameters count too.
    q.Close();
    q.SQL = {"SELECT 'GEN' AS QUAL FROM RDB$DATABASE",
             "WHERE COALESCE(CAST(:P_T AS VARCHAR(1)), 'T') = 'T'"};
    QCOMPARE(q.SQLText(), QStringLiteral("SELECT 'IB' AS QUAL\nFROM RDB$DATABASE"));
    QVERIFY(q.FindParam(QStringLiteral("P_T")));
    q.SQL_IB.clear();
    q.Open();
    QCOMPARE(q.FieldByName(QStringLiteral("QUAL"))->AsString(), QStringLiteral("GEN"));
}

void TestQuery::companyQueryByDialect() {
    TADOIBQuery q;
    q.SQL_ORACLE = {"SELECT CDEMPRESA FROM EMPRESA WHERE (CDEMPRESA = NVL(:P_CDEMPRESA, "
                    "CDEMPRESA))"};
    q.SQL_MSSQL = {"SELECT CDEMPRESA FROM EMPRESA WHERE (CDEMPRESA = ISNULL(:P_CDEMPRESA, "
                   "CDEMPRESA))"};
    q.SQL_IB = kEmpresaIB;
    q.Close();
    q.ParamByName(QStringLiteral("P_CDEMPRESA"))->Clear();
    q.Open();
    QVERIFY(q.Active());
    QCOMPARE(q.RecordCount(), 2);
    QStringList codes;
    for (q.First(); !q.Eof(); q.Next())
        codes << q.FieldByName(QStringLiteral("CDEMPRESA"))->AsString();
    QCOMPARE(codes, (QStringList{"01", "02"}));
    q.Close();
    q.ParamByName(QStringLiteral("P_CDEMPRESA"))->setAsString(QStringLiteral("02"));
    q.Open();
    QVERIFY(!q.IsEmpty());
    QCOMPARE(q.RecordCount(), 1);
    QCOMPARE(q.FieldByName(QStringLiteral("NMRAZSOCEMPR"))->AsString(),
             QStringLiteral("Beta Comércio S.A."));
    QCOMPARE(q.FieldByName(QStringLiteral("NRINSJUREMPR"))->AsString(),
             QStringLiteral("98765432000110"));
    q.Close();
    q.ParamByName(QStringLiteral("P_CDEMPRESA"))->setAsString(QStringLiteral("99"));
    q.Open();
    QVERIFY(q.IsEmpty());
    // Read-only.
    QVERIFY_THROWS_EXCEPTION(EHostError, q.Edit());
    QVERIFY_THROWS_EXCEPTION(EHostError, q.ParamByName(QStringLiteral("P_OUTRO")));
}

void TestQuery::emptyParameterIsNull_data() {
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("cleared") << QVariant() << "NULO";
    QTest::newRow("empty text") << QVariant(QString()) << "NULO";
    QTest::newRow("blank text") << QVariant(QStringLiteral(" ")) << "VALOR";
    QTest::newRow("text") << QVariant(QStringLiteral("abc")) << "VALOR";
}

void TestQuery::emptyParameterIsNull() {
    QFETCH(QVariant, value);
    QFETCH(QString, expected);
    TADOIBQuery q;
    q.SQL_IB = {"SELECT CASE WHEN CAST(:P_X AS VARCHAR(10)) IS NULL THEN 'NULO' ELSE 'VALOR' "
                "END AS R,",
                "CAST(:P_X AS VARCHAR(10)) AS ECO FROM RDB$DATABASE"};
    q.ParamByName(QStringLiteral("P_X"))->setAsString(QStringLiteral("xyz"));
    if (value.isValid())
        q.ParamByName(QStringLiteral("p_x"))->setAsString(value.toString());
    else
        q.ParamByName(QStringLiteral("P_X"))->Clear();
    q.Open();
    QCOMPARE(q.FieldByName(QStringLiteral("R"))->AsString(), expected);
    if (expected == QLatin1String("NULO"))
        QVERIFY(q.FieldByName(QStringLiteral("ECO"))->IsNull());
}

void TestQuery::errorsCarryDriverDatabaseAndStatement() {
    TADOIBQuery q;
    q.SQL_IB = {"SELECT NADA FROM NAO_EXISTE WHERE X = :P"};
    try {
        q.Open();
        QFAIL("no error");
    } catch (const EHostError& e) {
        QVERIFY2(e.text().contains(QStringLiteral("NAO_EXISTE")), qPrintable(e.text()));
        QVERIFY2(e.text().contains(QStringLiteral("Comando: SELECT NADA")), qPrintable(e.text()));
        QVERIFY2(e.text().count(QLatin1Char('\n')) >= 2, qPrintable(e.text()));
    }
    QVERIFY(!q.Active());
}

void TestQuery::persistentFieldsKeepLabels() {
    TADOIBQuery q;
    q.SQL_IB = kEmpresaIB;
    q.AddField(QStringLiteral("CDEMPRESA"), TFieldType::String, 2)
        ->setDisplayLabel(QStringLiteral("Código"));
    q.AddField(QStringLiteral("NMRAZSOCEMPR"), TFieldType::String, 80)
        ->setDisplayLabel(QStringLiteral("Razão Social"));
    q.AddField(QStringLiteral("NRINSJUREMPR"), TFieldType::String, 20)->setVisible(false);
    q.Open();
    QCOMPARE(q.FieldCount(), 3);
    QCOMPARE(q.FieldByName(QStringLiteral("CDEMPRESA"))->DisplayLabel(), QStringLiteral("Código"));
    q.Close();
    QCOMPARE(q.FieldCount(), 3); // persistent fields stay over close
    q.AddField(QString::fromLatin1("NAOVEM"), TFieldType::String, 5);
    try {
        q.Open();
        QFAIL("missing field accepted");
    } catch (const EHostError& e) {
        QVERIFY(e.text().contains(QStringLiteral("NAOVEM")));
    }
}

QTEST_GUILESS_MAIN(TestQuery)
#include "test_query.moc"
