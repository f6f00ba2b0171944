// The schema as the screens and the server meet it: constraints refuse bad data, the lookup
// texts of the screens run unchanged with PARAM/NVLSTR, and creation refuses to overwrite.
#include "DbTestSupport.h"

using namespace DbTest;

namespace {
const QVariant kNull = QVariant(QMetaType::fromType<QString>());

// Lookup texts of the screens, InterBase dialect, exactly as the screens carry them.
const char* const qryEmpresa =
    "SELECT CDEMPRESA, NMRAZSOCEMPR, "
    "REPLACE(REPLACE(REPLACE(NRINSJUREMPR,'.',''),'/',''),'-','') AS NRINSJUREMPR\n"
    "  FROM EMPRESA, PARAM(:P_CDEMPRESA) P_CDEMPRESA\n"
    " WHERE (CDEMPRESA = NVLSTR(P_CDEMPRESA.PARAM, CDEMPRESA))\n"
    " ORDER BY CDEMPRESA";

const char* const qryImposto = "SELECT CDIMPOSTONFE, SGIMPOSTONFE\n"
                               "  FROM IMPOSTONFE, PARAM(:P_CDIMPOSTO)P_CDIMPOSTO\n"
                               " WHERE ((CDIMPOSTONFE  = P_CDIMPOSTO.PARAM) OR "
                               "(P_CDIMPOSTO.PARAM = 'T'))\n"
                               "   AND IDORGARRECADNFE = 'F'\n"
                               "   AND CDIMPOSTONFE NOT IN ('41','42')\n"
                               " ORDER BY CDIMPOSTONFE";

const char* const qryVdImposto = "SELECT IDORGARRECADNFE\n"
                                 "  FROM IMPOSTONFE, PARAM(:P_CDIMPOSTO) P_CDIMPOSTO\n"
                                 "WHERE (CDIMPOSTONFE = P_CDIMPOSTO.PARAM)\n"
                                 "ORDER BY CDIMPOSTONFE";

const char* const qryInscEsta = "SELECT\n"
                                "   CDINSCESTA, CDEMPRESA, SGESTADO\n"
                                "FROM\n"
                                "   INSCRESTAD, PARAM(:P_CDINSCESTA) P_CDINSCESTA\n"
                                "WHERE\n"
                                "   CDEMPRESA  = :P_CDEMPRESA AND\n"
                                "   CDINSCESTA = NVLSTR(P_CDINSCESTA.PARAM, CDINSCESTA)\n"
                                "ORDER BY\n"
                                "   1";

const char* const qryInscMuni = "SELECT\n"
                                "   CDINSCMUNI,  CDEMPRESA\n"
                                "FROM\n"
                                "   INSCRMUNICIP, PARAM(:P_CDINSCMUNI)  P_CDINSCMUNI\n"
                                "WHERE\n"
                                "   CDEMPRESA  = :P_CDEMPRESA AND\n"
                                "   CDINSCMUNI = NVLSTR(P_CDINSCMUNI.PARAM, CDINSCMUNI)\n"
                                "ORDER BY CDINSCMUNI";

const char* const qryCliente = "SELECT CDCLIENTE, IDTPIJURCLIE,\n"
                               "       NRINSJURCLIE, NMRAZSOCCLIE\n"
                               "  FROM CLIENTE, PARAM(:P_NRINSJURCLIE) P_NRINSJURCLIE\n"
                               " WHERE NRINSJURCLIE = NVLSTR(P_NRINSJURCLIE.PARAM, NRINSJURCLIE)\n"
                               " ORDER BY NRINSJURCLIE";

const char* const qryFornecedor = "SELECT\n"
                                  "   CDFORNECED,\n"
                                  "   IDTPIJURFORN,\n"
                                  "   NRINSJURFORN,\n"
                                  "   NMRAZSOCFORN\n"
                                  "FROM\n"
                                  "   FORNECEDOR, PARAM(:P_NRINSJURFORN) P_NRINSJURFORN\n"
                                  "WHERE\n"
                                  "   (NRINSJURFORN = NVLSTR(P_NRINSJURFORN.PARAM, NRINSJURFORN))\n"
                                  "ORDER BY\n"
                                  "   NRINSJURFORN";

// The database-side series list of the filter form, with PARAM on three parameters at once.
const char* const qrySerie =
    "SELECT CDSERIEENTR AS CDSERIET, DSSERIEENTR AS DSSERIET, 'E' AS TIPO, "
    "'E'||'_'||CDSERIEENTR AS CHAVE\n"
    "  FROM SERIEENTR\n"
    "\n"
    "UNION\n"
    "\n"
    "SELECT CDSERIE AS CDSERIET, DSSERIE AS DSSERIET, 'S' AS TIPO, 'S'||'_'||CDSERIE AS CHAVE\n"
    "  FROM SERIENF, PARAM(:P_CDEMPRESA) P_CDEMPRESA, PARAM(:P_CDINSCESTA) P_CDINSCESTA,\n"
    "                PARAM(:P_CDINSCMUNI) P_CDINSCMUNI\n"
    "WHERE\n"
    "   (CDEMPRESA  = P_CDEMPRESA.PARAM)  AND\n"
    "   (CDINSCESTA = P_CDINSCESTA.PARAM) AND\n"
    "   (CDINSCMUNI = P_CDINSCMUNI.PARAM)";

// The database-side operation-type lists of the filter form (entry; exit differs in the letter).
const char* const qryTipoOperE = "SELECT ' ' as IDMARCADO,\n"
                                 "       IDENTRSAIDOP,\n"
                                 "       CDTIPOOPER,\n"
                                 "       NMTIPOOPER,\n"
                                 "       'E'||CDTIPOOPER AS CHAVE\n"
                                 "  FROM TIPOOPERAC\n"
                                 "  WHERE IDENTRSAIDOP ='E'\n"
                                 "  ORDER BY IDENTRSAIDOP, CDTIPOOPER";
const char* const qryTipoOperS = "SELECT ' ' as IDMARCADO,\n"
                                 "       IDENTRSAIDOP,\n"
                                 "       CDTIPOOPER,\n"
                                 "       NMTIPOOPER,\n"
                                 "       'S'||CDTIPOOPER AS CHAVE\n"
                                 "  FROM TIPOOPERAC\n"
                                 "  WHERE IDENTRSAIDOP ='S'\n"
                                 "  ORDER BY IDENTRSAIDOP, CDTIPOOPER";

// The generic text the municipal registration query carries beside its dialect texts.
const char* const qryInscMuniGeneric =
    "SELECT CDINSCMUNI\n"
    "  FROM INSCRMUNICIP\n"
    "WHERE (CDEMPRESA  = :P_CDEMPRESA) AND\n"
    "               (CDINSCMUNI = :P_CDINSCMUNI OR :P_TCDINSCMUNI = 'T')\n"
    "ORDER BY CDINSCMUNI";

} // namespace

