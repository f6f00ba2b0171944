// The payable's references kept by triggers rather than foreign keys: a payable needs its
// company, supplier and tax row, a guide an existing payable, and none of them goes away (or
// changes its key) while referenced. An older database with the foreign keys is upgraded to the
// same rules.
#include "DbTestSupport.h"
#include "SchemaUpgrade.h"

using namespace DbTest;

namespace {

// An older schema's keys, as a database made before the triggers carries them.
const char* const kOlderSchema[] = {
    "DROP TRIGGER TBIU_CONTAPAGAR_REFERENCIA",
    "DROP TRIGGER TBUD_IMPOSTONF_CONTAPAGAR",
    "DROP TRIGGER TBUD_EMPRESA_CONTAPAGAR",
    "DROP TRIGGER TBUD_FORNECEDOR_CONTAPAGAR",
    "DROP TRIGGER TBIU_IMPOSTONF_CONTAPAGAR",
    "DROP TRIGGER TBUD_CONTAPAGAR_GUIA",
    "DROP EXCEPTION E_CONTAPAGAR_REFERENCIA",
    "ALTER TABLE GUIAHISTORICO DROP CONSTRAINT PK_GUIAHISTORICO_NOTA",
    "ALTER TABLE GUIAHISTORICO ADD CONSTRAINT PK_GUIAHISTORICO PRIMARY KEY (NRHISTORICO)",
    "CREATE INDEX IX_GUIAHISTORICO_NOTA ON GUIAHISTORICO (CDFILIAL, NRLANCTONF)",
    "ALTER TABLE CONTAPAGAR ADD CONSTRAINT FK_CONTAPAGAR_EMPRESA FOREIGN KEY (CDEMPRESA)"
    " REFERENCES EMPRESA (CDEMPRESA)",
    "ALTER TABLE CONTAPAGAR ADD CONSTRAINT FK_CONTAPAGAR_IMPOSTONF FOREIGN KEY"
    " (CDFILIAL, NRLANCTONF, CDIMPOSTONFE) REFERENCES IMPOSTONF (CDFILIAL, NRLANCTONF,"
    " CDIMPOSTONFE)",
    "ALTER TABLE CONTAPAGAR ADD CONSTRAINT FK_CONTAPAGAR_FORNECEDOR FOREIGN KEY (CDFORNECED)"
    " REFERENCES FORNECEDOR (CDFORNECED)",
    "ALTER TABLE IMPOSTONF ADD CONSTRAINT FK_IMPOSTONF_CONTAPAGAR FOREIGN KEY (NRCONTAPAGAR)"
    " REFERENCES CONTAPAGAR (NRCONTAPAGAR)"};

} // namespace

