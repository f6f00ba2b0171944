#pragma once
// The grid's table model (internal to TDBGrid): one row per visible row of the dataset, one
// column per grid column. Cells read the fields' texts without moving the dataset; typed text
// is committed through the dataset; the dataset's events reach the grid through onDataEvent.
#include <QAbstractTableModel>

class TDBGrid;
class TDataSet;
class TField;

class TDBGridModel : public QAbstractTableModel {
public:
    explicit TDBGridModel(TDBGrid* grid);

    TDataSet* dataSet() const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;

    TField* fieldOf(int column) const;

    QVariant data(const QModelIndex& index, int role) const override;

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Commits typed text through the dataset: Edit, the field's setText, and the row stays in
    // edit until it is left. Returns false (error shown) when the dataset refused.
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

    // Throws what the dataset throws.
    bool commit(const QModelIndex& index, const QString& text);

    void reset();

    void onDataEvent(int event, TField* field);

    // The dataset is about to post: what is typed in the open editor goes into the field first;
    // a refusal stops the post with its message.
    void commitOpenEditor();

    TDBGrid* m_grid;
    int m_rows = 0;
    bool m_commitFailed = false;
    bool m_committing = false;
};
