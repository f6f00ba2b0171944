#pragma once
// The host application as the module sees it: the form factory (screens become child windows of
// the main window's MDI area and are owned by it), the screen cursor, and the interface through
// which the host drives a screen's activation, menus and close.
#include "core/HostExport.h"

#include <QPointer>

class QMdiArea;
class QMdiSubWindow;
class QMenuBar;
class QWidget;

enum TCloseAction { caNone, caHide, caFree, caMinimize };
enum TCursor { crDefault, crHourGlass };

// What the host asks of a screen placed in its MDI area.
class FIS_EXPORT IHostForm {
public:
    virtual ~IHostForm() = default;
    // The screen became the active child.
    virtual void FormActivate() {}
    // The clerk asked to close the screen; action says what happens next (caFree by default).
    virtual void FormClose(TCloseAction& action) { (void)action; }
    // Menus merged into the main menu while the screen is active (nullptr: none).
    virtual QMenuBar* MergedMenu() { return nullptr; }
};

class FIS_EXPORT THostApplication {
public:
    static THostApplication& instance();

    void SetMdiArea(QMdiArea* area);
    QMdiArea* MdiArea() const;
    // Places form in a new MDI child window (the area owns it from now on) and returns that
    // window, not yet shown. Without an MDI area the form stays a top-level window and the
    // result is nullptr.
    // Closing the window asks the form (IHostForm::FormClose): caNone keeps it, caHide hides
    // it, caMinimize minimises it, caFree destroys window and form.
    // Activating the window calls IHostForm::FormActivate.
    QMdiSubWindow* AddChild(QWidget* form);
    // The MDI child window that holds form (nullptr when none).
    static QMdiSubWindow* ChildWindow(QWidget* form);
    // Shows the screen maximised and in front (its child window when it has one).
    static void ShowMaximized(QWidget* form);

    // Screen cursor: crHourGlass sets the wait cursor, crDefault takes back every one set.
    void SetScreenCursor(TCursor cursor);
    TCursor ScreenCursor() const { return m_cursor; }

private:
    THostApplication() = default;
    QPointer<QMdiArea> m_area;
    TCursor m_cursor = crDefault;
};

inline THostApplication& Application() {
    return THostApplication::instance();
}

// Exported for modules written against a plain function: same as Application().AddChild(form).
extern "C" FIS_EXPORT QWidget* HostCreateMdiChild(QWidget* form);
