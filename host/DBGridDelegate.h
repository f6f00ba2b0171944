#pragma once
// The grid's item delegate (internal to TDBGrid): opens a TEllipsisEditor on a cell, with the
// field's mask and size, puts the row into edit as soon as something is typed, commits what is
// typed through the model, and runs the grid's drawing hook after the default cell.
#include <QPersistentModelIndex>
#include <QPointer>
#include <QStyledItemDelegate>

class TDBGrid;

class TDBGridDelegate : public QStyledItemDelegate {
public:
    explicit TDBGridDelegate(TDBGrid* grid);

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&,
                          const QModelIndex& index) const override;

    void destroyEditor(QWidget* editor, const QModelIndex& index) const override;

    void setEditorData(QWidget* editor, const QModelIndex& index) const override;

    void setModelData(QWidget* editor, QAbstractItemModel* model,
                      const QModelIndex& index) const override;

    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex&) const override;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

    QWidget* openEditor() const { return m_editor; }
    QModelIndex openEditorIndex() const { return m_editorIndex; }

private:
    TDBGrid* m_grid;
    mutable QPointer<QWidget> m_editor;
    mutable QPersistentModelIndex m_editorIndex;
};
