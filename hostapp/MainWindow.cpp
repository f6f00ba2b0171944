#include "MainWindow.h"

#include "host/HostApplication.h"
#include "host/HostDialogs.h"
#include "host/HostGuard.h"
#include "host/Zelkora.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>

TMainWindow::TMainWindow(QWidget* parent) : QMainWindow(parent), m_area(new QMdiArea(this)) {
    setWindowTitle(QStringLiteral("Cliente Fiscal"));
    m_area->setObjectName(QStringLiteral("mdiArea"));
    m_area->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_area->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setCentralWidget(m_area);
    Application().SetMdiArea(m_area);

    auto fis = std::make_shared<TScreenModule>();
    fis->code = QStringLiteral("FIS98100");
    fis->caption = QStringLiteral("Emissão da Darf por Documento");
    fis->libraryName = QStringLiteral("libfis98100.so");
    m_modules.append(fis);

    QMenu* arquivo = menuBar()->addMenu(QStringLiteral("&Arquivo"));
    QAction* sair = arquivo->addAction(QStringLiteral("Sai&r"));
    guardedConnect(sair, &QAction::triggered, this, [this](bool) { close(); });

    QMenu* fiscal = menuBar()->addMenu(QStringLiteral("&Fiscal"));
    fiscal->setObjectName(QStringLiteral("mnuFiscal"));
    for (const auto& m : m_modules) {
        QAction* a = fiscal->addAction(m->caption);
        a->setObjectName(QStringLiteral("act") + m->code);
        const QString code = m->code;
        guardedConnect(a, &QAction::triggered, this, [this, code](bool) { openScreen(code); });
    }

    QMenu* janela = menuBar()->addMenu(QStringLiteral("&Janela"));
    guardedConnect(janela->addAction(QStringLiteral("&Cascata")), &QAction::triggered, this,
                   [this](bool) { m_area->cascadeSubWindows(); });
    guardedConnect(janela->addAction(QStringLiteral("&Lado a Lado")), &QAction::triggered, this,
                   [this](bool) { m_area->tileSubWindows(); });

    guardedConnect(m_area, &QMdiArea::subWindowActivated, this,
                   [this](QMdiSubWindow* w) { mergeMenus(w); });
}

TMainWindow::~TMainWindow() {
    shutdown();
}

TScreenModule* TMainWindow::module(const QString& code) {
    for (const auto& m : m_modules)
        if (m->code.compare(code, Qt::CaseInsensitive) == 0)
            return m.get();
    return nullptr;
}

void TMainWindow::setModulePath(const QString& code, const QString& path) {
    if (TScreenModule* m = module(code))
        m->path = path;
}

QString TMainWindow::modulePath(const QString& code) const {
    for (const auto& m : m_modules) {
        if (m->code.compare(code, Qt::CaseInsensitive) != 0)
            continue;
        if (!m->path.isEmpty())
            return m->path;
        const QString configured = Zelkora::ModulePath(m->code);
        return configured.isEmpty() ? TModuleLibrary::DefaultPath(m->libraryName) : configured;
    }
    return QString();
}

bool TMainWindow::openScreen(const QString& code) {
    TScreenModule* m = module(code);
    if (!m) {
        HostDialogs().showError(QStringLiteral("Tela '%1' desconhecida.").arg(code));
        return false;
    }
    if (!m->library || !m->library->Loaded()) {
        auto lib = std::make_unique<TModuleLibrary>();
        if (!lib->Load(modulePath(m->code))) {
            HostDialogs().showError(lib->ErrorText());
            return false;
        }
        m->library = std::move(lib);
    }
    TModuleLibrary* lib = m->library.get();
    return HostGuard::run([lib] { lib->IniProc(); });
}

void TMainWindow::mergeMenus(QMdiSubWindow* active) {
    for (const QPointer<QAction>& a : std::as_const(m_merged))
        if (a)
            menuBar()->removeAction(a);
    m_merged.clear();
    if (!active)
        return;
    auto* form = dynamic_cast<IHostForm*>(active->widget());
    QMenuBar* own = form ? form->MergedMenu() : nullptr;
    if (!own)
        return;
    for (QAction* a : own->actions()) {
        menuBar()->addAction(a);
        m_merged.append(a);
    }
}

QStringList TMainWindow::menuTitles() const {
    QStringList titles;
    for (QAction* a : menuBar()->actions())
        titles << a->text();
    return titles;
}

bool TMainWindow::shutdown() {
    if (m_shutDown)
        return true;
    m_area->closeAllSubWindows();
    if (!m_area->subWindowList().isEmpty()) {
        // A screen kept itself (caNone/caHide): it still holds module code, so it goes now.
        for (QMdiSubWindow* w : m_area->subWindowList())
            if (w->isVisible())
                return false;
        qDeleteAll(m_area->subWindowList());
    }
    // Screens closed with caFree are deleted later; that must happen before their code goes.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    mergeMenus(nullptr);
    for (const auto& m : m_modules)
        if (m->library)
            m->library->Unload();
    m_shutDown = true;
    return true;
}

void TMainWindow::closeEvent(QCloseEvent* event) {
    if (!shutdown()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}
