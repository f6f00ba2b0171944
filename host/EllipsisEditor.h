#pragma once
// The grid's cell editor (internal to TDBGrid): a line edit and a fixed-width "..." button; the
// edit has the focus and carries the field's mask, read as the masked edit reads it.
#include "core/EditMask.h"

#include <QWidget>

class QLineEdit;
class QToolButton;

class TEllipsisEditor : public QWidget {
public:
    explicit TEllipsisEditor(QWidget* parent);

    void setEditMask(const QString& hostMask);
    // What the field gets from what is typed (TEditMask::StoredText).
    QString storedText() const;

    // The line edit of a grid editor; nullptr for any other widget.
    static QLineEdit* lineEditOf(QWidget* editor);
    // What the field gets from a grid editor; empty for any other widget.
    static QString storedTextOf(QWidget* editor);

    QLineEdit* edit;
    QToolButton* button;
    TEditMask mask;
};
