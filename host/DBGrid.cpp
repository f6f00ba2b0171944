#include "DBGrid.h"

#include "DBGridDelegate.h"
#include "DBGridModel.h"
#include "EllipsisEditor.h"
#include "HostDialogs.h"
#include "HostGuard.h"
#include "core/HostExceptions.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>

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
            return TEllipsisEditor::storedTextOf(ed);
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
