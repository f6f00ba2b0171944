#pragma once
// The host client's main window: an MDI area, the main menu (screens merge their menus into it
// while active) and the screen modules, loaded on first use.
#include "host/ModuleLoader.h"

#include <QHash>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <memory>

class QAction;
class QMdiArea;
class QMdiSubWindow;

struct TScreenModule {
    QString code;        // screen code, e.g. "FIS98100"
    QString caption;     // menu entry
    QString libraryName; // default file name of the library
    QString path;        // from --module (empty: configuration or default)
    std::unique_ptr<TModuleLibrary> library;
};

class TMainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit TMainWindow(QWidget* parent = nullptr);
    ~TMainWindow() override;

    QMdiArea* mdiArea() const { return m_area; }
    // Uses path for the module of that screen instead of the configured one.
    void setModulePath(const QString& code, const QString& path);
    // Loads the screen's module when needed and calls its IniProc. Failures are shown in the
    // host's error dialog; false then.
    bool openScreen(const QString& code);
    // The library path that would be used for a screen.
    QString modulePath(const QString& code) const;
    // Closes every child window and unloads the modules; false when a screen refused to close.
    bool shutdown();
    // Titles of the main menu bar's menus, in order (merged ones included).
    QStringList menuTitles() const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void mergeMenus(QMdiSubWindow* active);
    TScreenModule* module(const QString& code);

    QMdiArea* m_area;
    QList<std::shared_ptr<TScreenModule>> m_modules;
    QList<QPointer<QAction>> m_merged; // menu actions of the active child shown in the main bar
    bool m_shutDown = false;
};
