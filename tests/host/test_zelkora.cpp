// Configuration: defaults, INI values, command-line overrides, fresh reads, invalid values.
#include "Zelkora.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <unistd.h>

class TestZelkora : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_ini;

    // Only taken when it exists, so a test that expects it proves the build made it.
    static QString shippedReports() {
        return QDir::cleanPath(QCoreApplication::applicationDirPath() +
                               QStringLiteral("/../share/fis98100/reports"));
    }

    void writeIni(const QByteArray& text) {
        QFile f(m_ini);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        qputenv("XDG_DATA_HOME", m_dir.filePath(QStringLiteral("data")).toUtf8());
        qunsetenv("FIS98100_REPORT_DIR");
        qunsetenv("FIS98100_MODULE");
        m_ini = m_dir.filePath(QStringLiteral("fis.ini"));
    }
    void init() {
        QFile::remove(m_ini);
        Zelkora::SetCommandLine({});
        Zelkora::SetConfigFile(m_ini);
    }

    void defaultsWithoutFile() {
        QCOMPARE(Zelkora::WebURL(), QStringLiteral("127.0.0.1"));
        QCOMPARE(Zelkora::WebPort(), 21981);
        QCOMPARE(Zelkora::FiliProc(), QStringLiteral("0001"));
        QCOMPARE(Zelkora::DataProc(QStringLiteral("0001")), QDate::currentDate());
        const QString dataDir =
            m_dir.filePath(QStringLiteral("data")) + QStringLiteral("/fis98100");
        QCOMPARE(Zelkora::DataDir(), dataDir);
        QCOMPARE(Zelkora::DatabaseLocation(), dataDir + QStringLiteral("/fis98100.fdb"));
        // No reports folder in the data dir: the one shipped beside the program, which the
        // build tree has as an installed layout does.
        QCOMPARE(Zelkora::ReportDir(), shippedReports());
    }

    // --report-dir, else [Reports] Dir, else FIS98100_REPORT_DIR, else <data dir>/reports when
    // it exists, else the shipped folder.
    void reportDirOrder() {
        const QString own = Zelkora::DataDir() + QStringLiteral("/reports");
        QVERIFY(QDir().mkpath(own));
        QCOMPARE(Zelkora::ReportDir(), own);
        qputenv("FIS98100_REPORT_DIR", "/env/reports");
        QCOMPARE(Zelkora::ReportDir(), QStringLiteral("/env/reports"));
        writeIni("[Reports]\nDir=/ini/reports\n");
        QCOMPARE(Zelkora::ReportDir(), QStringLiteral("/ini/reports"));
        Zelkora::SetCommandLine({QStringLiteral("--report-dir=/cli/reports")});
        QCOMPARE(Zelkora::ReportDir(), QStringLiteral("/cli/reports"));
        Zelkora::SetCommandLine({});
        qunsetenv("FIS98100_REPORT_DIR");
        QFile::remove(m_ini);
        QVERIFY(QDir(own).removeRecursively());
        QCOMPARE(Zelkora::ReportDir(), shippedReports());
    }

    // The build copies every definition of database/reports into the shipped folder.
    void buildTreeShipsTheDefinitions() {
        const QDir source(qEnvironmentVariable("FIS_SOURCE_DIR") +
                          QStringLiteral("/database/reports"));
        QVERIFY(source.exists());
        QDirIterator it(source.path(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString file = it.next();
            const QString rel = source.relativeFilePath(file);
            if (rel == QLatin1String(".gitkeep") || rel == QLatin1String("README.md"))
                continue;
            QFile a(file), b(shippedReports() + QLatin1Char('/') + rel);
            QVERIFY2(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly), qPrintable(rel));
            QVERIFY2(a.readAll() == b.readAll(), qPrintable(rel));
        }
    }

    // [Modules] <code>, else <CODE>_MODULE.
    void modulePathFromEnvironment() {
        QCOMPARE(Zelkora::ModulePath(QStringLiteral("FIS98100")), QString());
        qputenv("FIS98100_MODULE", "/env/libfis98100.so");
        QCOMPARE(Zelkora::ModulePath(QStringLiteral("fis98100")),
                 QStringLiteral("/env/libfis98100.so"));
        writeIni("[Modules]\nFIS98100=/ini/libfis98100.so\n");
        QCOMPARE(Zelkora::ModulePath(QStringLiteral("FIS98100")),
                 QStringLiteral("/ini/libfis98100.so"));
        qunsetenv("FIS98100_MODULE");
    }

    void valuesFromIni() {
        writeIni(
            "; comment\n[Server]\nHost = fiscal.example\nPort=3050\n"
            "[Reports]\nDir=/srv/reports\n[Branch]\nCode=0007\n"
            "ProcessingDate.0007=15/03/2026\nProcessingDate=2026-01-31\n"
            "[Database]\nPath=\"db:/data/fis.fdb\"\n[Modules]\nFIS98100=/opt/libfis98100.so\n");
        QCOMPARE(Zelkora::WebURL(), QStringLiteral("fiscal.example"));
        QCOMPARE(Zelkora::WebPort(), 3050);
        QCOMPARE(Zelkora::ReportDir(), QStringLiteral("/srv/reports"));
        QCOMPARE(Zelkora::FiliProc(), QStringLiteral("0007"));
        QCOMPARE(Zelkora::DataProc(QStringLiteral("0007")), QDate(2026, 3, 15));
        QCOMPARE(Zelkora::DataProc(QStringLiteral("0002")),
                 QDate(2026, 1, 31)); // branch without its own
        QCOMPARE(Zelkora::DatabaseLocation(), QStringLiteral("db:/data/fis.fdb"));
        QCOMPARE(Zelkora::ModulePath(QStringLiteral("FIS98100")),
                 QStringLiteral("/opt/libfis98100.so"));
    }

    // The README's example file, notes after the values included, reads as meant.
    void notesAfterValues() {
        writeIni("[Server]\nHost=127.0.0.2        ; --server-host\nPort=21990\t; --server-port\n"
                 "[Reports]\nDir=/srv/rel;atual  ; --report-dir\n"
                 "[Branch]\nCode=0003 ; --branch\nProcessingDate.0003=08/12/2026   ; per branch\n"
                 "[Database]\nPath=\"/data/a ; b.fdb\" ; quoted\n");
        QCOMPARE(Zelkora::WebURL(), QStringLiteral("127.0.0.2"));
        QCOMPARE(Zelkora::WebPort(), 21990);
        QCOMPARE(Zelkora::ReportDir(), QStringLiteral("/srv/rel;atual"));
        QCOMPARE(Zelkora::FiliProc(), QStringLiteral("0003"));
        QCOMPARE(Zelkora::DataProc(QStringLiteral("0003")), QDate(2026, 12, 8));
        QCOMPARE(Zelkora::DatabaseLocation(), QStringLiteral("/data/a ; b.fdb"));
    }

    void commandLineOverridesIni() {
        writeIni("[Server]\nHost=a.example\nPort=3050\n[Branch]\nCode=0007\n");
        Zelkora::SetCommandLine({QStringLiteral("fiscal-client"), QStringLiteral("--server-host"),
                                 QStringLiteral("b.example"), QStringLiteral("--server-port=4000"),
                                 QStringLiteral("--open"), QStringLiteral("FIS98100"),
                                 QStringLiteral("--branch"), QStringLiteral("0009"),
                                 QStringLiteral("--database"), QStringLiteral("/tmp/x.fdb"),
                                 QStringLiteral("--report-dir"), QStringLiteral("/tmp/rep")});
        QCOMPARE(Zelkora::WebURL(), QStringLiteral("b.example"));
        QCOMPARE(Zelkora::WebPort(), 4000);
        QCOMPARE(Zelkora::FiliProc(), QStringLiteral("0009"));
        QCOMPARE(Zelkora::DatabaseLocation(), QStringLiteral("/tmp/x.fdb"));
        QCOMPARE(Zelkora::ReportDir(), QStringLiteral("/tmp/rep"));
        // A later command line replaces the earlier one.
        Zelkora::SetCommandLine({});
        QCOMPARE(Zelkora::WebURL(), QStringLiteral("a.example"));
    }

    void configOptionChoosesFile() {
        const QString other = m_dir.filePath(QStringLiteral("other.ini"));
        QFile f(other);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[Server]\nPort=5000\n");
        f.close();
        writeIni("[Server]\nPort=3050\n");
        QCOMPARE(Zelkora::WebPort(), 3050);
        Zelkora::SetCommandLine({QStringLiteral("--config"), other});
        QCOMPARE(Zelkora::ConfigFile(), other);
        QCOMPARE(Zelkora::WebPort(), 5000);
    }

    // --config, else FIS98100_CONFIG, else the desktop's configuration folder.
    void configFileSearch() {
        Zelkora::SetConfigFile(QString());
        const QByteArray savedEnv = qgetenv("FIS98100_CONFIG");
        const QByteArray savedXdg = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", m_dir.filePath(QStringLiteral("xdg")).toUtf8());
        qunsetenv("FIS98100_CONFIG");
        QCOMPARE(Zelkora::ConfigFile(),
                 m_dir.filePath(QStringLiteral("xdg/fis98100/fis98100.ini")));
        qunsetenv("XDG_CONFIG_HOME");
        QCOMPARE(Zelkora::ConfigFile(),
                 QDir::homePath() + QStringLiteral("/.config/fis98100/fis98100.ini"));
        qputenv("FIS98100_CONFIG", m_ini.toUtf8());
        QCOMPARE(Zelkora::ConfigFile(), m_ini);
        Zelkora::SetCommandLine({QStringLiteral("--config=/tmp/other.ini")});
        QCOMPARE(Zelkora::ConfigFile(), QStringLiteral("/tmp/other.ini"));
        Zelkora::SetCommandLine({});
        if (savedEnv.isNull())
            qunsetenv("FIS98100_CONFIG");
        else
            qputenv("FIS98100_CONFIG", savedEnv);
        if (savedXdg.isNull())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", savedXdg);
    }

    void readAfreshAtEveryCall() {
        // Same size and very likely the same time stamp: only a fresh read sees the change.
        writeIni("[Server]\nPort=21982\n");
        QCOMPARE(Zelkora::WebPort(), 21982);
        writeIni("[Server]\nPort=21983\n");
        QCOMPARE(Zelkora::WebPort(), 21983);
        QFile::remove(m_ini);
        QCOMPARE(Zelkora::WebPort(), 21981);
    }

    void invalidPortFallsBack_data() {
        QTest::addColumn<QString>("value");
        QTest::newRow("text") << "abc";
        QTest::newRow("zero") << "0";
        QTest::newRow("negative") << "-5";
        QTest::newRow("too big") << "65536";
        QTest::newRow("decimal") << "21.5";
    }
    void invalidPortFallsBack() {
        QFETCH(QString, value);
        writeIni("[Server]\nPort=" + value.toUtf8() + "\n");
        QCOMPARE(Zelkora::WebPort(), 21981);
        Zelkora::SetCommandLine({QStringLiteral("--server-port"), value});
        QCOMPARE(Zelkora::WebPort(), 21981);
    }

    void invalidValueReportedOnce() {
        writeIni("[Server]\nPort=porta\n");
        QTemporaryFile log;
        QVERIFY(log.open());
        std::fflush(stderr);
        const int saved = dup(2);
        dup2(log.handle(), 2);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(Zelkora::WebPort(), 21981);
        std::fflush(stderr);
        dup2(saved, 2);
        ::close(saved);
        log.seek(0);
        const QByteArray text = log.readAll();
        QCOMPARE(text.count("invalid server port 'porta'"), 1);
    }

    void invalidProcessingDateIsToday() {
        writeIni("[Branch]\nProcessingDate.0001=31/02/2026\n");
        QCOMPARE(Zelkora::DataProc(QStringLiteral("0001")), QDate::currentDate());
    }
};

QTEST_GUILESS_MAIN(TestZelkora)
#include "test_zelkora.moc"
