// The host client's main window: opening the screen through the module, one screen for two
// openings, menu merging, and a module that cannot be loaded.
#include "MainWindow.h"

#include "host/HostApplication.h"
#include "host/HostDialogs.h"
#include "host/Zelkora.h"

#include <QFile>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTest>

namespace {

// A screen with menus of its own, standing in for a module's screen.
class TMenuForm : public QWidget, public IHostForm {
public:
    explicit TMenuForm(const QString& menu) {
        bar = new QMenuBar(this);
        bar->hide();
        bar->addMenu(menu)->addAction(QStringLiteral("Item"));
    }
    QMenuBar* MergedMenu() override { return bar; }
    QMenuBar* bar;
};

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    TScriptedDialogs m_dialogs;

private slots:
    void initTestCase() {
        // No server in this test: point the screen at a closed port so that its connect fails
        // at once (the connection does not throw).
        Zelkora::SetConfigFile(m_dir.filePath(QStringLiteral("none.ini")));
        Zelkora::SetCommandLine({QStringLiteral("--server-port"), QStringLiteral("1")});
        SetHostDialogs(&m_dialogs);
    }
    void cleanupTestCase() { SetHostDialogs(nullptr); }
    void init() { m_dialogs.clear(); }

    void childMenusMergeWhileActive() {
        TMainWindow w;
        w.show();
        const QStringList mainMenus = w.menuTitles();
        QVERIFY(mainMenus.contains(QStringLiteral("&Fiscal")));
        auto* a = new TMenuForm(QStringLiteral("&Operação"));
        auto* b = new TMenuForm(QStringLiteral("&Outro"));
        QMdiSubWindow* sa = Application().AddChild(a);
        QMdiSubWindow* sb = Application().AddChild(b);
        sa->show();
        sb->show();
        w.mdiArea()->setActiveSubWindow(sa);
        QCOMPARE(w.menuTitles(), mainMenus + QStringList{QStringLiteral("&Operação")});
        w.mdiArea()->setActiveSubWindow(sb);
        QCOMPARE(w.menuTitles(), mainMenus + QStringList{QStringLiteral("&Outro")});
        sb->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        // The remaining child becomes active again, or none is: never the closed one's menus.
        QVERIFY(!w.menuTitles().contains(QStringLiteral("&Outro")));
        w.mdiArea()->closeAllSubWindows();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(w.menuTitles(), mainMenus);
    }

    void opensTheScreenOnce() {
        TMainWindow w;
        w.show();
        w.setModulePath(QStringLiteral("FIS98100"), qEnvironmentVariable("FIS_BINARY_DIR") +
                                                        QStringLiteral("/bin/libfis98100.so"));
        QVERIFY(w.openScreen(QStringLiteral("FIS98100")));
        QVERIFY(w.openScreen(QStringLiteral("FIS98100")));
        QCOMPARE(w.mdiArea()->subWindowList().size(), 1);
        QMdiSubWindow* sub = w.mdiArea()->subWindowList().first();
        QCOMPARE(sub->windowTitle(), QStringLiteral("Emissão da Darf por Documento"));
        QVERIFY(sub->isMaximized());
        QVERIFY(w.windowTitle().contains(QStringLiteral("Emissão da Darf por Documento")));
        QVERIFY(m_dialogs.errors().isEmpty());
        QVERIFY(w.shutdown());
        QVERIFY(w.mdiArea()->subWindowList().isEmpty());
    }

    void missingModuleIsReportedAndTheClientGoesOn() {
        TMainWindow w;
        w.show();
        const QString missing = m_dir.filePath(QStringLiteral("libnada.so"));
        w.setModulePath(QStringLiteral("FIS98100"), missing);
        QVERIFY(!w.openScreen(QStringLiteral("FIS98100")));
        QCOMPARE(m_dialogs.errors().size(), 1);
        QVERIFY(m_dialogs.errors().first().contains(missing));

        // A library without the entry points: the message names the file and the symbol.
        const QString wrong =
            qEnvironmentVariable("FIS_BINARY_DIR") + QStringLiteral("/bin/libfis_hostcore.so");
        w.setModulePath(QStringLiteral("FIS98100"), wrong);
        QVERIFY(!w.openScreen(QStringLiteral("FIS98100")));
        QCOMPARE(m_dialogs.errors().size(), 2);
        QVERIFY(m_dialogs.errors().last().contains(wrong));
        QVERIFY(m_dialogs.errors().last().contains(QStringLiteral("IniProc")));

        // Still running: with the right library the screen opens.
        w.setModulePath(QStringLiteral("FIS98100"), qEnvironmentVariable("FIS_BINARY_DIR") +
                                                        QStringLiteral("/bin/libfis98100.so"));
        QVERIFY(w.openScreen(QStringLiteral("FIS98100")));
        QCOMPARE(w.mdiArea()->subWindowList().size(), 1);
        QVERIFY(w.shutdown());
    }

    void modulePathFromConfiguration() {
        TMainWindow w;
        const QString ini = m_dir.filePath(QStringLiteral("mod.ini"));
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[Modules]\nFIS98100=/opt/fis/libfis98100.so\n");
        f.close();
        Zelkora::SetConfigFile(ini);
        QCOMPARE(w.modulePath(QStringLiteral("FIS98100")),
                 QStringLiteral("/opt/fis/libfis98100.so"));
        w.setModulePath(QStringLiteral("FIS98100"), QStringLiteral("/x/lib.so"));
        QCOMPARE(w.modulePath(QStringLiteral("FIS98100")), QStringLiteral("/x/lib.so"));
        Zelkora::SetConfigFile(m_dir.filePath(QStringLiteral("none.ini")));
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
