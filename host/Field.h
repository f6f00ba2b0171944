#pragma once
// A field of a dataset: its definition (name, type, size, label, visibility, read-only, display
// format, edit mask), its value in the current row, and the texts an editor starts from and
// shows, with the get-text and set-text handlers. See DataSet.h for the rows it reads.
#include "core/DataPacket.h"
#include "core/HostExport.h"

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QVariant>
#include <functional>

class TDataSet;

class FIS_EXPORT TField {
public:
    // text: in/out; displayText true for display, false for the text an editor starts from.
    using TFieldGetTextEvent = std::function<void(TField* sender, QString& text, bool displayText)>;
    using TFieldSetTextEvent = std::function<void(TField* sender, const QString& text)>;
    using TFieldNotifyEvent = std::function<void(TField* sender)>;

    TField(TDataSet* dataSet, const QString& name, TFieldType type, int size);

    TDataSet* DataSet() const { return m_dataSet; }
    const QString& FieldName() const { return m_name; }
    TFieldType DataType() const { return m_type; }
    int Size() const { return m_size; }
    int Index() const { return m_index; }

    // The label falls back to the field name.
    QString DisplayLabel() const { return m_label.isEmpty() ? m_name : m_label; }
    void setDisplayLabel(const QString& label);
    bool Visible() const { return m_visible; }
    void setVisible(bool visible);
    bool ReadOnly() const { return m_readOnly; }
    void setReadOnly(bool readOnly) { m_readOnly = readOnly; }
    // "#,##0.00": decimals after the point, thousands when a comma appears; shown in Brazilian
    // form ("1.234,50"). Used for DisplayText of numeric fields only.
    const QString& DisplayFormat() const { return m_displayFormat; }
    void setDisplayFormat(const QString& format) { m_displayFormat = format; }
    // A mask in the host's form ("!99/99/9999;1; "); the grid's editor applies it.
    const QString& EditMask() const { return m_editMask; }
    void setEditMask(const QString& mask) { m_editMask = mask; }
    // Characters; by default from the type and size.
    int DisplayWidth() const;
    void setDisplayWidth(int chars) { m_displayWidth = chars; }
    Qt::Alignment Alignment() const;

    TFieldGetTextEvent OnGetText;
    TFieldSetTextEvent OnSetText;
    TFieldNotifyEvent OnChange; // after a value of this field changed

    // Values of the current row (or of the row being drawn, see TDataSet::DisplayTextAt).
    QVariant Value() const;
    void setValue(const QVariant& value); // coerced to the field's type; EHostError when unfit
    bool IsNull() const;
    void Clear() { setValue(QVariant()); }
    QString AsString() const; // text of the value without handlers ("" when null)
    void setAsString(const QString& text);
    double AsFloat() const; // 0 when null
    void setAsFloat(double value) { setValue(value); }
    QDateTime AsDateTime() const; // invalid when null
    void setAsDateTime(const QDateTime& value);
    qint64 AsInteger() const; // 0 when null
    void setAsInteger(qint64 value) { setValue(value); }

    // The text an editor starts from: OnGetText(displayText false), else the plain text
    // (floats "1234,5", dates dd/MM/yyyy, with hh:mm:ss only when a time is set).
    QString Text() const;
    // Stores typed text: OnSetText when set, else parsed by type (empty clears; floats accept
    // "1.234,5" and "1234,5"; dates as DateSetText). EHostError when the text does not fit.
    void setText(const QString& text);
    // The text to show: OnGetText(displayText true), else DisplayFormat for numbers, else Text().
    QString DisplayText() const;

    // Plain conversion used by Text(), without any handler.
    QString valueText(const QVariant& v, bool display) const;

    // Asks the data-aware controls that show this field (the grid: its column) to take the
    // focus; also while controls are disabled. Nothing happens on an inactive dataset.
    void FocusControl();

private:
    friend class TDataSet;
    TDataSet* m_dataSet;
    QString m_name;
    TFieldType m_type;
    int m_size;
    int m_index = -1;
    QString m_label;
    bool m_visible = true;
    bool m_readOnly = false;
    QString m_displayFormat;
    QString m_editMask;
    int m_displayWidth = -1;
};

// Stores a typed date in field: "dd/MM/yyyy", also "d/M/yy" (00-49 -> 2000s, 50-99 -> 1900s)
// and "d/M" (this year). Empty text or the empty date mask "  /  /    " clears the field.
// Any other text raises EHostError "Não é uma data válida.".
FIS_EXPORT void DateSetText(TField* field, const QString& text);
// The date of text by the rules above; an invalid QDate for empty text; EHostError when invalid.
FIS_EXPORT QDate ParseDateText(const QString& text);
