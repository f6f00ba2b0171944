#pragma once
// Shared by the screen tests: a fresh demo database, a real fis98100-server on a free loopback
// port, the host database opened on the same file, the configuration pointing at both, and
// scripted dialogs. Header-only; include it from one test file per executable.
#include "database/FisDatabase.h"
#include "filter/Cli_Fis98101.h"
#include "filter/FiltroEmissaoDarfDoc.h"
#include "host/HostDialogs.h"
#include "host/Query.h"
#include "host/Zelkora.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

// A fis98100-server process on a database location; stopped by the destructor.
class TServerProcess {
public:
    ~TServerProcess() { stop(); }

    // Starts the server on a free port and waits until it listens; false with log() on failure.
    bool start(const QString& location) {
        const QString bin =
            qEnvironmentVariable("FIS_BINARY_DIR") + QStringLiteral("/bin/fis98100-server");
        if (!QFileInfo::exists(bin)) {
            m_log = QStringLiteral("no server at ") + bin;
            return false;
        }
        m_proc.setProgram(bin);
        m_proc.setArguments({QStringLiteral("--database"), location, QStringLiteral("--port"),
                             QStringLiteral("0")});
        QObject::connect(&m_proc, &QProcess::readyReadStandardError, &m_proc,
                         [this] { m_log += QString::fromUtf8(m_proc.readAllStandardError()); });
        m_proc.start();
        if (!m_proc.waitForStarted())
            return false;
        static const QRegularExpression listening(
            QStringLiteral("escutando em 127\\.0\\.0\\.1:(\\d+)"));
        waitFor(
            [&] {
                return listening.match(log()).hasMatch() || m_proc.state() == QProcess::NotRunning;
            },
            30000);
        const auto m = listening.match(m_log);
        if (!m.hasMatch())
            return false;
        m_port = m.captured(1).toInt();
        return true;
    }
    void stop() {
        if (m_proc.state() == QProcess::NotRunning)
            return;
        m_proc.terminate();
        if (!m_proc.waitForFinished(10000))
            m_proc.kill();
        m_proc.waitForFinished(5000);
    }
    int port() const { return m_port; }
    // What the server wrote to stderr so far (one line per call).
    const QString& log() {
        m_log += QString::fromUtf8(m_proc.readAllStandardError());
        return m_log;
    }

private:
    template <typename F> static bool waitFor(F done, int ms) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < ms)
            QTest::qWait(20);
        return done();
    }
    QProcess m_proc;
    QString m_log;
    int m_port = 0;
};

// A demo database in a private Firebird root, opened as the host database, with a server on it
// and a configuration file that points the screen's connection at that server.
class TScreenFixture {
public:
    // notes: how many demo notes to create (see FisDb::createDatabase).
    bool setUp(int notes = 60) {
        if (!m_dir.isValid())
            return false;
        FisDb::prepareEnvironment(m_dir.filePath(QStringLiteral("firebird")));
        m_location = m_dir.filePath(QStringLiteral("screen.fdb"));
        FisDb::createDatabase(m_location, true, notes);
        m_db = FisDb::openConnection(m_location, QStringLiteral("screen"));
        dtmDBGeral()->setDatabase(m_db);
        if (!server.start(m_location))
            return false;
        m_ini = m_dir.filePath(QStringLiteral("fis.ini"));
        writeIni(QString());
        Zelkora::SetConfigFile(m_ini);
        SetHostDialogs(&dialogs);
        return true;
    }
    void tearDown() {
        SetHostDialogs(nullptr);
        server.stop();
        dtmDBGeral()->close();
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("screen"));
        FisDb::shutdown(10000); // before the temporary Firebird root goes
    }
    // Rewrites the configuration; extra is appended as INI text (e.g. "[Reports]\nDir=...\n").
    void writeIni(const QString& extra) {
        QFile f(m_ini);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return;
        f.write(QByteArray("[Server]\nHost=127.0.0.1\nPort=") + QByteArray::number(server.port()) +
                "\n" + extra.toUtf8());
    }
    QSqlDatabase db() const { return m_db; }
    const QString& location() const { return m_location; }
    QString path(const QString& name) const { return m_dir.filePath(name); }

    TServerProcess server;
    TScriptedDialogs dialogs;

private:
    QTemporaryDir m_dir;
    QString m_location;
    QString m_ini;
    QSqlDatabase m_db;
};

// Leaving the company group opens the filter dialog, modal. Tests that are not about the filter
// let this cancel it whenever it shows, and give the focus back to the screen as a desktop does.
class TFilterCanceller {
public:
    void start(QWidget* screen) {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [screen] {
            auto* d = qobject_cast<TfrmFiltroEmissaodarfDoc*>(QApplication::activeModalWidget());
            if (!d)
                return;
            d->reject();
            screen->activateWindow();
            if (!QTest::qWaitForWindowActive(screen))
                qWarning("the screen did not become active again");
        });
        m_timer.start();
    }
    void stop() { m_timer.stop(); }

private:
    QTimer m_timer;
};

// Loads the open screen's company's notes of a tax, entries and exits of any date, through the
// filter dialog's confirmation (as a clerk's filter and the refresh do).
inline void ConfirmFilterForAnyDate(const QString& tax) {
    TfrmFiltroEmissaodarfDoc* d = Cli_Fis98101::FiltroEmissaoDarfDoc();
    d->medCdImposto->SetText(tax);
    d->cbbEntrSaid->setCurrentIndex(2);
    d->depEmiIni->SetDate(QDate(2000, 1, 1));
    d->depEntIni->SetDate(QDate(2000, 1, 1));
    d->depEmiFim->SetDate(QDate(2099, 12, 31));
    d->depEntFim->SetDate(QDate(2099, 12, 31));
    d->sbtConfirmaClick(d->sbtConfirma);
}
