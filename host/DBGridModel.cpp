#include "DBGridModel.h"

#include "DBGrid.h"
#include "DBGridDelegate.h"
#include "EllipsisEditor.h"

TDBGridModel::TDBGridModel(TDBGrid* grid) : QAbstractTableModel(grid), m_grid(grid) {}

TDataSet* TDBGridModel::dataSet() const {
    return m_grid->DataSet();
}

int TDBGridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_rows;
}

int TDBGridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_grid->ColumnCount();
}

TField* TDBGridModel::fieldOf(int column) const {
    if (column < 0 || column >= m_grid->ColumnCount())
        return nullptr;
    return m_grid->Columns(column)->Field();
}

QVariant TDBGridModel::data(const QModelIndex& index, int role) const {
    try {
        TDataSet* ds = dataSet();
        TField* f = fieldOf(index.column());
        if (!ds || !f || !ds->Active())
            return QVariant();
        switch (role) {
        case Qt::DisplayRole:
            return ds->DisplayTextAt(index.row(), f, true);
        case Qt::EditRole:
            return ds->DisplayTextAt(index.row(), f, false);
        case Qt::TextAlignmentRole:
            return QVariant::fromValue(f->Alignment());
        default:
            return QVariant();
        }
    } catch (...) {
        return QVariant();
    }
}

QVariant TDBGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    try {
        if (orientation == Qt::Horizontal) {
            if (section < 0 || section >= m_grid->ColumnCount())
                return QVariant();
            TColumn* c = m_grid->Columns(section);
            switch (role) {
            case Qt::DisplayRole:
                return c->TitleCaption();
            case Qt::FontRole:
                return c->TitleFont();
            case Qt::TextAlignmentRole:
                return QVariant::fromValue(c->TitleAlignment());
            default:
                return QVariant();
            }
        }
        if (role == Qt::DisplayRole) {
            TDataSet* ds = dataSet();
            if (ds && ds->Active() && section == ds->CurrentPos()) {
                if (ds->State() == dsInsert)
                    return QStringLiteral("*");
                if (ds->State() == dsEdit)
                    return QStringLiteral("I");
                return QStringLiteral("\u25B6");
            }
            return QString();
        }
        return QVariant();
    } catch (...) {
        return QVariant();
    }
}

Qt::ItemFlags TDBGridModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags fl = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (!index.isValid())
        return fl;
    TDataSet* ds = dataSet();
    TField* f = fieldOf(index.column());
    if (ds && f && ds->Active() && ds->CanModify() && (m_grid->Options() & dgEditing) &&
        !m_grid->Columns(index.column())->ReadOnly() && !f->ReadOnly())
        fl |= Qt::ItemIsEditable;
    return fl;
}

bool TDBGridModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !index.isValid())
        return false;
    bool ok = false;
    const bool ran = m_grid->guarded([&] { ok = commit(index, value.toString()); });
    if (!ran)
        m_commitFailed = true;
    return ran && ok;
}

bool TDBGridModel::commit(const QModelIndex& index, const QString& text) {
    TDataSet* ds = dataSet();
    TField* f = fieldOf(index.column());
    if (!ds || !f || !ds->Active() || m_grid->m_syncing)
        return false;
    if (index.row() != ds->CurrentPos())
        return false;
    if (ds->State() == dsBrowse && text == f->Text())
        return true; // nothing typed: the row does not go into edit
    ds->Edit();
    f->setText(text);
    return true;
}

void TDBGridModel::reset() {
    beginResetModel();
    TDataSet* ds = dataSet();
    m_rows = ds && ds->Active() ? ds->RecordCount() : 0;
    endResetModel();
}

void TDBGridModel::onDataEvent(int event, TField* field) {
    TDataSet* ds = dataSet();
    const int rows = ds && ds->Active() ? ds->RecordCount() : 0;
    switch (event) {
    case deLayoutChange:
        m_grid->columnsChanged();
        break;
    case deDataSetChange:
        if (rows != m_rows) {
            reset();
        } else if (m_rows > 0 && columnCount() > 0) {
            emit dataChanged(index(0, 0), index(m_rows - 1, columnCount() - 1));
            emit headerDataChanged(Qt::Vertical, 0, m_rows - 1);
        }
        m_grid->followDataSet();
        break;
    case deDataSetScroll:
        if (rows != m_rows)
            reset();
        m_grid->followDataSet();
        if (m_rows > 0)
            emit headerDataChanged(Qt::Vertical, 0, m_rows - 1);
        break;
    case deRecordChange:
    case deFieldChange:
    case deUpdateState:
        if (rows != m_rows) {
            reset();
            m_grid->followDataSet();
        } else if (ds && ds->CurrentPos() >= 0 && ds->CurrentPos() < m_rows && columnCount() > 0) {
            const int r = ds->CurrentPos();
            emit dataChanged(index(r, 0), index(r, columnCount() - 1));
            emit headerDataChanged(Qt::Vertical, r, r);
        }
        break;
    case deUpdateRecord:
        commitOpenEditor();
        break;
    case deFocusControl:
        m_grid->focusField(field);
        break;
    }
}

void TDBGridModel::commitOpenEditor() {
    TDBGridDelegate* d = m_grid->m_delegate;
    QWidget* editor = d ? d->openEditor() : nullptr;
    if (!editor || m_committing)
        return;
    const QModelIndex idx = d->openEditorIndex();
    TDataSource* src = m_grid->DataSource();
    m_committing = true;
    try {
        commit(idx, TEllipsisEditor::storedTextOf(editor));
    } catch (...) {
        if (src)
            src->setPendingError(std::current_exception());
    }
    m_committing = false;
}