class TestSchema : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_path;
    QSqlDatabase m_db;
    // keys found in the demo data
    QString m_freeWhere;   // a federal note tax without a guide issued, with payable settings
    QStringList m_freeKey; // CDFILIAL, NRLANCTONF, CDIMPOSTONFE
    QStringList m_issuedKey;

    QString payableInsert(const QStringList& key, const QString& barcode, const QString& amount) {
        return QStringLiteral("INSERT INTO CONTAPAGAR (CDEMPRESA, CDFILIAL, NRLANCTONF, "
                              "CDIMPOSTONFE, CDFORNECED, CDTIPOCONTAPAG, CDTIPOBAIXAPAG, "
                              "CDTIPOOPERPAG, VRCONTAPAGAR, DTVENCGUIA, STBARRAGUIA, STLINHADIGI) "
                              "SELECT N.CDEMPRESA, N.CDFILIAL, N.NRLANCTONF, '%3', 'F000000', "
                              "'DARF', 'BCO', '50', %5, CURRENT_DATE, '%4', 'linha' "
                              "FROM NOTAFISCAL N WHERE N.CDFILIAL = '%1' AND N.NRLANCTONF = '%2'")
            .arg(key[0], key[1], key[2], barcode, amount);
    }

    int rows(const char* sql, const QVariantMap& params) {
        QSqlQuery q(m_db);
        q.setForwardOnly(true);
        if (!q.prepare(QString::fromLatin1(sql))) {
            qWarning().noquote() << q.lastError().text();
            return -1;
        }
        for (auto it = params.begin(); it != params.end(); ++it)
            q.bindValue(QLatin1Char(':') + it.key(), it.value());
        if (!q.exec()) {
            qWarning().noquote() << q.lastError().text();
            return -1;
        }
        int n = 0;
        while (q.next())
            ++n;
        return n;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        FisDb::prepareEnvironment(m_dir.filePath(QStringLiteral("firebird")));
        m_path = m_dir.filePath(QStringLiteral("schema.fdb"));
        FisDb::createDatabase(m_path, true, 200);
        m_db = FisDb::openConnection(m_path, QStringLiteral("schema"));
        QSqlQuery q(m_db);
        QVERIFY(q.exec(QStringLiteral(
            "SELECT FIRST 1 I.CDFILIAL, I.NRLANCTONF, I.CDIMPOSTONFE FROM IMPOSTONF I "
            "JOIN IMPOSTOCONTAPAG P ON P.CDIMPOSTONFE = I.CDIMPOSTONFE "
            "WHERE I.IDSTATUSGUIA = 'N' ORDER BY 1, 2, 3")));
        QVERIFY(q.next());
        m_freeKey = {q.value(0).toString(), q.value(1).toString(), q.value(2).toString()};
        m_freeWhere = QStringLiteral("CDFILIAL = '%1' AND NRLANCTONF = '%2' AND "
                                     "CDIMPOSTONFE = '%3'")
                          .arg(m_freeKey[0], m_freeKey[1], m_freeKey[2]);
        QVERIFY(q.exec(QStringLiteral("SELECT FIRST 1 CDFILIAL, NRLANCTONF, CDIMPOSTONFE "
                                      "FROM CONTAPAGAR ORDER BY NRCONTAPAGAR")));
        QVERIFY2(q.next(), "the demo data holds issued guides");
        m_issuedKey = {q.value(0).toString(), q.value(1).toString(), q.value(2).toString()};
    }

    void cleanupTestCase() {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("schema"));
        FisDb::shutdown();
    }

    void constraints_data() {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<bool>("accepted");
        const QString barcode44 = QString(44, QLatin1Char('8'));
        const QString update = QStringLiteral("UPDATE IMPOSTONF SET %1 WHERE ") + m_freeWhere;

        QTest::newRow("status N") << update.arg("IDSTATUSGUIA = 'N'") << true;
        QTest::newRow("status X") << update.arg("IDSTATUSGUIA = 'X'") << false;
        QTest::newRow("status S without payable") << update.arg("IDSTATUSGUIA = 'S'") << false;
        QTest::newRow("fine with centavos") << update.arg("VRMULTAGUIA = 12.34") << true;
        QTest::newRow("negative fine") << update.arg("VRMULTAGUIA = -0.01") << false;
        QTest::newRow("negative interest") << update.arg("VRJUROGUIA = -1") << false;
        QTest::newRow("negative tax amount") << update.arg("VRIMPOSTONF = -5") << false;
        QTest::newRow("negative note value")
            << QStringLiteral("UPDATE NOTAFISCAL SET VRNOTAFISC = -0.01 WHERE CDFILIAL = '%1' "
                              "AND NRLANCTONF = '%2'")
                   .arg(m_freeKey[0], m_freeKey[1])
            << false;

        QTest::newRow("first payable of a note and tax")
            << payableInsert(m_freeKey, barcode44, "10.50") << true;
        QTest::newRow("second payable of an issued note and tax")
            << payableInsert(m_issuedKey, barcode44, "10.50") << false;
        QTest::newRow("barcode with a letter")
            << payableInsert(m_freeKey, QString(43, QLatin1Char('8')) + "A", "10.50") << false;
        QTest::newRow("barcode of 43 digits")
            << payableInsert(m_freeKey, QString(43, QLatin1Char('8')), "10.50") << false;
        QTest::newRow("negative payable") << payableInsert(m_freeKey, barcode44, "-1") << false;
        QTest::newRow("payable of a note without that tax")
            << payableInsert({m_freeKey[0], m_freeKey[1], "42"}, barcode44, "1") << false;

        QTest::newRow("authority Z")
            << QStringLiteral("INSERT INTO IMPOSTONFE VALUES ('99', 'X', 'Z')") << false;
        QTest::newRow("authority M")
            << QStringLiteral("INSERT INTO IMPOSTONFE VALUES ('99', 'X', 'M')") << true;
        QTest::newRow("customer person type X")
            << QStringLiteral("INSERT INTO CLIENTE VALUES ('X1', 'X', '52998224725', 'n')")
            << false;
        QTest::newRow("customer CPF")
            << QStringLiteral("INSERT INTO CLIENTE VALUES ('X1', 'F', '52998224725', 'n')") << true;
        QTest::newRow("customer F with 14 digits")
            << QStringLiteral("INSERT INTO CLIENTE VALUES ('X1', 'F', '11222333000181', 'n')")
            << false;
        QTest::newRow("supplier registration with punctuation")
            << QStringLiteral(
                   "INSERT INTO FORNECEDOR VALUES ('X1', 'J', '11.222.333/0001-81', 'n')")
            << false;
        QTest::newRow("second fiscal parameters row")
            << QStringLiteral("INSERT INTO PARAMFISCAL (IDPARAMFISCAL, DTREFVENCDARF, "
                              "DTREFPAGDARF) VALUES (2, CURRENT_DATE, CURRENT_DATE)")
            << false;
        QTest::newRow("operation kind X")
            << QStringLiteral("INSERT INTO TIPOOPERAC VALUES ('X', '01', 'n')") << false;

        const QString note = QStringLiteral(
            "INSERT INTO NOTAFISCAL (CDFILIAL, NRLANCTONF, CDEMPRESA, CDINSCESTA, CDINSCMUNI, "
            "IDENTRSAIDOP, CDTIPOOPER, CDSERIE, NRNOTAFISC, CDCLIENTE, CDFORNECED, IDINSJUR, "
            "NRINSJUR, DTEMISSAONF, DTENTRSAID, VRNOTAFISC, CDFILIOPER) "
            "VALUES ('9999', '1', %1, 'E', '01', '1', '1', %2, 'J', '11222333000181', "
            "CURRENT_DATE, CURRENT_DATE, 1, '9999')");
        QTest::newRow("entry note from a supplier")
            << note.arg("'01', NULL, NULL", "NULL, 'F000001'") << true;
        QTest::newRow("note with customer and supplier")
            << note.arg("'01', NULL, NULL", "'C000001', 'F000001'") << false;
        QTest::newRow("note without party") << note.arg("'01', NULL, NULL", "NULL, NULL") << false;
        QTest::newRow("note of an unknown company")
            << note.arg("'77', NULL, NULL", "NULL, 'F000001'") << false;
        QTest::newRow("note with a state registration of another company")
            << note.arg("'01', (SELECT FIRST 1 CDINSCESTA FROM INSCRESTAD WHERE CDEMPRESA = "
                        "'02'), NULL",
                        "NULL, 'F000001'")
            << false;
        QString exitNote = note;
        exitNote.replace(QStringLiteral("'E', '01'"), QStringLiteral("'S', '01'"));
        QTest::newRow("exit note without registrations")
            << exitNote.arg("'01', NULL, NULL", "'C000001', NULL") << false;
    }

    // Every statement runs in its own transaction that is rolled back, so the rows stay
    // independent of each other.
    void constraints() {
        QFETCH(QString, sql);
        QFETCH(bool, accepted);
        QVERIFY(m_db.transaction());
        QSqlQuery q(m_db);
        const bool ok = q.exec(sql);
        const QString error = q.lastError().text();
        const int affected = q.numRowsAffected();
        q.finish();
        QVERIFY(m_db.rollback());
        QVERIFY2(ok == accepted, qPrintable(sql + QStringLiteral("\n") + error));
        if (accepted)
            QCOMPARE(affected, 1);
    }

    void lookups_data() {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<QVariantMap>("params");
        QTest::addColumn<QString>("expectedCountSql");

        const QString company2 = QStringLiteral("02");
        const QString ie = scalar(m_db, "SELECT FIRST 1 CDINSCESTA FROM INSCRESTAD WHERE "
                                        "CDEMPRESA = '01' ORDER BY 1 DESC")
                               .toString();
        const QString im = scalar(m_db, "SELECT FIRST 1 CDINSCMUNI FROM INSCRMUNICIP WHERE "
                                        "CDEMPRESA = '01' ORDER BY 1 DESC")
                               .toString();
        const QString customer =
            scalar(m_db, "SELECT FIRST 1 SKIP 3 NRINSJURCLIE FROM CLIENTE ORDER BY 1").toString();
        const QString supplier =
            scalar(m_db, "SELECT FIRST 1 SKIP 2 NRINSJURFORN FROM FORNECEDOR ORDER BY 1")
                .toString();
        QVERIFY(!ie.isEmpty() && !im.isEmpty() && !customer.isEmpty() && !supplier.isEmpty());

        auto row = [](const char* name, const char* sql, QVariantMap params, QString count) {
            QTest::newRow(name) << QString::fromLatin1(sql) << params << count;
        };
        row("empresa null", qryEmpresa, {{"P_CDEMPRESA", kNull}}, "SELECT COUNT(*) FROM EMPRESA");
        row("empresa empty", qryEmpresa, {{"P_CDEMPRESA", ""}}, "SELECT COUNT(*) FROM EMPRESA");
        row("empresa 02", qryEmpresa, {{"P_CDEMPRESA", company2}}, "SELECT 1 FROM RDB$DATABASE");
        row("empresa 77", qryEmpresa, {{"P_CDEMPRESA", "77"}}, "SELECT 0 FROM RDB$DATABASE");

        row("inscesta null", qryInscEsta, {{"P_CDINSCESTA", kNull}, {"P_CDEMPRESA", "01"}},
            "SELECT COUNT(*) FROM INSCRESTAD WHERE CDEMPRESA = '01'");
        row("inscesta value", qryInscEsta, {{"P_CDINSCESTA", ie}, {"P_CDEMPRESA", "01"}},
            "SELECT 1 FROM RDB$DATABASE");
        row("inscesta of another company", qryInscEsta,
            {{"P_CDINSCESTA", ie}, {"P_CDEMPRESA", "02"}}, "SELECT 0 FROM RDB$DATABASE");

        row("inscmuni null", qryInscMuni, {{"P_CDINSCMUNI", kNull}, {"P_CDEMPRESA", "01"}},
            "SELECT COUNT(*) FROM INSCRMUNICIP WHERE CDEMPRESA = '01'");
        row("inscmuni empty", qryInscMuni, {{"P_CDINSCMUNI", ""}, {"P_CDEMPRESA", "01"}},
            "SELECT COUNT(*) FROM INSCRMUNICIP WHERE CDEMPRESA = '01'");
        row("inscmuni value", qryInscMuni, {{"P_CDINSCMUNI", im}, {"P_CDEMPRESA", "01"}},
            "SELECT 1 FROM RDB$DATABASE");

        row("cliente null", qryCliente, {{"P_NRINSJURCLIE", kNull}},
            "SELECT COUNT(*) FROM CLIENTE");
        row("cliente empty", qryCliente, {{"P_NRINSJURCLIE", ""}}, "SELECT COUNT(*) FROM CLIENTE");
        row("cliente value", qryCliente, {{"P_NRINSJURCLIE", customer}},
            "SELECT 1 FROM RDB$DATABASE");
        row("cliente unknown", qryCliente, {{"P_NRINSJURCLIE", "00000000191"}},
            "SELECT 0 FROM RDB$DATABASE");

        row("fornecedor null", qryFornecedor, {{"P_NRINSJURFORN", kNull}},
            "SELECT COUNT(*) FROM FORNECEDOR");
        row("fornecedor empty", qryFornecedor, {{"P_NRINSJURFORN", ""}},
            "SELECT COUNT(*) FROM FORNECEDOR");
        row("fornecedor value", qryFornecedor, {{"P_NRINSJURFORN", supplier}},
            "SELECT 1 FROM RDB$DATABASE");

        row("vdimposto federal", qryVdImposto, {{"P_CDIMPOSTO", "05"}},
            "SELECT 1 FROM RDB$DATABASE");
        row("vdimposto state", qryVdImposto, {{"P_CDIMPOSTO", "10"}}, "SELECT 1 FROM RDB$DATABASE");
        row("vdimposto unknown", qryVdImposto, {{"P_CDIMPOSTO", "98"}},
            "SELECT 0 FROM RDB$DATABASE");

        row("serie of company 01 registrations", qrySerie,
            {{"P_CDEMPRESA", "01"}, {"P_CDINSCESTA", ie}, {"P_CDINSCMUNI", im}},
            "SELECT (SELECT COUNT(*) FROM SERIEENTR) + COUNT(*) FROM SERIENF WHERE CDEMPRESA = "
            "'01' AND CDINSCESTA = '" +
                ie + "' AND CDINSCMUNI = '" + im + "'");

        row("tipooper entrada", qryTipoOperE, {},
            "SELECT COUNT(*) FROM TIPOOPERAC WHERE IDENTRSAIDOP = 'E'");
        row("tipooper saída", qryTipoOperS, {},
            "SELECT COUNT(*) FROM TIPOOPERAC WHERE IDENTRSAIDOP = 'S'");

        row("inscmuni generic all", qryInscMuniGeneric,
            {{"P_CDEMPRESA", "01"}, {"P_CDINSCMUNI", kNull}, {"P_TCDINSCMUNI", "T"}},
            "SELECT COUNT(*) FROM INSCRMUNICIP WHERE CDEMPRESA = '01'");
        row("inscmuni generic value", qryInscMuniGeneric,
            {{"P_CDEMPRESA", "01"}, {"P_CDINSCMUNI", im}, {"P_TCDINSCMUNI", kNull}},
            "SELECT 1 FROM RDB$DATABASE");
    }

    // The lookup texts run as written: a null (or empty) parameter lists every row, a value
    // that row.
    void lookups() {
        QFETCH(QString, sql);
        QFETCH(QVariantMap, params);
        QFETCH(QString, expectedCountSql);
        const int expected = scalar(m_db, expectedCountSql).toInt();
        QCOMPARE(rows(sql.toLatin1().constData(), params), expected);
    }

    void lookupValuesComeBackWhole() {
        QSqlQuery q(m_db);
        QVERIFY(q.prepare(QString::fromLatin1(qryEmpresa)));
        q.bindValue(QStringLiteral(":P_CDEMPRESA"), QStringLiteral("01"));
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), QStringLiteral("01"));
        const QString stored =
            scalar(m_db, "SELECT NRINSJUREMPR FROM EMPRESA WHERE CDEMPRESA = '01'").toString();
        QVERIFY(stored.contains(QLatin1Char('/')) && stored.contains(QLatin1Char('-')));
        QString digits = stored;
        digits.remove(QLatin1Char('.')).remove(QLatin1Char('/')).remove(QLatin1Char('-'));
        QCOMPARE(q.value(2).toString(), digits);
        QCOMPARE(q.value(2).toString().size(), 14);
        QVERIFY(q.value(1).toString().contains(QStringLiteral("Metalúrgica")));
    }

    void impostoListsOnlyVisibleFederalTaxes() {
        QStringList all;
        QSqlQuery q(m_db);
        QVERIFY(q.prepare(QString::fromLatin1(qryImposto)));
        q.bindValue(QStringLiteral(":P_CDIMPOSTO"), QStringLiteral("T"));
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
        while (q.next())
            all << q.value(0).toString();
        QCOMPARE(all, QStringList({"01", "05", "06", "07", "08"}));
        // hidden ones exist in the table
        QCOMPARE(scalar(m_db, "SELECT COUNT(*) FROM IMPOSTONFE WHERE CDIMPOSTONFE IN "
                              "('41','42','10','11','20')")
                     .toInt(),
                 5);
        const QList<QPair<QString, int>> one = {{"05", 1}, {"41", 0}, {"42", 0},
                                                {"10", 0}, {"20", 0}, {"T", 5}};
        for (const auto& [code, count] : one)
            QCOMPARE(rows(qryImposto, {{"P_CDIMPOSTO", code}}), count);
    }

    void splitScript_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("statements");
        QTest::newRow("plain") << "CREATE TABLE A (X INTEGER);\n\nINSERT INTO A VALUES (1);\n"
                               << QStringList{"CREATE TABLE A (X INTEGER)",
                                              "INSERT INTO A VALUES (1)"};
        QTest::newRow("comments outside and inside")
            << "-- a comment; with a semicolon\nCREATE TABLE A (\n  -- inside\n  X INTEGER\n);\n"
            << QStringList{"CREATE TABLE A (\n  -- inside\n  X INTEGER\n)"};
        QTest::newRow("psql body keeps inner semicolons")
            << "CREATE PROCEDURE P RETURNS (R INTEGER)\nAS\nBEGIN\n  R = 1;\n  SUSPEND;\nEND;\n"
               "SELECT 1 FROM RDB$DATABASE;"
            << QStringList{"CREATE PROCEDURE P RETURNS (R INTEGER)\nAS\nBEGIN\n  R = 1;\n  "
                           "SUSPEND;\nEND",
                           "SELECT 1 FROM RDB$DATABASE"};
        QTest::newRow("lower-case trigger with nested end")
            << "create trigger T for A before insert as\nbegin\n  if (1=1) then\n  begin\n    "
               "new.X = 1;\n  end\nend;\n"
            << QStringList{"create trigger T for A before insert as\nbegin\n  if (1=1) then\n  "
                           "begin\n    new.X = 1;\n  end\nend"};
        QTest::newRow("last statement without terminator")
            << "SELECT 1 FROM RDB$DATABASE;\nSELECT 2 FROM RDB$DATABASE\n"
            << QStringList{"SELECT 1 FROM RDB$DATABASE", "SELECT 2 FROM RDB$DATABASE"};
    }

    void splitScript() {
        QFETCH(QString, script);
        QFETCH(QStringList, statements);
        QCOMPARE(FisDb::splitScript(script), statements);
    }

    void schemaScriptHasThePsqlObjects() {
        const QStringList st = FisDb::schemaStatements();
        QVERIFY(st.size() > 20);
        QVERIFY(st.first().startsWith(QStringLiteral("CREATE PROCEDURE PARAM")));
        QVERIFY(st.first().endsWith(QStringLiteral("END")));
        for (const QString& s : st)
            QVERIFY2(!s.endsWith(QLatin1Char(';')), qPrintable(s));
    }

    // Synchronous writes are off only while the database is being made.
    void createdDatabaseSettings() {
        QCOMPARE(scalar(m_db, "SELECT MON$FORCED_WRITES FROM MON$DATABASE").toInt(), 1);
        QCOMPARE(scalar(m_db, "SELECT MON$PAGE_SIZE FROM MON$DATABASE").toInt(), 8192);
        QCOMPARE(scalar(m_db, "SELECT MON$SQL_DIALECT FROM MON$DATABASE").toInt(), 3);
        QCOMPARE(scalar(m_db, "SELECT TRIM(RDB$CHARACTER_SET_NAME) FROM RDB$DATABASE").toString(),
                 QStringLiteral("UTF8"));
        // texts round-trip in UTF8
        QVERIFY(m_db.transaction());
        QSqlQuery q(m_db);
        QVERIFY(q.prepare(
            QStringLiteral("UPDATE EMPRESA SET NMRAZSOCEMPR = ? WHERE CDEMPRESA = '03'")));
        q.addBindValue(QStringLiteral("Ação & Câmbio São João Ltda. – ü€"));
        QVERIFY(q.exec());
        QCOMPARE(scalar(m_db, "SELECT NMRAZSOCEMPR FROM EMPRESA WHERE CDEMPRESA = '03'").toString(),
                 QStringLiteral("Ação & Câmbio São João Ltda. – ü€"));
        QVERIFY(m_db.rollback());
    }

    void refusesToOverwrite() {
        const QByteArray before = [&] {
            QFile f(m_path);
            f.open(QIODevice::ReadOnly);
            return f.read(4096);
        }();
        try {
            FisDb::createDatabase(m_path, false);
            QFAIL("an existing database was overwritten");
        } catch (const EHostError& e) {
            QVERIFY2(e.text().contains(QStringLiteral("já existe")), qPrintable(e.text()));
        }
        QFile f(m_path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.read(4096), before);
        QVERIFY(scalar(m_db, "SELECT COUNT(*) FROM NOTAFISCAL").toInt() >= 200);
    }

    void openingAMissingFileFails() {
        const QString missing = m_dir.filePath(QStringLiteral("nowhere.fdb"));
        QVERIFY_THROWS_EXCEPTION(EHostError,
                                 FisDb::openConnection(missing, QStringLiteral("missing")));
        QVERIFY(!QFile::exists(missing));
        QVERIFY(!QSqlDatabase::contains(QStringLiteral("missing")));
    }

    void unwritableFolderIsReported() {
        // A location below a plain file: the folder cannot be made, nothing may be left behind.
        QFile blocker(m_dir.filePath(QStringLiteral("blocker")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QString path = m_dir.filePath(QStringLiteral("blocker/sub/x.fdb"));
        try {
            FisDb::createDatabase(path, true, 10);
            QFAIL("created below a file");
        } catch (const EHostError& e) {
            QVERIFY2(e.text().contains(m_dir.filePath(QStringLiteral("blocker"))),
                     qPrintable(e.text()));
        }
        QVERIFY(!QFile::exists(path));
    }

    void remoteLocations_data() {
        QTest::addColumn<QString>("location");
        QTest::addColumn<bool>("remote");
        QTest::newRow("absolute path") << "/home/u/fis98100.fdb" << false;
        QTest::newRow("relative path") << "data/fis.fdb" << false;
        QTest::newRow("path with colon later") << "/data/a:b.fdb" << false;
        QTest::newRow("host") << "dbserver:/srv/fis98100.fdb" << true;
        QTest::newRow("host and port") << "10.0.0.5/3051:/srv/fis.fdb" << true;
        QTest::newRow("alias on host") << "localhost:fis98100" << true;
    }

    void remoteLocations() {
        QFETCH(QString, location);
        QFETCH(bool, remote);
        QCOMPARE(FisDb::isRemoteLocation(location), remote);
    }
};

QTEST_GUILESS_MAIN(TestSchema)
#include "test_schema.moc"
