// Work in progress: the model, delegate and hooks follow.
#include "DBGrid.h"

TDBGrid::TDBGrid(QWidget* parent) : QTableView(parent) {}
TDBGrid::~TDBGrid() = default;
void TDBGrid::keyPressEvent(QKeyEvent* event) {
    QTableView::keyPressEvent(event);
}
void TDBGrid::focusInEvent(QFocusEvent* event) {
    QTableView::focusInEvent(event);
}
void TDBGrid::focusOutEvent(QFocusEvent* event) {
    QTableView::focusOutEvent(event);
}
void TDBGrid::currentChanged(const QModelIndex& c, const QModelIndex& p) {
    QTableView::currentChanged(c, p);
}
bool TDBGrid::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
    return QTableView::edit(index, trigger, event);
}
bool TDBGrid::eventFilter(QObject* watched, QEvent* event) {
    return QTableView::eventFilter(watched, event);
}
