#pragma once
// The data-aware modal dialogs behind IHostDialogs::pesquisar, pesquisaLista and procura.
// Each lists the dataset's visible fields with their display texts; none of them edits a row.
//
// Pesquisar: a list with a type-ahead filter (rows whose display text in any listed field
//   contains the typed text, case-insensitive). Enter, double-click or OK chooses: the chosen
//   row becomes the dataset's current row and the dialog answers true. Cancel leaves the
//   dataset where it was and answers false.
// PesquisaLista: the same list with a check mark per row. On OK, keys holds the key-field
//   values of the marked rows, in the dataset's order, each in single quotes (a quote inside a
//   value doubled) and separated by commas with no blanks:  'E_1','S_2'  (no marked row gives
//   an empty text). Rows whose key is already in keys (that form, or bare comma-separated
//   values) start marked. Cancel leaves keys unchanged. A dataset field IDMARCADO is the list's
//   mark column: it is not listed as text, a row whose mark is not blank starts marked, and on
//   OK each row's mark is stored there ("X" marked, blank not), so the rows keep their marks.
// Procura: choose a field, type a text; "Procurar" finds the next row after the current one
//   (wrapping to the first) whose display text of that field contains the text,
//   case-insensitive, and makes it current; nothing found gives "Registro não encontrado.".
#include "DataSet.h"

#include <QDialog>

class QLineEdit;
class QTableView;
class QComboBox;
class QStandardItemModel;
class QSortFilterProxyModel;

// The key list format of PesquisaLista, and its reading.
FIS_EXPORT QString FormatKeyList(const QStringList& keys);
FIS_EXPORT QStringList ParseKeyList(const QString& text);

class FIS_EXPORT TPesquisaDialog : public QDialog {
    Q_OBJECT
public:
    // checkable: the PesquisaLista form (check marks, keyField given).
    TPesquisaDialog(TDataSet* dataSet, const QString& title, bool checkable,
                    const QString& keyField = {}, QWidget* parent = nullptr);

    QLineEdit* filterEdit() const { return m_filter; }
    QTableView* view() const { return m_view; }
    int visibleRowCount() const;
    // Dataset position (0-based) of the row chosen (the current list row); -1 when none.
    int chosenPosition() const;
    // Marks of the checkable form.
    void setKeys(const QString& keys);
    QString keys() const;
    void setChecked(int datasetPos, bool checked);
    QList<bool> marks() const; // per dataset row

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applyFilter(const QString& text);
    TDataSet* m_ds;
    QString m_keyField;
    bool m_checkable;
    TField* m_markField = nullptr;
    QLineEdit* m_filter;
    QTableView* m_view;
    QStandardItemModel* m_model;
    QSortFilterProxyModel* m_proxy;
    QStringList m_keyValues; // per dataset row
};

class FIS_EXPORT TProcuraDialog : public QDialog {
    Q_OBJECT
public:
    explicit TProcuraDialog(TDataSet* dataSet, QWidget* parent = nullptr);
    QComboBox* fieldBox() const { return m_fields; }
    QLineEdit* textEdit() const { return m_text; }
    // Finds and positions; false when nothing matched. Throws what the move throws.
    bool findNext();

private:
    TDataSet* m_ds;
    QComboBox* m_fields;
    QLineEdit* m_text;
};
