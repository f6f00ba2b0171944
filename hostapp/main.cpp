// fiscal-client: the host client.
//   --open CODE        open a screen at start-up (repeatable), e.g. --open FIS98100
//   --module PATH      module library of FIS98100 (else [Modules] FIS98100, else
//                      $FIS98100_MODULE, else beside the executable, else ../lib/fis98100)
//   --no-database      do not open the host database
//   --screenshot PATH  after start-up save a picture of the main window and quit; messages go
//                      to stderr instead of dialogs
//   --server-host, --server-port, --report-dir, --branch, --database, --config: configuration
#include "LoginDialog.h"
#include "MainWindow.h"

#include "FisDatabase.h"
#include "host/Connection.h"
#include "host/HostDialogs.h"
#include "host/HostGuard.h"
#include "host/Query.h"
#include "host/Zelkora.h"

#include <QApplication>
#include <QIcon>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QSettings>
#include <QTimer>

#include <cstdio>

namespace {

// Messages for a run nobody watches (screenshots): printed, never waited for.
class TStderrDialogs : public TScriptedDialogs {
public:
    void showError(const QString& text) override {
        TScriptedDialogs::showError(text);
        std::fprintf(stderr, "fiscal-client: %s\n", text.toLocal8Bit().constData());
    }
    int showMessage(const QString& text, TMsgDlgType type, int buttons) override {
        std::fprintf(stderr, "fiscal-client: %s\n", text.toLocal8Bit().constData());
        return TScriptedDialogs::showMessage(text, type, buttons);
    }
};

QString optionValue(const QStringList& args, const QString& name, bool* found = nullptr) {
    const QString eq = name + QLatin1Char('=');
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == name && i + 1 < args.size()) {
            if (found)
                *found = true;
            return args[i + 1];
        }
        if (args[i].startsWith(eq)) {
            if (found)
                *found = true;
            return args[i].mid(eq.size());
        }
    }
    if (found)
        *found = false;
    return QString();
}

QStringList optionValues(const QStringList& args, const QString& name) {
    QStringList out;
    const QString eq = name + QLatin1Char('=');
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == name && i + 1 < args.size())
            out << args[++i];
        else if (args[i].startsWith(eq))
            out << args[i].mid(eq.size());
    }
    return out;
}

TTlsSettings tlsFromConfiguration() {
    TTlsSettings t;
    const QString on = Zelkora::IniValue(QStringLiteral("Server/Tls")).trimmed().toLower();
    t.enabled = on == QLatin1String("1") || on == QLatin1String("true") ||
                on == QLatin1String("yes") || on == QLatin1String("sim");
    t.caFile = Zelkora::IniValue(QStringLiteral("Server/CaFile"));
    t.fingerprint = Zelkora::IniValue(QStringLiteral("Server/Fingerprint"));
    return t;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("fiscal-client"));
    // The installed desktop entry and icon (packaging/); without them Qt's own icon stays.
    QGuiApplication::setDesktopFileName(QStringLiteral("fis98100-client"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("fis98100")));
    const QStringList args = QApplication::arguments();
    Zelkora::SetCommandLine(args);

    const QString screenshot = optionValue(args, QStringLiteral("--screenshot"));
    TStderrDialogs quietDialogs;
    if (!screenshot.isEmpty())
        SetHostDialogs(&quietDialogs);

    // A server that wants a login asks for it through this dialog; the user is remembered in
    // ~/.config/fis98100/fiscal-client.ini, the password nowhere. A run nobody watches has no
    // one to ask, and the refusal is what it reports.
    QSettings remembered(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("fis98100"),
                         QStringLiteral("fiscal-client"));
    if (screenshot.isEmpty())
        installLoginPrompt(remembered);
    // Read afresh at every connect, like host and port.
    TSocketConnection::setDefaultTlsSettings(tlsFromConfiguration);

    TMainWindow window;
    bool hasModule = false;
    const QString modulePath = optionValue(args, QStringLiteral("--module"), &hasModule);
    if (hasModule)
        window.setModulePath(QStringLiteral("FIS98100"), modulePath);
    window.resize(1200, 700);
    window.show();

    const bool noDatabase = args.contains(QStringLiteral("--no-database"));
    const QStringList toOpen = optionValues(args, QStringLiteral("--open"));
    QTimer::singleShot(0, &window, [&] {
        if (!noDatabase) {
            // Lookups run on the host database; without it the client still runs.
            HostGuard::run([] {
                FisDb::prepareEnvironment();
                dtmDBGeral()->setDatabase(FisDb::openConnection(Zelkora::DatabaseLocation(),
                                                                QStringLiteral("dtmDBGeral")));
            });
        }
        for (const QString& code : toOpen)
            HostGuard::run([&] { window.openScreen(code); });
        if (!screenshot.isEmpty()) {
            QTimer::singleShot(700, &window, [&] {
                // What the picture shows, for scripts that check it.
                const auto children = window.mdiArea()->subWindowList();
                std::fprintf(stderr, "fiscal-client: %s; %d janela(s)\n",
                             window.windowTitle().toUtf8().constData(), int(children.size()));
                for (QMdiSubWindow* w : children)
                    std::fprintf(stderr, "fiscal-client: janela \"%s\"%s\n",
                                 w->windowTitle().toUtf8().constData(),
                                 w->isMaximized() ? " maximizada" : "");
                const bool ok = window.grab().save(screenshot);
                if (!ok)
                    std::fprintf(stderr, "fiscal-client: could not save %s\n",
                                 screenshot.toLocal8Bit().constData());
                window.close();
                QApplication::exit(ok ? 0 : 1);
            });
        }
    });
    const int rc = QApplication::exec();
    window.shutdown();
    if (!noDatabase) {
        // The engine stops now, with everything it needs still loaded, rather than from the
        // library's own exit handler.
        dtmDBGeral()->close();
        FisDb::shutdown(5000);
    }
    TSocketConnection::setDefaultLoginPrompt({});
    TSocketConnection::setDefaultTlsSettings({});
    SetHostDialogs(nullptr);
    return rc;
}
