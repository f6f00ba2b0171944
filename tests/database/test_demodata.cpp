// Check digits of CPF/CNPJ and the demo data set: valid registrations, a realistic mix, issued
// guides whose barcodes hold, day counts within the barcode's four digits, and determinism.
#include "DbTestSupport.h"
#include "DemoData.h"
#include "core/Services.h"

#include <QCryptographicHash>

using namespace DbTest;

class TestDemoData : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QSqlDatabase m_db;
    int m_made = 0;

    // A database with the schema and demo data made by fillDemoData with these options;
    // returns a digest of everything it holds.
    QByteArray digestOfNewDatabase(const FisDb::DemoOptions& options) {
        const QString path = m_dir.filePath(QStringLiteral("digest%1.fdb").arg(++m_made));
        FisDb::createDatabase(path, false);
        QByteArray digest;
        {
            QSqlDatabase db = FisDb::openConnection(path, QStringLiteral("digest"));
            const FisDb::DemoSummary s = FisDb::fillDemoData(db, options);
            if (s.notes != options.notes)
                return {};
            QCryptographicHash hash(QCryptographicHash::Sha256);
            const QStringList tables = {"EMPRESA",    "INSCRESTAD", "INSCRMUNICIP",
                                        "CLIENTE",    "FORNECEDOR", "SERIENF",
                                        "NOTAFISCAL", "IMPOSTONF",  "CONTAPAGAR"};
            for (const QString& t : tables) {
                QSqlQuery q(db);
                // every column of the row, in a fixed order (the record is fetched once:
                // QIBASE asks the database for it on every call)
                if (!q.exec(QStringLiteral("SELECT * FROM %1").arg(t)))
                    return {};
                const QSqlRecord record = q.record();
                QList<int> columns;
                QStringList order;
                for (int i = 0; i < record.count(); ++i) {
                    if (record.fieldName(i) == QLatin1String("DTINCLUSAO"))
                        continue; // the moment of creation
                    columns << i;
                    order << QString::number(i + 1);
                }
                if (!q.exec(QStringLiteral("SELECT * FROM %1 ORDER BY %2")
                                .arg(t, order.join(QStringLiteral(", ")))))
                    return {};
                while (q.next())
                    for (int i : columns)
                        hash.addData(q.value(i).toString().toUtf8() + '|');
            }
            digest = hash.result();
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("digest"));
        return digest;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        FisDb::prepareEnvironment(m_dir.filePath(QStringLiteral("firebird")));
        const QString path = m_dir.filePath(QStringLiteral("demo.fdb"));
        FisDb::createDatabase(path, true, 600);
        m_db = FisDb::openConnection(path, QStringLiteral("demo"));
    }

    void cleanupTestCase() {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("demo"));
        FisDb::shutdown();
    }

    void knownRegistrations_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("cnpj");
        QTest::addColumn<bool>("valid");
        QTest::newRow("cnpj 11.222.333/0001-81") << "11.222.333/0001-81" << true << true;
        QTest::newRow("cnpj digits 11222333000181") << "11222333000181" << true << true;
        QTest::newRow("cnpj 12.345.678/0001-95") << "12.345.678/0001-95" << true << true;
        QTest::newRow("cnpj 00.000.000/0001-91") << "00.000.000/0001-91" << true << true;
        QTest::newRow("cnpj wrong second digit") << "11.222.333/0001-82" << true << false;
        QTest::newRow("cnpj wrong first digit") << "11.222.333/0001-71" << true << false;
        QTest::newRow("cnpj all zeros") << "00.000.000/0000-00" << true << false;
        QTest::newRow("cnpj all ones") << "11111111111111" << true << false;
        QTest::newRow("cnpj 13 digits") << "1122233300018" << true << false;
        QTest::newRow("cnpj with a letter") << "11.222.333/0001-8A" << true << false;
        QTest::newRow("cpf 529.982.247-25") << "529.982.247-25" << false << true;
        QTest::newRow("cpf 111.444.777-35") << "111.444.777-35" << false << true;
        QTest::newRow("cpf 000.000.001-91") << "000.000.001-91" << false << true;
        QTest::newRow("cpf wrong digits") << "529.982.247-24" << false << false;
        QTest::newRow("cpf all nines") << "999.999.999-99" << false << false;
        QTest::newRow("cpf with a slash") << "529.982.247/25" << false << false;
    }

    void knownRegistrations() {
        QFETCH(QString, text);
        QFETCH(bool, cnpj);
        QFETCH(bool, valid);
        QCOMPARE(cnpj ? FisDb::isValidCnpj(text) : FisDb::isValidCpf(text), valid);
    }

    void checkDigitsComputed() {
        QCOMPARE(FisDb::cnpjCheckDigits("112223330001"), QStringLiteral("81"));
        QCOMPARE(FisDb::cnpjCheckDigits("123456780001"), QStringLiteral("95"));
        QCOMPARE(FisDb::cpfCheckDigits("529982247"), QStringLiteral("25"));
        QCOMPARE(FisDb::cpfCheckDigits("111444777"), QStringLiteral("35"));
        QCOMPARE(FisDb::cnpjCheckDigits("11222333000"), QString());
        QCOMPARE(FisDb::cpfCheckDigits("52998224x"), QString());
        QCOMPARE(FisDb::formatCnpj("11222333000181"), QStringLiteral("11.222.333/0001-81"));
    }

    // Any single-digit change of a valid number is caught by its check digits.
    void everySingleDigitErrorIsCaught() {
        for (const QString& valid :
             {QStringLiteral("11222333000181"), QStringLiteral("52998224725")}) {
            const bool isCnpj = valid.size() == 14;
            for (int i = 0; i < valid.size(); ++i) {
                for (int d = 1; d <= 9; ++d) {
                    QString wrong = valid;
                    wrong[i] = QChar('0' + (valid.at(i).digitValue() + d) % 10);
                    QVERIFY2(!(isCnpj ? FisDb::isValidCnpj(wrong) : FisDb::isValidCpf(wrong)),
                             qPrintable(wrong));
                }
            }
        }
    }

    void demoRegistrationsAreValid() {
        const QStringList companies = column(m_db, "SELECT NRINSJUREMPR FROM EMPRESA");
        QVERIFY(companies.size() >= 4);
        for (const QString& c : companies) {
            QVERIFY2(FisDb::isValidCnpj(c), qPrintable(c));
            QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d\\.\\d{3}\\.\\d{3}/\\d{4}-\\d\\d$"))
                         .match(c)
                         .hasMatch(),
                     qPrintable(c));
        }
        int persons = 0, firms = 0;
        for (const char* sql : {"SELECT IDTPIJURCLIE, NRINSJURCLIE FROM CLIENTE",
                                "SELECT IDTPIJURFORN, NRINSJURFORN FROM FORNECEDOR",
                                "SELECT DISTINCT IDINSJUR, NRINSJUR FROM NOTAFISCAL"}) {
            QSqlQuery q(m_db);
            QVERIFY(q.exec(QString::fromLatin1(sql)));
            while (q.next()) {
                const QString type = q.value(0).toString(), nr = q.value(1).toString();
                if (type == QLatin1String("F")) {
                    ++persons;
                    QVERIFY2(FisDb::isValidCpf(nr) && nr.size() == 11, qPrintable(nr));
                } else {
                    ++firms;
                    QCOMPARE(type, QStringLiteral("J"));
                    QVERIFY2(FisDb::isValidCnpj(nr) && nr.size() == 14, qPrintable(nr));
                }
            }
        }
        QVERIFY(persons > 0 && firms > 0);
        // the note carries its party's registration
        QCOMPARE(scalar(m_db, "SELECT COUNT(*) FROM NOTAFISCAL N LEFT JOIN CLIENTE C ON "
                              "C.CDCLIENTE = N.CDCLIENTE LEFT JOIN FORNECEDOR F ON F.CDFORNECED "
                              "= N.CDFORNECED WHERE N.NRINSJUR <> COALESCE(C.NRINSJURCLIE, "
                              "F.NRINSJURFORN) OR N.IDINSJUR <> COALESCE(C.IDTPIJURCLIE, "
                              "F.IDTPIJURFORN)")
                     .toInt(),
                 0);
    }

    void demoHasARealisticMix() {
        QCOMPARE(scalar(m_db, "SELECT COUNT(*) FROM NOTAFISCAL").toInt(), 600);
        // entry and exit notes, with customers and with suppliers in both
        QCOMPARE(column(m_db, "SELECT DISTINCT IDENTRSAIDOP || IIF(CDCLIENTE IS NULL, 'F', 'C') "
                              "FROM NOTAFISCAL ORDER BY 1"),
                 QStringList({"EC", "EF", "SC", "SF"}));
        QVERIFY(scalar(m_db, "SELECT COUNT(DISTINCT CDSERIE) FROM NOTAFISCAL").toInt() >= 4);
        QVERIFY(scalar(m_db, "SELECT COUNT(DISTINCT IDENTRSAIDOP || CDTIPOOPER) FROM NOTAFISCAL")
                    .toInt() >= 6);
        QCOMPARE(scalar(m_db, "SELECT COUNT(DISTINCT CDEMPRESA) FROM NOTAFISCAL").toInt(), 4);
        // operation types of both kinds sharing a code
        QVERIFY(scalar(m_db, "SELECT COUNT(*) FROM TIPOOPERAC E JOIN TIPOOPERAC S ON "
                             "S.CDTIPOOPER = E.CDTIPOOPER AND S.IDENTRSAIDOP = 'S' WHERE "
                             "E.IDENTRSAIDOP = 'E'")
                    .toInt() > 0);
        // an entry series and an exit series sharing a code
        QVERIFY(scalar(m_db, "SELECT COUNT(*) FROM SERIEENTR E WHERE EXISTS (SELECT 1 FROM "
                             "SERIENF S WHERE S.CDSERIE = E.CDSERIEENTR)")
                    .toInt() > 0);
        // centavos and several months
        QVERIFY(scalar(m_db, "SELECT COUNT(*) FROM NOTAFISCAL WHERE MOD(CAST(VRNOTAFISC * 100 AS "
                             "BIGINT), 100) <> 0")
                    .toInt() > 300);
        QVERIFY(scalar(m_db, "SELECT COUNT(DISTINCT EXTRACT(YEAR FROM DTEMISSAONF) * 100 + "
                             "EXTRACT(MONTH FROM DTEMISSAONF)) FROM NOTAFISCAL")
                    .toInt() >= 5);
        QVERIFY(scalar(m_db, "SELECT COUNT(*) FROM NOTAFISCAL WHERE DTENTRSAID < DTEMISSAONF "
                             "OR DTEMISSAONF > CURRENT_DATE")
                    .toInt() == 0);
        // every note has a federal tax the clerk can pick
        QCOMPARE(scalar(m_db, "SELECT COUNT(*) FROM NOTAFISCAL N WHERE NOT EXISTS (SELECT 1 FROM "
                              "IMPOSTONF I WHERE I.CDFILIAL = N.CDFILIAL AND I.NRLANCTONF = "
                              "N.NRLANCTONF AND I.CDIMPOSTONFE IN ('01','05','06','07','08'))")
                     .toInt(),
                 0);
        // exit notes use a series of their company and registrations
        QCOMPARE(scalar(m_db, "SELECT COUNT(*) FROM NOTAFISCAL N WHERE N.IDENTRSAIDOP = 'S' AND "
                              "NOT EXISTS (SELECT 1 FROM SERIENF S WHERE S.CDEMPRESA = "
                              "N.CDEMPRESA AND S.CDINSCESTA = N.CDINSCESTA AND S.CDINSCMUNI = "
                              "N.CDINSCMUNI AND S.CDSERIE = N.CDSERIE)")
                     .toInt(),
                 0);
        QCOMPARE(scalar(m_db, "SELECT COUNT(*) FROM NOTAFISCAL N WHERE N.IDENTRSAIDOP = 'E' AND "
                              "NOT EXISTS (SELECT 1 FROM SERIEENTR S WHERE S.CDSERIEENTR = "
                              "N.CDSERIE)")
                     .toInt(),
                 0);
    }

    // The filter's default period (the first of the month up to today) holds, for every company
    // and every tax the filter offers, entry and exit notes: a new clerk's first filter finds
    // notes whatever the tax.
    void defaultPeriodHasEveryCompanyTaxAndKind() {
        const QDate today = QDate::currentDate();
        QSqlQuery q(m_db);
        QVERIFY(q.prepare(QStringLiteral(
            "SELECT E.CDEMPRESA || '/' || T.CDIMPOSTONFE || '/' || K.K FROM EMPRESA E"
            " CROSS JOIN IMPOSTONFE T"
            " CROSS JOIN (SELECT 'E' AS K FROM RDB$DATABASE UNION SELECT 'S' FROM RDB$DATABASE) K"
            " WHERE T.IDORGARRECADNFE = 'F' AND T.CDIMPOSTONFE NOT IN ('41','42')"
            " AND NOT EXISTS (SELECT 1 FROM NOTAFISCAL N JOIN IMPOSTONF I ON"
            " I.CDFILIAL = N.CDFILIAL AND I.NRLANCTONF = N.NRLANCTONF"
            " WHERE N.CDEMPRESA = E.CDEMPRESA AND I.CDIMPOSTONFE = T.CDIMPOSTONFE"
            " AND N.IDENTRSAIDOP = K.K AND I.VRIMPOSTONF > 0"
            " AND N.DTEMISSAONF BETWEEN ? AND ? AND N.DTENTRSAID BETWEEN ? AND ?)"
            " ORDER BY 1")));
        for (const QDate& d : {PriDiaMes(today), today, PriDiaMes(today), today})
            q.addBindValue(d);
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
        QStringList missing;
        while (q.next())
            missing << q.value(0).toString();
        QCOMPARE(missing, QStringList());
        QCOMPARE(scalar(m_db, "SELECT COUNT(*) FROM EMPRESA").toInt(), 4);
    }

    void taxesAndTheirSettings() {
        QCOMPARE(column(m_db, "SELECT DISTINCT IDORGARRECADNFE FROM IMPOSTONFE ORDER BY 1"),
                 QStringList({"E", "F", "M"}));
        QCOMPARE(column(m_db, "SELECT CDIMPOSTONFE FROM IMPOSTONFE WHERE IDORGARRECADNFE = 'F' "
                              "ORDER BY 1"),
                 QStringList({"01", "05", "06", "07", "08", "41", "42"}));
        // one federal tax deliberately without payable settings, and notes that carry it
        const QStringList without =
            column(m_db, "SELECT T.CDIMPOSTONFE FROM IMPOSTONFE T WHERE T.IDORGARRECADNFE = 'F' "
                         "AND T.CDIMPOSTONFE NOT IN ('41','42') AND NOT EXISTS (SELECT 1 FROM "
                         "IMPOSTOCONTAPAG P WHERE P.CDIMPOSTONFE = T.CDIMPOSTONFE)");
        QCOMPARE(without, QStringList({"08"}));
        QVERIFY(scalar(m_db, "SELECT COUNT(*) FROM IMPOSTONF WHERE CDIMPOSTONFE = '08'").toInt() >
                0);
        // every selectable federal tax has 4-digit revenue codes
        QCOMPARE(scalar(m_db, "SELECT COUNT(*) FROM IMPOSTONFE T WHERE T.IDORGARRECADNFE = 'F' "
                              "AND T.CDIMPOSTONFE NOT IN ('41','42') AND NOT EXISTS (SELECT 1 "
                              "FROM RECEITAPADRAO R WHERE R.CDIMPOSTONFE = T.CDIMPOSTONFE)")
                     .toInt(),
                 0);
        // a guide's revenue code belongs to its tax
        QCOMPARE(scalar(m_db, "SELECT COUNT(*) FROM IMPOSTONF I WHERE I.CDRECEGUIA IS NOT NULL "
                              "AND NOT EXISTS (SELECT 1 FROM RECEITAPADRAO R WHERE "
                              "R.CDIMPOSTONFE = I.CDIMPOSTONFE AND R.CDRECEPADRAO = "
                              "I.CDRECEGUIA)")
                     .toInt(),
                 0);
    }

    void barcodeDayCountsFitFourDigits() {
        QCOMPARE(scalar(m_db, "SELECT COUNT(*) FROM PARAMFISCAL").toInt(), 1);
        QSqlQuery q(m_db);
        QVERIFY(q.exec(QStringLiteral(
            "SELECT MIN(N.DTENTRSAID - P.DTREFVENCDARF), MAX(N.DTENTRSAID - P.DTREFVENCDARF), "
            "MIN(I.DTVENCGUIA - P.DTREFPAGDARF), MAX(I.DTVENCGUIA - P.DTREFPAGDARF) "
            "FROM NOTAFISCAL N JOIN IMPOSTONF I ON I.CDFILIAL = N.CDFILIAL AND I.NRLANCTONF = "
            "N.NRLANCTONF CROSS JOIN PARAMFISCAL P")));
        QVERIFY(q.next());
        for (int i = 0; i < 4; ++i) {
            QVERIFY2(q.value(i).toInt() >= 0 && q.value(i).toInt() <= 9999,
                     qPrintable(q.value(i).toString()));
        }
    }

    void issuedGuidesHaveTheirPayable() {
        const int issued =
            scalar(m_db, "SELECT COUNT(*) FROM IMPOSTONF WHERE IDSTATUSGUIA = 'S'").toInt();
        QVERIFY(issued > 0);
        QCOMPARE(scalar(m_db, "SELECT COUNT(*) FROM CONTAPAGAR").toInt(), issued);
        QSqlQuery q(m_db);
        QVERIFY(q.exec(QStringLiteral(
            "SELECT C.STBARRAGUIA, C.STLINHADIGI, CAST(C.VRCONTAPAGAR * 100 AS BIGINT), "
            "CAST((I.VRIMPOSTONF + I.VRMULTAGUIA + I.VRJUROGUIA) * 100 AS BIGINT), "
            "I.CDRECEGUIA, C.CDRECEGUIA, E.NRINSJUREMPR, I.NRCONTAPAGAR, C.NRCONTAPAGAR "
            "FROM IMPOSTONF I JOIN CONTAPAGAR C ON C.CDFILIAL = I.CDFILIAL AND "
            "C.NRLANCTONF = I.NRLANCTONF AND C.CDIMPOSTONFE = I.CDIMPOSTONFE "
            "JOIN EMPRESA E ON E.CDEMPRESA = C.CDEMPRESA WHERE I.IDSTATUSGUIA = 'S'")));
        int seen = 0;
        while (q.next()) {
            ++seen;
            const QString barcode = q.value(0).toString();
            QCOMPARE(barcode.size(), 44);
            QVERIFY(barcode.startsWith(QStringLiteral("856")));
            QCOMPARE(Mod10(barcode.left(3) + barcode.mid(4)), barcode.at(3));
            QCOMPARE(barcode.mid(4, 11).toLongLong(), q.value(2).toLongLong());
            QCOMPARE(q.value(2).toLongLong(), q.value(3).toLongLong());
            QCOMPARE(barcode.mid(15, 4), QStringLiteral("0064"));
            QCOMPARE(barcode.mid(36, 4), q.value(4).toString());
            QCOMPARE(q.value(4).toString(), q.value(5).toString());
            QString cnpj = q.value(6).toString();
            cnpj.remove(QRegularExpression(QStringLiteral("[./-]")));
            QCOMPARE(barcode.mid(24, 12), cnpj.left(12));
            const QString line = q.value(1).toString();
            QCOMPARE(line.size(), 55);
            QString lineDigits = line;
            lineDigits.remove(QLatin1Char(' ')).remove(QLatin1Char('.'));
            QCOMPARE(lineDigits, TransformaBarraLinhaDigi(barcode));
            QCOMPARE(q.value(7).toInt(), q.value(8).toInt());
        }
        QCOMPARE(seen, issued);
        // issuing continues after the demo's numbers
        const int next =
            scalar(m_db, "SELECT NEXT VALUE FOR GEN_CONTAPAGAR FROM RDB$DATABASE").toInt();
        QVERIFY(next > scalar(m_db, "SELECT MAX(NRCONTAPAGAR) FROM CONTAPAGAR").toInt());
    }

    // A second fill of the same database collides with the first and leaves it as it was.
    void failedFillChangesNothing() {
        const int notes = scalar(m_db, "SELECT COUNT(*) FROM NOTAFISCAL").toInt();
        const int customers = scalar(m_db, "SELECT COUNT(*) FROM CLIENTE").toInt();
        FisDb::DemoOptions options;
        options.notes = 10;
        options.seed = 12345;
        try {
            FisDb::fillDemoData(m_db, options);
            QFAIL("a filled database was filled again");
        } catch (const EHostError& e) {
            QVERIFY2(e.text().contains(QStringLiteral("EMPRESA")), qPrintable(e.text()));
        }
        QCOMPARE(scalar(m_db, "SELECT COUNT(*) FROM NOTAFISCAL").toInt(), notes);
        QCOMPARE(scalar(m_db, "SELECT COUNT(*) FROM CLIENTE").toInt(), customers);
        QVERIFY(m_db.transaction()); // fails while the fill's transaction is still open
        QVERIFY(m_db.rollback());
    }

    void sameSeedSameData() {
        FisDb::DemoOptions options;
        options.notes = 120;
        options.seed = 7;
        options.anchor = QDate(2026, 3, 15);
        const QByteArray a = digestOfNewDatabase(options);
        const QByteArray b = digestOfNewDatabase(options);
        QVERIFY(!a.isEmpty());
        QCOMPARE(a, b);
        options.seed = 8;
        QVERIFY(digestOfNewDatabase(options) != a);
    }
};

QTEST_GUILESS_MAIN(TestDemoData)
#include "test_demodata.moc"