class TestReferences : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QSqlDatabase m_db;
    QStringList m_free;   // CDFILIAL, NRLANCTONF, CDIMPOSTONFE of a guide not issued
    QStringList m_issued; // the same of an issued guide, and its payable's number

    // A payable of the free guide with the given company and supplier.
    QString payable(const QString& company, const QString& supplier) const {
        return QStringLiteral("INSERT INTO CONTAPAGAR (NRCONTAPAGAR, CDEMPRESA, CDFILIAL,"
                              " NRLANCTONF, CDIMPOSTONFE, CDFORNECED, CDTIPOCONTAPAG,"
                              " CDTIPOBAIXAPAG, CDTIPOOPERPAG, VRCONTAPAGAR, DTVENCGUIA,"
                              " STBARRAGUIA, STLINHADIGI) VALUES (900001, '%1', '%3', '%4', '%5',"
                              " '%2', 'DARF', 'BCO', '50', 1, CURRENT_DATE, '%6', 'linha')")
            .arg(company, supplier, m_free[0], m_free[1], m_free[2], QString(44, QLatin1Char('8')));
    }

    // Runs the statements in one transaction that is rolled back; the last one's error text,
    // empty when all ran.
    QString attempt(const QStringList& statements) {
        if (!m_db.transaction())
            return QStringLiteral("no transaction");
        QString error;
        {
            QSqlQuery q(m_db);
            for (const QString& st : statements)
                if (!q.exec(st)) {
                    error = q.lastError().text();
                    if (error.isEmpty())
                        error = QStringLiteral("failed");
                    break;
                }
        }
        m_db.rollback();
        return error;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        FisDb::prepareEnvironment(m_dir.filePath(QStringLiteral("firebird")));
        const QString path = m_dir.filePath(QStringLiteral("references.fdb"));
        FisDb::createDatabase(path, true, 200);
        m_db = FisDb::openConnection(path, QStringLiteral("references"));
        QSqlQuery q(m_db);
        QVERIFY(q.exec(QStringLiteral("SELECT FIRST 1 CDFILIAL, NRLANCTONF, CDIMPOSTONFE"
                                      " FROM IMPOSTONF WHERE IDSTATUSGUIA = 'N'"
                                      " AND CDIMPOSTONFE = '01' ORDER BY 1, 2")));
        QVERIFY(q.next());
        m_free = {q.value(0).toString(), q.value(1).toString(), q.value(2).toString()};
        QVERIFY(q.exec(QStringLiteral("SELECT FIRST 1 CDFILIAL, NRLANCTONF, CDIMPOSTONFE,"
                                      " NRCONTAPAGAR FROM IMPOSTONF WHERE IDSTATUSGUIA = 'S'")));
        QVERIFY2(q.next(), "the demo data holds issued guides");
        m_issued = {q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                    q.value(3).toString()};
    }

    void cleanupTestCase() {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("references"));
        FisDb::shutdown();
    }

    // Each row: statements run in order in one transaction; refused rows name the text the
    // refusal must carry, accepted rows carry an empty one.
    void rules_data() {
        QTest::addColumn<QStringList>("statements");
        QTest::addColumn<QString>("refusal");
        const QString supplier = QStringLiteral("INSERT INTO FORNECEDOR (CDFORNECED, IDTPIJURFORN,"
                                                " NRINSJURFORN, NMRAZSOCFORN)"
                                                " VALUES ('X9', 'F', '52998224725', 'n')");
        const QString company = QStringLiteral("INSERT INTO EMPRESA VALUES ('97', 'n',"
                                               " '11.222.333/0001-81')");
        const QString issuedRow = QStringLiteral("CDFILIAL = '%1' AND NRLANCTONF = '%2' AND"
                                                 " CDIMPOSTONFE = '%3'")
                                      .arg(m_issued[0], m_issued[1], m_issued[2]);

        QTest::newRow("payable of its note's company and tax supplier")
            << QStringList{payable(QStringLiteral("01"), QStringLiteral("F000000"))} << QString();
        QTest::newRow("payable of an unknown company")
            << QStringList{payable(QStringLiteral("77"), QStringLiteral("F000000"))}
            << QStringLiteral("empresa 77 não cadastrada");
        QTest::newRow("payable of an unknown supplier")
            << QStringList{payable(QStringLiteral("01"), QStringLiteral("X7"))}
            << QStringLiteral("fornecedor X7 não cadastrado");

        QTest::newRow("supplier without payables deleted")
            << QStringList{supplier, QStringLiteral("DELETE FROM FORNECEDOR WHERE CDFORNECED = "
                                                    "'X9'")}
            << QString();
        QTest::newRow("supplier of a payable deleted")
            << QStringList{supplier, payable(QStringLiteral("01"), QStringLiteral("X9")),
                           QStringLiteral("DELETE FROM FORNECEDOR WHERE CDFORNECED = 'X9'")}
            << QStringLiteral("O fornecedor X9 é beneficiário de contas a pagar");
        QTest::newRow("supplier of a payable renumbered")
            << QStringList{supplier, payable(QStringLiteral("01"), QStringLiteral("X9")),
                           QStringLiteral("UPDATE FORNECEDOR SET CDFORNECED = 'X8' WHERE "
                                          "CDFORNECED = 'X9'")}
            << QStringLiteral("O fornecedor X9 é beneficiário de contas a pagar");
        QTest::newRow("company without notes or payables deleted")
            << QStringList{company, QStringLiteral("DELETE FROM EMPRESA WHERE CDEMPRESA = '97'")}
            << QString();
        QTest::newRow("company of a payable deleted")
            << QStringList{company, payable(QStringLiteral("97"), QStringLiteral("F000000")),
                           QStringLiteral("DELETE FROM EMPRESA WHERE CDEMPRESA = '97'")}
            << QStringLiteral("A empresa 97 tem contas a pagar");

        QTest::newRow("tax row without payable deleted")
            << QStringList{QStringLiteral("DELETE FROM IMPOSTONF WHERE CDFILIAL = '%1' AND "
                                          "NRLANCTONF = '%2' AND CDIMPOSTONFE = '%3'")
                               .arg(m_free[0], m_free[1], m_free[2])}
            << QString();
        QTest::newRow("tax row of a payable deleted")
            << QStringList{QStringLiteral("DELETE FROM IMPOSTONF WHERE ") + issuedRow}
            << QStringLiteral("tem conta a pagar do imposto");
        QTest::newRow("note of a payable deleted (its tax rows go with it)")
            << QStringList{QStringLiteral("DELETE FROM NOTAFISCAL WHERE CDFILIAL = '%1' AND "
                                          "NRLANCTONF = '%2'")
                               .arg(m_issued[0], m_issued[1])}
            << QStringLiteral("tem conta a pagar do imposto");

        QTest::newRow("guide pointing at a missing payable")
            << QStringList{QStringLiteral("UPDATE IMPOSTONF SET NRCONTAPAGAR = 999999 WHERE ") +
                           issuedRow}
            << QStringLiteral("aponta a conta a pagar 999999, que não existe");
        QTest::newRow("payable of no guide deleted")
            << QStringList{payable(QStringLiteral("01"), QStringLiteral("F000000")),
                           QStringLiteral("DELETE FROM CONTAPAGAR WHERE NRCONTAPAGAR = 900001")}
            << QString();
        QTest::newRow("payable of an issued guide deleted")
            << QStringList{QStringLiteral("DELETE FROM CONTAPAGAR WHERE NRCONTAPAGAR = ") +
                           m_issued[3]}
            << QStringLiteral("é de uma guia emitida");
    }

    void rules() {
        QFETCH(QStringList, statements);
        QFETCH(QString, refusal);
        const QString error = attempt(statements);
        if (refusal.isEmpty())
            QVERIFY2(error.isEmpty(), qPrintable(error));
        else
            QVERIFY2(error.contains(refusal), qPrintable(error));
    }

    // A database with the older foreign keys gets the triggers and loses the keys, once; the
    // rules hold before and after.
    void upgradesAnOlderDatabase() {
        {
            QSqlQuery q(m_db);
            for (const char* st : kOlderSchema)
                QVERIFY2(q.exec(QString::fromLatin1(st)), qPrintable(q.lastError().text()));
        }
        const QString older = attempt({QStringLiteral("DELETE FROM IMPOSTONF WHERE CDFILIAL = '%1'"
                                                      " AND NRLANCTONF = '%2' AND"
                                                      " CDIMPOSTONFE = '%3'")
                                           .arg(m_issued[0], m_issued[1], m_issued[2])});
        QVERIFY2(older.contains(QStringLiteral("FOREIGN KEY")), qPrintable(older));

        QCOMPARE(FisDb::upgradeSchema(m_db), QString());
        const QStringList keys =
            column(m_db, QStringLiteral("SELECT TRIM(RDB$CONSTRAINT_NAME) FROM"
                                        " RDB$RELATION_CONSTRAINTS WHERE RDB$CONSTRAINT_TYPE IN"
                                        " ('FOREIGN KEY', 'PRIMARY KEY') AND RDB$RELATION_NAME IN"
                                        " ('CONTAPAGAR', 'IMPOSTONF', 'GUIAHISTORICO')"
                                        " ORDER BY 1"));
        QCOMPARE(keys, QStringList({"FK_IMPOSTONF_IMPOSTONFE", "FK_IMPOSTONF_NOTAFISCAL",
                                    "PK_CONTAPAGAR", "PK_GUIAHISTORICO_NOTA", "PK_IMPOSTONF"}));
        QCOMPARE(scalar(m_db, QStringLiteral("SELECT COUNT(*) FROM RDB$INDICES WHERE"
                                             " RDB$INDEX_NAME = 'IX_GUIAHISTORICO_NOTA'"))
                     .toInt(),
                 0);
        const QString upgraded = attempt({QStringLiteral("DELETE FROM NOTAFISCAL WHERE CDFILIAL ="
                                                         " '%1' AND NRLANCTONF = '%2'")
                                              .arg(m_issued[0], m_issued[1])});
        QVERIFY2(upgraded.contains(QStringLiteral("tem conta a pagar do imposto")),
                 qPrintable(upgraded));
        // Nothing left to do the second time.
        QCOMPARE(FisDb::upgradeSchema(m_db), QString());
    }
};

QTEST_GUILESS_MAIN(TestReferences)
#include "test_references.moc"
