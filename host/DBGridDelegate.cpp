#include "DBGridDelegate.h"

#include "DBGrid.h"
#include "EllipsisEditor.h"

#include <QLineEdit>
#include <QPainter>
#include <QToolButton>

TDBGridDelegate::TDBGridDelegate(TDBGrid* grid) : QStyledItemDelegate(grid), m_grid(grid) {}

QWidget* TDBGridDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                       const QModelIndex& index) const {
    TColumn* col =
        index.column() < m_grid->ColumnCount() ? m_grid->Columns(index.column()) : nullptr;
    TField* f = col ? col->Field() : nullptr;
    // Every editor can show the button: the column's style may change while it is open.
    auto* editor = new TEllipsisEditor(parent);
    QLineEdit* line = editor->edit;
    editor->button->setVisible(col && col->ButtonStyle() == cbsEllipsis);
    {
        QPointer<TEllipsisEditor> guard(editor);
        QObject::connect(editor->button, &QToolButton::clicked, m_grid, [this, guard] {
            if (!guard)
                return;
            m_grid->guarded([&] {
                if (m_grid->OnEditButtonClick)
                    m_grid->OnEditButtonClick();
            });
            if (!guard)
                return;
            // The handler may have written the field: the editor shows the field's value
            // before it is committed, so the commit never overwrites the handler's choice.
            TDataSet* ds = m_grid->DataSet();
            TField* fld = m_grid->SelectedField();
            if (ds && fld && (ds->State() == dsEdit || ds->State() == dsInsert))
                guard->edit->setText(fld->Text());
            auto* self = const_cast<TDBGridDelegate*>(this);
            emit self->commitData(guard);
            emit self->closeEditor(guard, QAbstractItemDelegate::NoHint);
        });
    }
    if (f) {
        editor->setEditMask(f->EditMask());
        if (editor->mask.IsEmpty() &&
            (f->DataType() == TFieldType::String || f->DataType() == TFieldType::FixedChar) &&
            f->Size() > 0)
            line->setMaxLength(f->Size());
        line->setAlignment(f->Alignment() & Qt::AlignHorizontal_Mask);
    }
    line->installEventFilter(m_grid);
    // Typing puts the row in edit at once, as the data-aware editor it is (state handlers
    // see it); a refused edit closes the editor without keeping what was typed.
    QPointer<QWidget> ed(editor);
    QObject::connect(line, &QLineEdit::textEdited, m_grid, [this, ed] {
        TDataSet* ds = m_grid->DataSet();
        if (!ds || !ds->Active() || ds->State() != dsBrowse)
            return;
        if (!m_grid->guarded([&] { ds->Edit(); }) && ed) {
            auto* self = const_cast<TDBGridDelegate*>(this);
            QMetaObject::invokeMethod(
                m_grid,
                [self, ed] {
                    if (ed)
                        emit self->closeEditor(ed, QAbstractItemDelegate::RevertModelCache);
                },
                Qt::QueuedConnection);
        }
    });
    m_editor = editor;
    m_editorIndex = index;
    return editor;
}

void TDBGridDelegate::destroyEditor(QWidget* editor, const QModelIndex& index) const {
    if (m_editor == editor)
        m_editor = nullptr;
    QStyledItemDelegate::destroyEditor(editor, index);
}

void TDBGridDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    QLineEdit* e = TEllipsisEditor::lineEditOf(editor);
    if (!e || e->isModified())
        return; // never overwrite what the clerk is typing
    e->setText(index.data(Qt::EditRole).toString());
    e->selectAll();
}

void TDBGridDelegate::setModelData(QWidget* editor, QAbstractItemModel* model,
                                   const QModelIndex& index) const {
    model->setData(index, TEllipsisEditor::storedTextOf(editor), Qt::EditRole);
}

void TDBGridDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                           const QModelIndex&) const {
    editor->setGeometry(option.rect);
}

void TDBGridDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    QStyledItemDelegate::paint(painter, option, index);
    if (!m_grid->OnDrawColumnCell)
        return;
    TColumn* col =
        index.column() < m_grid->ColumnCount() ? m_grid->Columns(index.column()) : nullptr;
    TGridDrawState state = 0;
    if (option.state & QStyle::State_Selected)
        state |= gdSelected;
    if (option.state & QStyle::State_HasFocus)
        state |= gdFocused;
    painter->save();
    const bool sel = option.state & QStyle::State_Selected;
    const QPalette::ColorGroup cg =
        (option.state & QStyle::State_Active) || (m_grid->Options() & dgAlwaysShowSelection)
            ? QPalette::Active
            : QPalette::Inactive;
    painter->setBrush(option.palette.brush(cg, sel ? QPalette::Highlight : QPalette::Base));
    painter->setPen(option.palette.color(cg, sel ? QPalette::HighlightedText : QPalette::Text));
    try {
        // Paint must never throw nor open dialogs; a failing handler leaves the default cell.
        // The hook's fields read the row being drawn.
        TDataSet* ds = m_grid->DataSet();
        const TDisplayRow row(ds && ds->Active() ? ds : nullptr, index.row());
        m_grid->OnDrawColumnCell(painter, option.rect, index.column(), col, state);
    } catch (...) {
    }
    painter->restore();
}
