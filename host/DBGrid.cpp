#include "DBGrid.h"

#include "HostDialogs.h"
#include "HostGuard.h"
#include "core/EditMask.h"
#include "core/HostExceptions.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QBitmap>
#include <QCache>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QStyledItemDelegate>
#include <QToolButton>

namespace {
QLineEdit* lineEditOf(QWidget* editor);
} // namespace

// ---------------------------------------------------------------------------------------------
// The ellipsis editor: a line edit and a fixed-width "..." button; the edit has the focus. The
// edit carries the field's mask, read as the masked edit reads it.

class TEllipsisEditor : public QWidget {
public:
    explicit TEllipsisEditor(QWidget* parent) : QWidget(parent) {
        auto* lay = new QHBoxLayout(this);
        lay->setContentsMargins(0, 0, 0, 0);
        lay->setSpacing(0);
        edit = new QLineEdit(this);
        edit->setFrame(false);
        button = new QToolButton(this);
        button->setText(QStringLiteral("..."));
        button->setFixedWidth(20);
        button->setFocusPolicy(Qt::NoFocus);
        lay->addWidget(edit);
        lay->addWidget(button);
        setFocusProxy(edit);
        setAutoFillBackground(true);
    }
    void setEditMask(const QString& hostMask) {
        mask = TEditMask(hostMask);
        edit->setInputMask(mask.QtInputMask());
    }
    // What the field gets from what is typed.
    QString storedText() const {
        return mask.IsEmpty() ? edit->text() : mask.StoredText(edit->displayText());
    }
    QLineEdit* edit;
    QToolButton* button;
    TEditMask mask;
};

