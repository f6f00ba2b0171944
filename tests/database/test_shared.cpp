// The embedded default: the project's Firebird root, and one database file open in two
// processes at once (this test and an isql-fb child), both reading and writing it.
#include "DbTestSupport.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

using namespace DbTest;

class TestShared : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_root;
    QString m_path;

    static void startIsql(QProcess& p, const QString& script) {
        const QString exe = QStandardPaths::findExecutable(QStringLiteral("isql-fb"));
        p.start(exe, {QStringLiteral("-q"), QStringLiteral("-ch"), QStringLiteral("UTF8")});
        if (p.waitForStarted(10000)) {
            p.write(script.toUtf8());
            p.closeWriteChannel();
        }
    }

    // Runs isql-fb on script with this process's environment; returns its standard output.
    QString isql(const QString& script, bool* ok) {
        QProcess p;
        startIsql(p, script);
        if (p.state() == QProcess::NotRunning) {
            *ok = false;
            return {};
        }
        *ok = p.waitForFinished(30000) && p.exitCode() == 0;
        const QString err = QString::fromUtf8(p.readAllStandardError());
        if (!err.isEmpty())
            qWarning().noquote() << "isql-fb:" << err;
        *ok = *ok && err.isEmpty();
        return QString::fromUtf8(p.readAllStandardOutput());
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_root = FisDb::prepareEnvironment(m_dir.filePath(QStringLiteral("firebird")));
        m_path = m_dir.filePath(QStringLiteral("shared.fdb"));
        FisDb::createDatabase(m_path, true, 50);
    }

    void environmentPointsAtTheProjectRoot() {
        QCOMPARE(m_root, QDir(m_dir.filePath(QStringLiteral("firebird"))).absolutePath());
        QCOMPARE(qEnvironmentVariable("FIREBIRD"), m_root);
        QCOMPARE(qEnvironmentVariable("FIREBIRD_LOCK"), m_root + QStringLiteral("/lock"));
        QFile conf(m_root + QStringLiteral("/firebird.conf"));
        QVERIFY(conf.open(QIODevice::ReadOnly));
        QVERIFY(conf.readAll().contains("\nServerMode = SuperClassic\n"));
        for (const char* name : {"plugins", "intl", "firebird.msg", "plugins.conf"}) {
            const QFileInfo link(m_root + QLatin1Char('/') + QLatin1String(name));
            QVERIFY2(link.isSymLink() && link.exists(), name);
        }
        QVERIFY(QFileInfo::exists(m_root + QStringLiteral("/plugins/libEngine12.so")));
        // idempotent: a second call changes nothing and keeps working links
        const QDateTime written = QFileInfo(conf).lastModified();
        QCOMPARE(FisDb::prepareEnvironment(m_dir.filePath(QStringLiteral("firebird"))), m_root);
        QCOMPARE(QFileInfo(conf).lastModified(), written);
        QVERIFY(QFileInfo(m_root + QStringLiteral("/intl")).isSymLink());
    }

    void repairsAStaleLink() {
        const QString other = m_dir.filePath(QStringLiteral("other-root"));
        QVERIFY(QDir().mkpath(other));
        QVERIFY(QFile::link(m_dir.filePath(QStringLiteral("gone")), other + "/intl"));
        FisDb::prepareEnvironment(other);
        QVERIFY(QFileInfo(other + QStringLiteral("/intl/fbintl.conf")).exists());
        FisDb::prepareEnvironment(m_root); // back to this process's root
        QCOMPARE(qEnvironmentVariable("FIREBIRD"), m_root);
    }

    void twoProcessesShareTheFile() {
        if (QStandardPaths::findExecutable(QStringLiteral("isql-fb")).isEmpty())
            QSKIP("isql-fb is not installed");
        {
            QSqlDatabase db = FisDb::openConnection(m_path, QStringLiteral("mine"));
            QSqlQuery q(db);
            QVERIFY2(q.exec(QStringLiteral("INSERT INTO SERIEENTR VALUES ('P1', 'do teste')")),
                     qPrintable(q.lastError().text()));

            // This process keeps the file open (with a transaction running) while the child
            // reads this process's row and writes its own.
            QVERIFY(db.transaction());
            QVERIFY(q.exec(QStringLiteral("SELECT COUNT(*) FROM NOTAFISCAL")) && q.next());
            const int notes = q.value(0).toInt();
            bool ok = false;
            const QString out =
                isql(QStringLiteral("CONNECT '%1' USER 'SYSDBA' PASSWORD 'masterkey';\n"
                                    "SELECT 'seen:' || DSSERIEENTR FROM SERIEENTR WHERE "
                                    "CDSERIEENTR = 'P1';\n"
                                    "SELECT 'notes:' || COUNT(*) FROM NOTAFISCAL;\n"
                                    "INSERT INTO SERIEENTR VALUES ('P2', 'do processo filho');\n"
                                    "COMMIT;\n")
                         .arg(m_path),
                     &ok);
            QVERIFY2(ok, qPrintable(out));
            QVERIFY2(out.contains(QStringLiteral("seen:do teste")), qPrintable(out));
            QVERIFY2(out.contains(QStringLiteral("notes:%1").arg(notes)), qPrintable(out));
            QVERIFY(db.commit());

            // and this process sees the child's row through its still open connection
            QVERIFY(q.exec(QStringLiteral("SELECT DSSERIEENTR FROM SERIEENTR WHERE "
                                          "CDSERIEENTR = 'P2'")));
            QVERIFY(q.next());
            QCOMPARE(q.value(0).toString(), QStringLiteral("do processo filho"));

            // both write the same row: the child's update waits for nobody and lands
            QVERIFY(q.exec(QStringLiteral("UPDATE SERIEENTR SET DSSERIEENTR = 'um' WHERE "
                                          "CDSERIEENTR = 'P1'")));
            isql(QStringLiteral("CONNECT '%1' USER 'SYSDBA' PASSWORD 'masterkey';\n"
                                "UPDATE SERIEENTR SET DSSERIEENTR = DSSERIEENTR || ' e dois' "
                                "WHERE CDSERIEENTR = 'P1';\nCOMMIT;\n")
                     .arg(m_path),
                 &ok);
            QVERIFY(ok);
            QVERIFY(q.exec(QStringLiteral("SELECT DSSERIEENTR FROM SERIEENTR WHERE "
                                          "CDSERIEENTR = 'P1'")));
            QVERIFY(q.next());
            QCOMPARE(q.value(0).toString(), QStringLiteral("um e dois"));
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("mine"));
    }

    // Two clerks issue one note and tax at the same moment from two processes: the second insert
    // waits for the first transaction and then fails; one payable remains.
    void twoProcessesCannotIssueOneGuideTwice() {
        if (QStandardPaths::findExecutable(QStringLiteral("isql-fb")).isEmpty())
            QSKIP("isql-fb is not installed");
        {
            QSqlDatabase db = FisDb::openConnection(m_path, QStringLiteral("clerk1"));
            QSqlQuery q(db);
            QVERIFY(q.exec(QStringLiteral(
                "SELECT FIRST 1 I.CDFILIAL, I.NRLANCTONF, I.CDIMPOSTONFE FROM IMPOSTONF I "
                "JOIN IMPOSTOCONTAPAG P ON P.CDIMPOSTONFE = I.CDIMPOSTONFE "
                "WHERE I.IDSTATUSGUIA = 'N' ORDER BY 1, 2, 3")));
            QVERIFY(q.next());
            const QString where =
                QStringLiteral("CDFILIAL = '%1' AND NRLANCTONF = '%2' AND "
                               "CDIMPOSTONFE = '%3'")
                    .arg(q.value(0).toString(), q.value(1).toString(), q.value(2).toString());
            const QString insert =
                QStringLiteral("INSERT INTO CONTAPAGAR (CDEMPRESA, CDFILIAL, NRLANCTONF, "
                               "CDIMPOSTONFE, CDFORNECED, CDTIPOCONTAPAG, CDTIPOBAIXAPAG, "
                               "CDTIPOOPERPAG, VRCONTAPAGAR, DTVENCGUIA, STBARRAGUIA, "
                               "STLINHADIGI, DSHISTGUIAPAGDOC) "
                               "SELECT N.CDEMPRESA, I.CDFILIAL, I.NRLANCTONF, I.CDIMPOSTONFE, "
                               "'F000000', 'DARF', 'BCO', '50', I.VRIMPOSTONF, CURRENT_DATE, "
                               "'%1', 'linha', '%2' FROM IMPOSTONF I JOIN NOTAFISCAL N ON "
                               "N.CDFILIAL = I.CDFILIAL AND N.NRLANCTONF = I.NRLANCTONF "
                               "WHERE %3")
                    .arg(QString(44, QLatin1Char('8')));
            QString whereI = where;
            whereI.replace(QStringLiteral("CD"), QStringLiteral("I.CD"))
                .replace(QStringLiteral("NR"), QStringLiteral("I.NR"));
            q.finish();

            QVERIFY(db.transaction());
            QVERIFY2(q.exec(insert.arg(QStringLiteral("clerk 1"), whereI)),
                     qPrintable(q.lastError().text()));
            QCOMPARE(q.numRowsAffected(), 1);

            QProcess clerk2;
            startIsql(clerk2, QStringLiteral("CONNECT '%1' USER 'SYSDBA' PASSWORD 'masterkey';\n"
                                             "%2;\nCOMMIT;\n")
                                  .arg(m_path, insert.arg(QStringLiteral("clerk 2"), whereI)));
            QVERIFY(clerk2.state() != QProcess::NotRunning);
            // the second clerk waits on the first one's uncommitted payable
            QVERIFY(!clerk2.waitForFinished(1500));
            QVERIFY(db.commit());
            QVERIFY(clerk2.waitForFinished(30000));
            const QString err = QString::fromUtf8(clerk2.readAllStandardError());
            QVERIFY2(err.contains(QStringLiteral("UQ_CONTAPAGAR_NOTA_IMPOSTO")) ||
                         err.contains(QStringLiteral("concurrent")),
                     qPrintable(err));

            QCOMPARE(scalar(db, QStringLiteral("SELECT COUNT(*) FROM CONTAPAGAR WHERE ") + where)
                         .toInt(),
                     1);
            QCOMPARE(
                scalar(db, QStringLiteral("SELECT DSHISTGUIAPAGDOC FROM CONTAPAGAR WHERE ") + where)
                    .toString(),
                QStringLiteral("clerk 1"));
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("clerk1"));
    }

    void cleanupTestCase() { FisDb::shutdown(); }
};

QTEST_GUILESS_MAIN(TestShared)
#include "test_shared.moc"
