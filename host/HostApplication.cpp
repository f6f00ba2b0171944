#include "HostApplication.h"

#include "HostGuard.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMdiArea>
#include <QMdiSubWindow>

namespace {

// Routes the child window's close and activation to the form, under the host guard.
class TChildWindow : public QMdiSubWindow {
public:
    explicit TChildWindow(QWidget* parent) : QMdiSubWindow(parent) {
        setAttribute(Qt::WA_DeleteOnClose);
        guardedConnect(this, &QMdiSubWindow::windowStateChanged, this,
                       [this](Qt::WindowStates before, Qt::WindowStates now) {
                           if (!(before & Qt::WindowActive) && (now & Qt::WindowActive))
                               if (auto* f = dynamic_cast<IHostForm*>(widget()))
                                   f->FormActivate();
                       });
    }

protected:
    void closeEvent(QCloseEvent* event) override {
        auto* form = dynamic_cast<IHostForm*>(widget());
        if (!form) {
            QMdiSubWindow::closeEvent(event);
            return;
        }
        TCloseAction action = caFree;
        if (!HostGuard::run([&] { form->FormClose(action); }))
            action = caNone;
        switch (action) {
        case caFree:
            QMdiSubWindow::closeEvent(event);
            return;
        case caHide:
            event->ignore();
            hide();
            return;
        case caMinimize:
            event->ignore();
            showMinimized();
            return;
        case caNone:
            event->ignore();
            return;
        }
    }
};

} // namespace

THostApplication& THostApplication::instance() {
    static THostApplication app;
    return app;
}

void THostApplication::SetMdiArea(QMdiArea* area) {
    m_area = area;
}

QMdiArea* THostApplication::MdiArea() const {
    return m_area;
}

QMdiSubWindow* THostApplication::AddChild(QWidget* form) {
    if (!m_area)
        return nullptr;
    auto* child = new TChildWindow(m_area);
    child->setWidget(form);
    child->setWindowTitle(form->windowTitle());
    child->setWindowIcon(form->windowIcon());
    QObject::connect(form, &QWidget::windowTitleChanged, child, &QWidget::setWindowTitle);
    m_area->addSubWindow(child);
    return child;
}

QMdiSubWindow* THostApplication::ChildWindow(QWidget* form) {
    for (QWidget* w = form ? form->parentWidget() : nullptr; w; w = w->parentWidget())
        if (auto* sub = qobject_cast<QMdiSubWindow*>(w))
            return sub;
    return nullptr;
}

void THostApplication::ShowMaximized(QWidget* form) {
    if (QMdiSubWindow* sub = ChildWindow(form)) {
        form->show();
        sub->showMaximized();
        if (QMdiArea* area = sub->mdiArea())
            area->setActiveSubWindow(sub);
        sub->raise();
        return;
    }
    form->showMaximized();
    form->raise();
    form->activateWindow();
}

void THostApplication::SetScreenCursor(TCursor cursor) {
    if (cursor == crHourGlass) {
        if (m_cursor != crHourGlass)
            QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        while (QApplication::overrideCursor())
            QApplication::restoreOverrideCursor();
    }
    m_cursor = cursor;
}

QWidget* HostCreateMdiChild(QWidget* form) {
    return Application().AddChild(form);
}