namespace {
QLineEdit* lineEditOf(QWidget* editor) {
    if (auto* e = qobject_cast<QLineEdit*>(editor))
        return e;
    if (auto* e = dynamic_cast<TEllipsisEditor*>(editor))
        return e->edit;
    return nullptr;
}

QString editorText(QWidget* editor) {
    auto* e = dynamic_cast<TEllipsisEditor*>(editor);
    return e ? e->storedText() : QString();
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Model

class TDBGridModel : public QAbstractTableModel {
public:
    explicit TDBGridModel(TDBGrid* grid) : QAbstractTableModel(grid), m_grid(grid) {}

    TDataSet* dataSet() const { return m_grid->DataSet(); }

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : m_rows;
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : m_grid->ColumnCount();
    }

    TField* fieldOf(int column) const {
        if (column < 0 || column >= m_grid->ColumnCount())
            return nullptr;
        return m_grid->Columns(column)->Field();
    }

    QVariant data(const QModelIndex& index, int role) const override {
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

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
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

    Qt::ItemFlags flags(const QModelIndex& index) const override {
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

    // Commits typed text through the dataset: Edit, the field's setText, and the row stays in
    // edit until it is left. Returns false (error shown) when the dataset refused.
    bool setData(const QModelIndex& index, const QVariant& value, int role) override {
        if (role != Qt::EditRole || !index.isValid())
            return false;
        bool ok = false;
        const bool ran = m_grid->guarded([&] { ok = commit(index, value.toString()); });
        if (!ran)
            m_commitFailed = true;
        return ran && ok;
    }

    // Throws what the dataset throws.
    bool commit(const QModelIndex& index, const QString& text) {
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

    void reset() {
        beginResetModel();
        TDataSet* ds = dataSet();
        m_rows = ds && ds->Active() ? ds->RecordCount() : 0;
        endResetModel();
    }

    void onDataEvent(int event, TField* field) {
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
            } else if (ds && ds->CurrentPos() >= 0 && ds->CurrentPos() < m_rows &&
                       columnCount() > 0) {
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

    // The dataset is about to post: what is typed in the open editor goes into the field first;
    // a refusal stops the post with its message.
    void commitOpenEditor();

    TDBGrid* m_grid;
    int m_rows = 0;
    bool m_commitFailed = false;
    bool m_committing = false;
};

// ---------------------------------------------------------------------------------------------
// Delegate

class TDBGridDelegate : public QStyledItemDelegate {
public:
    explicit TDBGridDelegate(TDBGrid* grid) : QStyledItemDelegate(grid), m_grid(grid) {}

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&,
                          const QModelIndex& index) const override {
        TColumn* col =
            index.column() < m_grid->ColumnCount() ? m_grid->Columns(index.column()) : nullptr;
        TField* f = col ? col->Field() : nullptr;
        // Every editor can show the button: the column's style may change while it is open.
        auto* editor = new TEllipsisEditor(parent);
        QLineEdit* line = editor->edit;
        {
            TEllipsisEditor* e = editor;
            e->button->setVisible(col && col->ButtonStyle() == cbsEllipsis);
            QPointer<TEllipsisEditor> guard(e);
            QObject::connect(e->button, &QToolButton::clicked, m_grid, [this, guard] {
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

    void destroyEditor(QWidget* editor, const QModelIndex& index) const override {
        if (m_editor == editor)
            m_editor = nullptr;
        QStyledItemDelegate::destroyEditor(editor, index);
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        QLineEdit* e = lineEditOf(editor);
        if (!e || e->isModified())
            return; // never overwrite what the clerk is typing
        e->setText(index.data(Qt::EditRole).toString());
        e->selectAll();
    }

    void setModelData(QWidget* editor, QAbstractItemModel* model,
                      const QModelIndex& index) const override {
        model->setData(index, editorText(editor), Qt::EditRole);
    }

    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex&) const override {
        editor->setGeometry(option.rect);
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
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

    QWidget* openEditor() const { return m_editor; }
    QModelIndex openEditorIndex() const { return m_editorIndex; }

private:
    TDBGrid* m_grid;
    mutable QPointer<QWidget> m_editor;
    mutable QPersistentModelIndex m_editorIndex;
};

void TDBGridModel::commitOpenEditor() {
    TDBGridDelegate* d = m_grid->m_delegate;
    QWidget* editor = d ? d->openEditor() : nullptr;
    if (!editor || m_committing)
        return;
    const QModelIndex idx = d->openEditorIndex();
    TDataSource* src = m_grid->DataSource();
    m_committing = true;
    try {
        commit(idx, editorText(editor));
    } catch (...) {
        if (src)
            src->setPendingError(std::current_exception());
    }
    m_committing = false;
}

// ---------------------------------------------------------------------------------------------
// TColumn

TColumn::TColumn(TDBGrid* grid, const QString& fieldName) : m_grid(grid), m_fieldName(fieldName) {}

int TColumn::Index() const {
    for (int i = 0; i < m_grid->ColumnCount(); ++i)
        if (m_grid->Columns(i) == this)
            return i;
    return -1;
}

void TColumn::setFieldName(const QString& name) {
    m_fieldName = name;
    m_grid->columnsChanged();
}

TField* TColumn::Field() const {
    TDataSet* ds = m_grid->DataSet();
    return ds ? ds->FindField(m_fieldName) : nullptr;
}

void TColumn::setWidth(int width) {
    m_width = width;
    m_grid->columnsChanged();
}

QString TColumn::TitleCaption() const {
    if (!m_title.isEmpty())
        return m_title;
    TField* f = Field();
    return f ? f->DisplayLabel() : m_fieldName;
}

void TColumn::setTitleCaption(const QString& caption) {
    m_title = caption;
    m_grid->columnsChanged();
}

QFont TColumn::TitleFont() const {
    return m_hasTitleFont ? m_titleFont : m_grid->font();
}

void TColumn::setTitleFont(const QFont& font) {
    m_titleFont = font;
    m_hasTitleFont = true;
    m_grid->columnsChanged();
}

void TColumn::setTitleAlignment(Qt::Alignment alignment) {
    m_titleAlignment = alignment;
    m_grid->columnsChanged();
}

void TColumn::setButtonStyle(TColumnButtonStyle style) {
    if (style == m_buttonStyle)
        return;
    m_buttonStyle = style;
    m_grid->buttonStyleChanged(this);
}

void TColumn::setVisible(bool visible) {
    m_visible = visible;
    m_grid->columnsChanged();
}

// ---------------------------------------------------------------------------------------------
// TDBGrid

TDBGrid::TDBGrid(QWidget* parent) : QTableView(parent) {
    m_model = new TDBGridModel(this);
    m_delegate = new TDBGridDelegate(this);
    setModel(m_model);
    setItemDelegate(m_delegate);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                    QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    // Title clicks belong to OnTitleClick; they never select a column nor move the dataset.
    disconnect(horizontalHeader(), &QHeaderView::sectionPressed, this, nullptr);
    disconnect(horizontalHeader(), &QHeaderView::sectionEntered, this, nullptr);
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setHighlightSections(false);
    setSortingEnabled(false);
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int section) {
        guarded([&] {
            if (OnTitleClick && section >= 0 && section < ColumnCount())
                OnTitleClick(Columns(section));
        });
    });
    connect(this, &QAbstractItemView::clicked, this,
            [this](const QModelIndex& index) { cellClicked(index); });
    applyOptions();
}

TDBGrid::~TDBGrid() {
    // The model must not hear the data source while the grid goes away.
    if (m_source)
        disconnect(m_source, nullptr, this, nullptr);
}

bool TDBGrid::guarded(const std::function<void()>& fn) const {
    return HostGuard::run(fn);
}

TDataSet* TDBGrid::DataSet() const {
    return m_source ? m_source->DataSet() : nullptr;
}

void TDBGrid::setDataSource(TDataSource* source) {
    if (source == m_source)
        return;
    if (m_source)
        disconnect(m_source, nullptr, this, nullptr);
    m_source = source;
    if (m_source) {
        connect(m_source, &TDataSource::dataEvent, this,
                [this](int event, TField* field) { m_model->onDataEvent(event, field); });
        connect(m_source, &QObject::destroyed, this, [this] {
            m_source = nullptr;
            m_model->reset();
        });
    }
    columnsChanged();
    followDataSet();
}

TColumn* TDBGrid::AddColumn(const QString& fieldName, int width, const QString& title) {
    if (m_autoColumns) {
        m_columns.clear();
        m_autoColumns = false;
    }
    auto c = std::make_unique<TColumn>(this, fieldName);
    TColumn* col = c.get();
    m_columns.push_back(std::move(c));
    // Set directly: columnsChanged runs once below.
    if (width >= 0 || !title.isEmpty()) {
        m_updatingColumns = true;
        if (width >= 0)
            col->setWidth(width);
        if (!title.isEmpty())
            col->setTitleCaption(title);
        m_updatingColumns = false;
    }
    columnsChanged();
    return col;
}

TColumn* TDBGrid::Columns(int index) const {
    if (index < 0 || index >= int(m_columns.size()))
        throw EHostError(QStringLiteral("Índice de coluna fora dos limites: %1.").arg(index));
    return m_columns[size_t(index)].get();
}

void TDBGrid::ClearColumns() {
    m_columns.clear();
    m_autoColumns = false;
    columnsChanged();
}

void TDBGrid::columnsChanged() {
    if (m_updatingColumns)
        return;
    // Without columns of its own the grid shows every visible field.
    TDataSet* ds = DataSet();
    if (m_columns.empty() || m_autoColumns) {
        m_columns.clear();
        m_autoColumns = true;
        if (ds)
            for (int i = 0; i < ds->FieldCount(); ++i)
                if (ds->Fields(i)->Visible())
                    m_columns.push_back(
                        std::make_unique<TColumn>(this, ds->Fields(i)->FieldName()));
    }
    // Only a different set of columns needs the model rebuilt; titles and widths do not.
    QStringList signature;
    for (const auto& c : m_columns)
        signature << c->FieldName();
    if (ds)
        signature << QString::number(quintptr(ds)) << QString::number(ds->FieldCount());
    if (signature != m_columnSignature || m_model->columnCount() != ColumnCount()) {
        m_columnSignature = signature;
        m_model->reset();
    } else if (ColumnCount() > 0) {
        emit m_model->headerDataChanged(Qt::Horizontal, 0, ColumnCount() - 1);
    }
    applyColumnWidths();
    followDataSet();
}

void TDBGrid::buttonStyleChanged(TColumn* column) {
    QWidget* ed = m_delegate->openEditor();
    auto* e = dynamic_cast<TEllipsisEditor*>(ed);
    if (!e || m_delegate->openEditorIndex().column() != column->Index())
        return;
    e->button->setVisible(column->ButtonStyle() == cbsEllipsis);
}

void TDBGrid::focusField(TField* field) {
    if (!field)
        return;
    int col = -1;
    for (int i = 0; i < ColumnCount() && col < 0; ++i)
        if (Columns(i)->Visible() && Columns(i)->Field() == field)
            col = i;
    if (col < 0)
        return;
    if (isVisible() && isEnabled())
        setFocus(Qt::OtherFocusReason);
    setSelectedIndex(col);
}

void TDBGrid::applyColumnWidths() {
    const int charW = fontMetrics().averageCharWidth();
    for (int i = 0; i < ColumnCount(); ++i) {
        TColumn* c = Columns(i);
        int w = c->Width();
        if (w < 0) {
            TField* f = c->Field();
            const int chars = f ? std::min(f->DisplayWidth(), 40) : 10;
            w = std::max(chars * charW + 8,
                         QFontMetrics(c->TitleFont()).horizontalAdvance(c->TitleCaption()) + 12);
        }
        setColumnWidth(i, w);
        setColumnHidden(i, !c->Visible());
    }
}

void TDBGrid::setOptions(TDBGridOptions options) {
    m_options = options;
    applyOptions();
}

void TDBGrid::applyOptions() {
    horizontalHeader()->setVisible(m_options & dgTitles);
    verticalHeader()->setVisible(m_options & dgIndicator);
    horizontalHeader()->setSectionResizeMode((m_options & dgColumnResize) ? QHeaderView::Interactive
                                                                          : QHeaderView::Fixed);
    setShowGrid((m_options & dgColLines) || (m_options & dgRowLines));
    setTabKeyNavigation(m_options & dgTabs);
    setSelectionBehavior((m_options & dgRowSelect) ? QAbstractItemView::SelectRows
                                                   : QAbstractItemView::SelectItems);
    QPalette pal = palette();
    if (m_options & dgAlwaysShowSelection) {
        pal.setColor(QPalette::Inactive, QPalette::Highlight,
                     pal.color(QPalette::Active, QPalette::Highlight));
        pal.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     pal.color(QPalette::Active, QPalette::HighlightedText));
    } else {
        pal.setColor(QPalette::Inactive, QPalette::Highlight,
                     QApplication::palette().color(QPalette::Inactive, QPalette::Highlight));
    }
    setPalette(pal);
    // Switching editing off closes an open editor (what was typed is kept).
    if (!(m_options & dgEditing)) {
        if (QWidget* ed = m_delegate->openEditor()) {
            emit m_delegate->commitData(ed);
            emit m_delegate->closeEditor(ed, QAbstractItemDelegate::NoHint);
        }
    }
}

int TDBGrid::SelectedIndex() const {
    const QModelIndex c = currentIndex();
    return c.isValid() ? c.column() : (ColumnCount() > 0 ? 0 : -1);
}

void TDBGrid::setSelectedIndex(int column) {
    if (column < 0 || column >= ColumnCount())
        return;
    TDataSet* ds = DataSet();
    const int row = ds && ds->Active() ? ds->CurrentPos() : -1;
    if (row < 0 || row >= m_model->m_rows) {
        m_pendingColumn = column;
        return;
    }
    // Also from a handler inside a move the grid started (a refused post focusing its field):
    // the column change is the clerk's to see, with its OnColEnter.
    const bool syncing = m_syncing;
    m_syncing = false;
    setCurrentIndex(m_model->index(row, column));
    m_syncing = syncing;
}

TField* TDBGrid::SelectedField() const {
    const int c = SelectedIndex();
    if (c < 0 || c >= ColumnCount())
        return nullptr;
    TDataSet* ds = DataSet();
    if (!ds || !ds->Active())
        return nullptr;
    return Columns(c)->Field();
}

void TDBGrid::setSelectedField(TField* field) {
    if (!field)
        return;
    setSelectedIndex(IndiceCol(this, field->FieldName()));
}

bool TDBGrid::EditorOpen(const QString& fieldName) const {
    if (!m_delegate->openEditor())
        return false;
    const QModelIndex idx = m_delegate->openEditorIndex();
    return idx.isValid() && idx.column() < ColumnCount() &&
           Columns(idx.column())->FieldName().compare(fieldName, Qt::CaseInsensitive) == 0;
}

QString TDBGrid::EditorText(const QString& fieldName) const {
    if (QWidget* ed = m_delegate->openEditor()) {
        const QModelIndex idx = m_delegate->openEditorIndex();
        if (idx.isValid() && idx.column() < ColumnCount() &&
            Columns(idx.column())->FieldName().compare(fieldName, Qt::CaseInsensitive) == 0)
            return editorText(ed);
    }
    TDataSet* ds = DataSet();
    TField* f = ds ? ds->FindField(fieldName) : nullptr;
    return f ? f->Text() : QString();
}

void TDBGrid::BeginUpdate() {
    if (m_updateCount++ == 0)
        setUpdatesEnabled(false);
}

void TDBGrid::EndUpdate() {
    if (m_updateCount == 0)
        return;
    if (--m_updateCount == 0) {
        setUpdatesEnabled(true);
        followDataSet();
        viewport()->update();
    }
}

void TDBGrid::followDataSet() {
    if (m_updateCount > 0 || m_syncing)
        return;
    TDataSet* ds = DataSet();
    const int row = ds && ds->Active() ? ds->CurrentPos() : -1;
    if (row < 0 || row >= m_model->m_rows || ColumnCount() == 0)
        return;
    int col = currentIndex().isValid() ? currentIndex().column() : 0;
    if (m_pendingColumn >= 0) {
        col = m_pendingColumn;
        m_pendingColumn = -1;
    }
    const QModelIndex idx = m_model->index(row, std::clamp(col, 0, ColumnCount() - 1));
    if (currentIndex() == idx && selectionModel()->isSelected(idx))
        return;
    m_syncing = true;
    selectionModel()->setCurrentIndex(idx, QItemSelectionModel::ClearAndSelect);
    scrollTo(idx);
    m_syncing = false;
}

void TDBGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    // The base commits and closes an editor of the previous cell first.
    QTableView::currentChanged(current, previous);
    if (m_syncing)
        return;
    TDataSet* ds = DataSet();
    if (m_model->m_commitFailed) {
        // What was typed was refused: stay on the row being edited.
        m_model->m_commitFailed = false;
        if (ds && ds->Active() && current.row() != ds->CurrentPos()) {
            QMetaObject::invokeMethod(
                this, [this] { followDataSet(); }, Qt::QueuedConnection);
            return;
        }
    }
    if (current.isValid() && ds && ds->Active() && current.row() != ds->CurrentPos()) {
        const int row = current.row();
        m_syncing = true;
        const bool moved = guarded([&] { ds->MoveTo(row); });
        m_syncing = false;
        if (!moved || ds->CurrentPos() != row) {
            // A refused post keeps the dataset where it was: so does the grid, once Qt has
            // finished handling this change.
            QMetaObject::invokeMethod(
                this, [this] { followDataSet(); }, Qt::QueuedConnection);
            return;
        }
        viewport()->update();
    }
    if (current.isValid() && previous.isValid() && current.column() != previous.column()) {
        guarded([&] {
            if (OnColExit)
                OnColExit();
            if (OnColEnter)
                OnColEnter();
        });
    } else if (current.isValid() && !previous.isValid()) {
        guarded([&] {
            if (OnColEnter)
                OnColEnter();
        });
    }
}

void TDBGrid::cellClicked(const QModelIndex& index) {
    if (!index.isValid() || index.column() >= ColumnCount())
        return;
    TDataSet* ds = DataSet();
    if (ds && ds->Active() && index.row() != ds->CurrentPos())
        return; // the move was refused
    guarded([&] {
        if (OnCellClick)
            OnCellClick(Columns(index.column()));
    });
}

bool TDBGrid::handleKeyPress(QChar& key) {
    if (!OnKeyPress)
        return true;
    bool ran = guarded([&] { OnKeyPress(key); });
    return ran && !key.isNull();
}

namespace {
// A typed character as OnKeyPress sees it (backspace as '\b'); null for other keys.
QChar typedChar(const QKeyEvent* e) {
    if (e->key() == Qt::Key_Backspace)
        return QChar(8);
    if (e->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return QChar();
    const QString t = e->text();
    if (t.size() != 1 || !t[0].isPrint())
        return QChar();
    return t[0];
}

QKeyEvent replacedKey(const QKeyEvent* e, QChar key) {
    if (key == QChar(8))
        return QKeyEvent(e->type(), Qt::Key_Backspace, e->modifiers(), QString(QChar(8)));
    const int code = key.isDigit() || key.isLetter() ? key.toUpper().unicode() : key.unicode();
    return QKeyEvent(e->type(), code, e->modifiers(), QString(key));
}
} // namespace

void TDBGrid::keyPressEvent(QKeyEvent* event) {
    TDataSet* ds = DataSet();
    const QChar typed = typedChar(event);
    if (!typed.isNull() && event->key() != Qt::Key_Backspace) {
        QChar key = typed;
        if (!handleKeyPress(key)) {
            event->accept();
            return;
        }
        // The key may open an editor and be passed on to it: it has been through OnKeyPress.
        m_forwardingKey = true;
        if (key != typed) {
            QKeyEvent other = replacedKey(event, key);
            QTableView::keyPressEvent(&other);
            event->setAccepted(other.isAccepted());
        } else {
            QTableView::keyPressEvent(event);
        }
        m_forwardingKey = false;
        return;
    }
    switch (event->key()) {
    case Qt::Key_Insert:
        if (ds && ds->Active() && !(event->modifiers() & ~Qt::KeypadModifier)) {
            guarded([&] { ds->Insert(); });
            event->accept();
            return;
        }
        break;
    case Qt::Key_Down:
        if (ds && ds->Active() && ds->CurrentPos() == ds->RecordCount() - 1 &&
            ds->State() != dsInsert) {
            guarded([&] { ds->Append(); });
            event->accept();
            return;
        }
        break;
    case Qt::Key_Escape:
        if (ds && ds->Active() && (ds->State() == dsEdit || ds->State() == dsInsert)) {
            guarded([&] { ds->Cancel(); });
            event->accept();
            return;
        }
        break;
    case Qt::Key_Delete:
        if ((event->modifiers() & Qt::ControlModifier) && ds && ds->Active() && !ds->IsEmpty()) {
            guarded([&] {
                if (!(m_options & dgConfirmDelete) ||
                    HostDialogs().showMessage(QStringLiteral("Excluir registro?"),
                                              TMsgDlgType::Confirmation, mbOK | mbCancel) == mrOk)
                    ds->Delete();
            });
            event->accept();
            return;
        }
        break;
    case Qt::Key_Backspace: {
        QChar key = typed;
        if (!handleKeyPress(key)) {
            event->accept();
            return;
        }
        break;
    }
    default:
        break;
    }
    QTableView::keyPressEvent(event);
}

bool TDBGrid::eventFilter(QObject* watched, QEvent* event) {
    // Keys typed into an open editor pass OnKeyPress first.
    if (event->type() == QEvent::KeyPress && qobject_cast<QLineEdit*>(watched) &&
        !m_forwardingKey) {
        auto* ke = static_cast<QKeyEvent*>(event);
        const QChar typed = typedChar(ke);
        if (!typed.isNull()) {
            QChar key = typed;
            if (!handleKeyPress(key))
                return true;
            if (key != typed) {
                QKeyEvent other = replacedKey(ke, key);
                m_forwardingKey = true;
                QCoreApplication::sendEvent(watched, &other);
                m_forwardingKey = false;
                return true;
            }
        }
    }
    return QTableView::eventFilter(watched, event);
}

void TDBGrid::focusInEvent(QFocusEvent* event) {
    QTableView::focusInEvent(event);
    if (OnEnter && !m_hasFocusInside) {
        m_hasFocusInside = true;
        guarded([&] { OnEnter(); });
    }
    m_hasFocusInside = true;
}

void TDBGrid::focusOutEvent(QFocusEvent* event) {
    QTableView::focusOutEvent(event);
    // Focus going into the grid's own editor is not leaving the grid.
    QWidget* next = QApplication::focusWidget();
    if (next && isAncestorOf(next))
        return;
    m_hasFocusInside = false;
    if (OnExit)
        guarded([&] { OnExit(); });
}

// ---------------------------------------------------------------------------------------------

int IndiceCol(const TDBGrid* grid, const QString& fieldName) {
    if (!grid)
        return -1;
    for (int i = 0; i < grid->ColumnCount(); ++i)
        if (grid->Columns(i)->FieldName().compare(fieldName, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

QString GridText(const TDBGrid* grid, const QString& fieldName, bool displayText) {
    if (!grid)
        return QString();
    if (!displayText) {
        // Nothing typed yet: the first key replaces the cell's text.
        if (!grid->EditorOpen(fieldName))
            return QString();
        return grid->EditorText(fieldName);
    }
    TDataSet* ds = grid->DataSet();
    TField* f = ds ? ds->FindField(fieldName) : nullptr;
    const QString typed = grid->EditorText(fieldName);
    if (f && typed == f->Text())
        return f->DisplayText();
    return typed;
}

QPixmap OliveTransparent(const QPixmap& pixmap) {
    static QCache<qint64, QPixmap> cache(64);
    if (pixmap.isNull())
        return pixmap;
    if (QPixmap* hit = cache.object(pixmap.cacheKey()))
        return *hit;
    auto* masked = new QPixmap(pixmap);
    masked->setMask(pixmap.createMaskFromColor(QColor(128, 128, 0), Qt::MaskInColor));
    const QPixmap result = *masked;
    cache.insert(pixmap.cacheKey(), masked);
    return result;
}

void DrawOliveTransparent(QPainter* painter, const QRect& target, const QPixmap& pixmap,
                          const QRect& source) {
    if (!painter || pixmap.isNull())
        return;
    painter->drawPixmap(target, OliveTransparent(pixmap), source);
}
