#pragma once
// Enter and exit of a group of widgets as the clerk moves the focus. Exit: the focus passes from
// a widget inside the group to one outside it; enter: the other way round. Only moves between
// two widgets of the same scope (the screen or the dialog that holds the group) count: the focus
// taken by another window (a message box, a modal dialog, a pop-up, another MDI child), given
// back by it, or lost because the scope is hidden or destroyed, runs nothing.
//
// OnEnter and OnExit run under the host guard once the focus change is complete, so a handler
// may open modal dialogs and move the focus itself (a failed check putting it back into its
// field); what a handler moves runs no handler of the same scope, as the clerk did not move it.
#include "core/HostExport.h"

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>

class FIS_EXPORT TFocusGroup : public QObject {
    Q_OBJECT
public:
    // group: the widget whose descendants (and itself) form the group; scope: the screen or
    // dialog. The helper is a child of group and ends with it.
    TFocusGroup(QWidget* group, QWidget* scope);

    std::function<void()> OnEnter;
    std::function<void()> OnExit;

    // Whether w is the group or inside it.
    bool Contains(const QWidget* w) const;
    // Whether w is the scope or inside it, in the scope's own window.
    bool InScope(const QWidget* w) const;
    // Whether the widget that has the focus now is in the scope but outside the group (what a
    // handler queued after an exit checks before it acts).
    bool FocusLeftGroup() const;

private:
    void focusChanged(QWidget* old, QWidget* now);
    QPointer<QWidget> m_group;
    QPointer<QWidget> m_scope;
};
