#include "DBGridColumn.h"

#include "DBGrid.h"

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
