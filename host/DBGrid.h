#pragma once
// The data grid: a QTableView over a TDataSource.
//
// Guarantees:
//  - The grid follows the dataset's current row and the dataset follows the grid: selecting a
//    cell moves the dataset there (leaving an edited row posts or cancels it, as the dataset
//    rules say; a failed post keeps the grid on the edited row and shows the error).
//  - Cells show each field's DisplayText (get-text handler, display format); editors start
//    from the field's Text and commit through the dataset's Edit, the field's setText (so
//    set-text handlers run) and leave the row in edit state; the post happens on leaving the
//    row, on Enter... exactly as the dataset says. Read-only fields, read-only columns and a
//    grid without dgEditing never open an editor.
//  - Nothing thrown by the dataset or a handler reaches Qt: every entry from Qt runs through
//    HostGuard::run (an EAbort is silent, an EHostError is shown).
//  - The Insert key and moving down from the last row call the dataset's Insert / Append, so a
//    BeforeInsert that aborts refuses them silently.
//  - OnKeyPress sees every typed character before the cell or its editor does; it may replace
//    the key or consume it (set it to QChar()).
//  - A column's ellipsis button shows on its editor while the column's ButtonStyle is
//    cbsEllipsis, also when the style changes with the editor open (the row going into edit).
//  - TField::FocusControl focuses the grid on the field's column.
#include "DBGridColumn.h"
#include "DataSet.h"
#include "OliveTransparent.h"

#include <QTableView>
#include <functional>
#include <memory>
#include <vector>

class TDBGrid;
class TDBGridModel;
class TDBGridDelegate;

enum TDBGridOption {
    dgEditing = 0x1,
    dgAlwaysShowEditor = 0x2,
    dgTitles = 0x4,
    dgIndicator = 0x8,
    dgColumnResize = 0x10,
    dgColLines = 0x20,
    dgRowLines = 0x40,
    dgTabs = 0x80,
    dgRowSelect = 0x100,
    dgAlwaysShowSelection = 0x200,
    dgConfirmDelete = 0x400,
    dgCancelOnExit = 0x800,
};
using TDBGridOptions = int;

enum TGridDrawStateFlag { gdSelected = 0x1, gdFocused = 0x2, gdFixed = 0x4 };
using TGridDrawState = int;

class FIS_EXPORT TDBGrid : public QTableView {
    Q_OBJECT
public:
    explicit TDBGrid(QWidget* parent = nullptr);
    ~TDBGrid() override;

    TDataSource* DataSource() const { return m_source; }
    void setDataSource(TDataSource* source);
    TDataSet* DataSet() const;

    // Columns. Without any column the grid shows every visible field.
    TColumn* AddColumn(const QString& fieldName, int width = -1, const QString& title = {});
    int ColumnCount() const { return int(m_columns.size()); }
    TColumn* Columns(int index) const;
    void ClearColumns();

    TDBGridOptions Options() const { return m_options; }
    void setOptions(TDBGridOptions options);

    // The column of the current cell and its field (nullptr when none / dataset closed).
    int SelectedIndex() const;
    void setSelectedIndex(int column);
    TField* SelectedField() const;
    void setSelectedField(TField* field);

    // The text typed in the open editor of that field's column, else the field's Text.
    QString EditorText(const QString& fieldName) const;
    bool EditorOpen(const QString& fieldName) const; // an editor is open in that column

    // Suspend and resume repainting and following the dataset (nesting counted).
    void BeginUpdate();
    void EndUpdate();

    std::function<void(TColumn* column)> OnCellClick;
    std::function<void(TColumn* column)> OnTitleClick;
    std::function<void(QChar& key)> OnKeyPress;
    std::function<void()> OnColEnter;
    std::function<void()> OnColExit;
    std::function<void()> OnEditButtonClick;
    std::function<void()> OnEnter;
    std::function<void()> OnExit;
    // Called after the default drawing of a data cell; the painter's brush is the cell's
    // background and its pen the text colour. The fields read the row being drawn.
    std::function<void(QPainter* canvas, const QRect& rect, int dataCol, TColumn* column,
                       TGridDrawState state)>
        OnDrawColumnCell;

    // Internal: the model and the delegate.
    TDBGridModel* gridModel() const { return m_model; }
    void columnsChanged();
    void buttonStyleChanged(TColumn* column);
    // Runs fn under the host guard; used by the model and delegate.
    bool guarded(const std::function<void()>& fn) const;

    // Typing into a cell that does not edit never jumps to another row.
    void keyboardSearch(const QString&) override {}

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend class TDBGridModel;
    friend class TDBGridDelegate;
    void followDataSet();
    void applyColumnWidths();
    void applyOptions();
    bool handleKeyPress(QChar& key);
    void cellClicked(const QModelIndex& index);
    void focusField(TField* field);

    TDataSource* m_source = nullptr;
    TDBGridModel* m_model = nullptr;
    TDBGridDelegate* m_delegate = nullptr;
    std::vector<std::unique_ptr<TColumn>> m_columns;
    TDBGridOptions m_options = dgEditing | dgTitles | dgIndicator | dgColumnResize | dgColLines |
                               dgRowLines | dgTabs | dgConfirmDelete | dgCancelOnExit;
    int m_updateCount = 0;
    bool m_syncing = false;
    bool m_autoColumns = false;
    bool m_updatingColumns = false;
    int m_pendingColumn = -1;
    bool m_forwardingKey = false;
    bool m_hasFocusInside = false;
    QStringList m_columnSignature;
};

// The column index of fieldName in grid (-1 when absent).
FIS_EXPORT int IndiceCol(const TDBGrid* grid, const QString& fieldName);
// The text being typed in that field's column: the open editor's text, else empty (the first
// key typed replaces the cell's text). displayText true gives the editor's text, else the
// field's display text.
FIS_EXPORT QString GridText(const TDBGrid* grid, const QString& fieldName, bool displayText);
