#include "Field.h"

#include "DataSet.h"
#include "FieldValues.h"
#include "core/HostExceptions.h"

#include <QLocale>

namespace {

const QLocale& brLocale() {
    static const QLocale br = [] {
        QLocale l(QLocale::Portuguese, QLocale::Brazil);
        l.setNumberOptions(QLocale::OmitGroupSeparator);
        return l;
    }();
    return br;
}

const QLocale& brGroupedLocale() {
    static const QLocale br(QLocale::Portuguese, QLocale::Brazil);
    return br;
}

// "#,##0.00" -> decimals 2, grouped.
void parseDisplayFormat(const QString& fmt, int& decimals, bool& grouped) {
    const int dot = fmt.indexOf(QLatin1Char('.'));
    decimals = 0;
    if (dot >= 0)
        for (int i = dot + 1; i < fmt.size() && (fmt[i] == QLatin1Char('0') || fmt[i] == '#'); ++i)
            ++decimals;
    grouped = fmt.contains(QLatin1Char(','));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Dates

QDate ParseDateText(const QString& text) {
    const QString t = text.trimmed();
    bool onlyMask = true;
    for (QChar c : t)
        if (c != QLatin1Char(' ') && c != QLatin1Char('/'))
            onlyMask = false;
    if (onlyMask)
        return QDate();
    const EHostError invalid(QStringLiteral("Não é uma data válida."));
    QStringList parts = t.split(QLatin1Char('/'));
    for (QString& p : parts)
        p = p.trimmed();
    if (parts.size() == 3 && parts[2].isEmpty())
        parts.removeLast();
    if (parts.size() < 2 || parts.size() > 3)
        throw invalid;
    auto number = [&](const QString& p) {
        if (p.isEmpty() || p.size() > 4)
            throw invalid;
        for (QChar c : p)
            if (!c.isDigit() || c.unicode() > 127)
                throw invalid;
        return p.toInt();
    };
    const int day = number(parts[0]);
    const int month = number(parts[1]);
    int year = QDate::currentDate().year();
    if (parts.size() == 3) {
        const QString& y = parts[2];
        year = number(y);
        if (y.size() <= 2)
            year += year < 50 ? 2000 : 1900;
        else if (y.size() != 4)
            throw invalid;
    }
    const QDate d(year, month, day);
    if (!d.isValid())
        throw invalid;
    return d;
}

void DateSetText(TField* field, const QString& text) {
    if (!field)
        throw EHostError(QStringLiteral("Campo de data inexistente."));
    const QDate d = ParseDateText(text);
    if (!d.isValid())
        field->Clear();
    else
        field->setAsDateTime(QDateTime(d, QTime(0, 0)));
}

// ---------------------------------------------------------------------------------------------
// TField

TField::TField(TDataSet* dataSet, const QString& name, TFieldType type, int size)
    : m_dataSet(dataSet), m_name(name), m_type(type), m_size(size) {}

void TField::setDisplayLabel(const QString& label) {
    m_label = label;
    if (m_dataSet)
        m_dataSet->notify(deLayoutChange);
}

void TField::setVisible(bool visible) {
    m_visible = visible;
    if (m_dataSet)
        m_dataSet->notify(deLayoutChange);
}

int TField::DisplayWidth() const {
    if (m_displayWidth > 0)
        return m_displayWidth;
    switch (m_type) {
    case TFieldType::String:
    case TFieldType::FixedChar:
        return m_size > 0 ? m_size : 20;
    case TFieldType::Float:
        return 14;
    case TFieldType::DateTime:
        return 10;
    case TFieldType::Integer:
        return 10;
    }
    return 10;
}

Qt::Alignment TField::Alignment() const {
    if (m_type == TFieldType::Float || m_type == TFieldType::Integer)
        return Qt::AlignRight | Qt::AlignVCenter;
    return Qt::AlignLeft | Qt::AlignVCenter;
}

QVariant TField::Value() const {
    return m_dataSet->currentValue(m_index);
}

void TField::setValue(const QVariant& value) {
    m_dataSet->writeValue(this, value);
}

bool TField::IsNull() const {
    return isNullValue(Value());
}

QString TField::AsString() const {
    return valueText(Value(), false);
}

void TField::setAsString(const QString& text) {
    if (isTextType(m_type)) {
        setValue(text);
        return;
    }
    // Numbers and dates from text: the typed forms.
    const QString t = text.trimmed();
    switch (m_type) {
    case TFieldType::Float: {
        if (t.isEmpty()) {
            Clear();
            return;
        }
        QString s = t;
        if (s.contains(QLatin1Char(',')))
            s = s.remove(QLatin1Char('.')).replace(QLatin1Char(','), QLatin1Char('.'));
        bool ok = false;
        const double d = s.toDouble(&ok);
        if (!ok)
            throw EHostError(QStringLiteral("'%1' não é um valor numérico válido.").arg(text));
        setValue(d);
        return;
    }
    case TFieldType::Integer: {
        if (t.isEmpty()) {
            Clear();
            return;
        }
        bool ok = false;
        const qint64 i = t.toLongLong(&ok);
        if (!ok)
            throw EHostError(QStringLiteral("'%1' não é um valor inteiro válido.").arg(text));
        setValue(i);
        return;
    }
    case TFieldType::DateTime: {
        // "dd/MM/yyyy hh:mm[:ss]" as Text() writes it for a date with a time of day.
        const int sp = t.lastIndexOf(QLatin1Char(' '));
        if (sp > 0 && t.indexOf(QLatin1Char(':'), sp) > sp) {
            const QDate d = ParseDateText(t.left(sp));
            QTime tm = QTime::fromString(t.mid(sp + 1), QStringLiteral("H:mm:ss"));
            if (!tm.isValid())
                tm = QTime::fromString(t.mid(sp + 1), QStringLiteral("H:mm"));
            if (!d.isValid() || !tm.isValid())
                throw EHostError(QStringLiteral("Não é uma data válida."));
            setValue(QDateTime(d, tm));
            return;
        }
        DateSetText(this, text);
        return;
    }
    default:
        break;
    }
}

double TField::AsFloat() const {
    const QVariant v = Value();
    if (isNullValue(v))
        return 0.0;
    if (v.typeId() == QMetaType::QString) {
        QString s = v.toString().trimmed();
        if (s.contains(QLatin1Char(',')))
            s = s.remove(QLatin1Char('.')).replace(QLatin1Char(','), QLatin1Char('.'));
        return s.toDouble();
    }
    return v.toDouble();
}

QDateTime TField::AsDateTime() const {
    const QVariant v = Value();
    if (isNullValue(v))
        return QDateTime();
    if (v.typeId() == QMetaType::QString) {
        try {
            const QDate d = ParseDateText(v.toString());
            return d.isValid() ? QDateTime(d, QTime(0, 0)) : QDateTime();
        } catch (const EHostError&) {
            return QDateTime();
        }
    }
    return v.toDateTime();
}

void TField::setAsDateTime(const QDateTime& value) {
    setValue(value.isValid() ? QVariant(value) : QVariant());
}

qint64 TField::AsInteger() const {
    const QVariant v = Value();
    if (isNullValue(v))
        return 0;
    if (v.typeId() == QMetaType::Double)
        return qRound64(v.toDouble());
    return v.toLongLong();
}

QString TField::valueText(const QVariant& v, bool display) const {
    if (isNullValue(v))
        return QString();
    switch (m_type) {
    case TFieldType::String:
    case TFieldType::FixedChar:
        return v.toString();
    case TFieldType::Float:
    case TFieldType::Integer: {
        const double d = v.toDouble();
        if (display && !m_displayFormat.isEmpty()) {
            int decimals = 0;
            bool grouped = false;
            parseDisplayFormat(m_displayFormat, decimals, grouped);
            return (grouped ? brGroupedLocale() : brLocale()).toString(d, 'f', decimals);
        }
        if (m_type == TFieldType::Integer)
            return QString::number(v.toLongLong());
        return brLocale().toString(d, 'f', QLocale::FloatingPointShortest);
    }
    case TFieldType::DateTime: {
        const QDateTime dt = v.toDateTime();
        if (!dt.isValid())
            return QString();
        if (dt.time() == QTime(0, 0))
            return dt.toString(QStringLiteral("dd/MM/yyyy"));
        return dt.toString(QStringLiteral("dd/MM/yyyy hh:mm:ss"));
    }
    }
    return v.toString();
}

void TField::FocusControl() {
    if (m_dataSet && m_dataSet->Active())
        m_dataSet->notify(deFocusControl, this);
}

QString TField::Text() const {
    if (OnGetText) {
        QString text;
        OnGetText(const_cast<TField*>(this), text, false);
        return text;
    }
    return valueText(Value(), false);
}

void TField::setText(const QString& text) {
    if (OnSetText) {
        OnSetText(this, text);
        return;
    }
    setAsString(text);
}

QString TField::DisplayText() const {
    if (OnGetText) {
        QString text;
        OnGetText(const_cast<TField*>(this), text, true);
        return text;
    }
    return valueText(Value(), true);
}
