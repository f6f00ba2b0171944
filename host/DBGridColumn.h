#pragma once
// A column of the data grid: the field it shows, its title, width, visibility, read-only flag and
// editor button. Every change reaches the grid at once (an open editor's button included).
#include "core/HostExport.h"

#include <QFont>
#include <QString>

class TDBGrid;
class TField;

enum TColumnButtonStyle { cbsAuto, cbsEllipsis, cbsNone };

class FIS_EXPORT TColumn {
public:
    TColumn(TDBGrid* grid, const QString& fieldName);

    TDBGrid* Grid() const { return m_grid; }
    int Index() const;
    const QString& FieldName() const { return m_fieldName; }
    void setFieldName(const QString& name);
    TField* Field() const; // nullptr when the dataset has no such field

    int Width() const { return m_width; } // -1: default width
    void setWidth(int width);
    // Title caption; empty: the field's display label.
    QString TitleCaption() const;
    void setTitleCaption(const QString& caption);
    QFont TitleFont() const;
    void setTitleFont(const QFont& font);
    Qt::Alignment TitleAlignment() const { return m_titleAlignment; }
    void setTitleAlignment(Qt::Alignment alignment);
    bool ReadOnly() const { return m_readOnly; }
    void setReadOnly(bool readOnly) { m_readOnly = readOnly; }
    TColumnButtonStyle ButtonStyle() const { return m_buttonStyle; }
    // Takes effect at once, also on an editor open in this column.
    void setButtonStyle(TColumnButtonStyle style);
    bool Visible() const { return m_visible; }
    void setVisible(bool visible);

private:
    TDBGrid* m_grid;
    QString m_fieldName;
    int m_width = -1;
    QString m_title;
    QFont m_titleFont;
    bool m_hasTitleFont = false;
    Qt::Alignment m_titleAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    bool m_readOnly = false;
    TColumnButtonStyle m_buttonStyle = cbsAuto;
    bool m_visible = true;
};
