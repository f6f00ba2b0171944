#include "FocusGroup.h"

#include "HostGuard.h"

#include <QApplication>
#include <QList>

namespace {
// Scopes whose enter or exit handler is running: the focus that handler moves (a failed check
// putting it back into its field) is the handler's, not the clerk's, and runs no other handler
// of that scope.
QList<const QWidget*>& busyScopes() {
    static QList<const QWidget*> scopes;
    return scopes;
}
const std::function<void()>& nullFn() {
    static const std::function<void()> none;
    return none;
}
} // namespace

TFocusGroup::TFocusGroup(QWidget* group, QWidget* scope)
    : QObject(group), m_group(group), m_scope(scope) {
    connect(qApp, &QApplication::focusChanged, this,
            [this](QWidget* old, QWidget* now) { focusChanged(old, now); });
}

bool TFocusGroup::Contains(const QWidget* w) const {
    return w && m_group && (w == m_group || m_group->isAncestorOf(w));
}

bool TFocusGroup::InScope(const QWidget* w) const {
    // isAncestorOf stops at window borders, so pop-ups of the scope's widgets are outside.
    return w && m_scope && (w == m_scope || m_scope->isAncestorOf(w));
}

bool TFocusGroup::FocusLeftGroup() const {
    QWidget* now = QApplication::focusWidget();
    return InScope(now) && !Contains(now) && m_scope->isVisible();
}

void TFocusGroup::focusChanged(QWidget* old, QWidget* now) {
    if (!InScope(old) || !InScope(now) || !m_scope->isVisible() ||
        busyScopes().contains(m_scope.data()))
        return;
    const bool wasIn = Contains(old);
    const bool isIn = Contains(now);
    const std::function<void()>& fn = wasIn && !isIn ? OnExit : !wasIn && isIn ? OnEnter : nullFn();
    if (!fn)
        return;
    const QWidget* scope = m_scope.data();
    busyScopes().append(scope);
    const std::function<void()> run = fn; // the handler may replace the callbacks
    HostGuard::run(run);
    busyScopes().removeOne(scope);
}
