#include "EllipsisEditor.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QToolButton>

TEllipsisEditor::TEllipsisEditor(QWidget* parent) : QWidget(parent) {
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

void TEllipsisEditor::setEditMask(const QString& hostMask) {
    mask = TEditMask(hostMask);
    edit->setInputMask(mask.QtInputMask());
}

QString TEllipsisEditor::storedText() const {
    return mask.IsEmpty() ? edit->text() : mask.StoredText(edit->displayText());
}

QLineEdit* TEllipsisEditor::lineEditOf(QWidget* editor) {
    if (auto* e = qobject_cast<QLineEdit*>(editor))
        return e;
    if (auto* e = dynamic_cast<TEllipsisEditor*>(editor))
        return e->edit;
    return nullptr;
}

QString TEllipsisEditor::storedTextOf(QWidget* editor) {
    auto* e = dynamic_cast<TEllipsisEditor*>(editor);
    return e ? e->storedText() : QString();
}
