#include "DataPacket.h"
#include "core/Envelope.h"

#include "HostExceptions.h"

#include <QCborArray>
#include <QCborMap>

#include <cstdlib>

namespace {
// Without TZ, glibc re-reads /etc/localtime for every local-time conversion, which made
// decoding a packet of 100,000 dated rows cost a second. Naming the zone file once lets the C
// library keep it; the zone itself is unchanged.
const bool g_tzPinned = [] {
    if (!std::getenv("TZ"))
        setenv("TZ", ":/etc/localtime", 0);
    return true;
}();
} // namespace

QString fieldTypeName(TFieldType type) {
    switch (type) {
    case TFieldType::String:
        return QStringLiteral("string");
    case TFieldType::FixedChar:
        return QStringLiteral("fixed");
    case TFieldType::Float:
        return QStringLiteral("float");
    case TFieldType::DateTime:
        return QStringLiteral("datetime");
    case TFieldType::Integer:
        return QStringLiteral("integer");
    }
    return QString();
}

TFieldType fieldTypeFromName(const QString& name) {
    for (auto t : {TFieldType::String, TFieldType::FixedChar, TFieldType::Float,
                   TFieldType::DateTime, TFieldType::Integer})
        if (fieldTypeName(t) == name)
            return t;
    throw EHostError(QStringLiteral("Tipo de campo desconhecido no pacote: \"%1\".").arg(name));
}

int TDataPacket::indexOf(const QString& fieldName) const {
    for (int i = 0; i < fields.size(); ++i)
        if (fields[i].name.compare(fieldName, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

QCborValue cborFromDateTime(const QDateTime& dt) {
    if (!dt.isValid())
        return QCborValue(QCborValue::Null);
    QDateTime wall(dt.date(), dt.time(), Qt::UTC);
    return QCborValue(wall);
}

QDateTime dateTimeFromCbor(const QCborValue& v) {
    QDateTime dt;
    if (v.isDateTime()) {
        dt = v.toDateTime();
    } else if (v.isTag() && v.tag() == QCborKnownTags::DateTimeString) {
        dt = QDateTime::fromString(v.taggedValue().toString(), Qt::ISODateWithMs);
    } else if (v.isString()) {
        const QString s = v.toString();
        QDate d = QDate::fromString(s, Qt::ISODate);
        if (d.isValid() && s.size() == 10)
            return QDateTime(d, QTime(0, 0));
        dt = QDateTime::fromString(s, Qt::ISODateWithMs);
    }
    if (!dt.isValid())
        return QDateTime();
    // The wall clock as written, as local time.
    if (dt.timeSpec() != Qt::UTC)
        dt = dt.toUTC();
    return QDateTime(dt.date(), dt.time());
}

namespace {

QCborValue valueToCbor(TFieldType type, const QVariant& v) {
    if (v.isNull() || !v.isValid())
        return QCborValue(QCborValue::Null);
    switch (type) {
    case TFieldType::String:
    case TFieldType::FixedChar:
        return QCborValue(v.toString());
    case TFieldType::Float:
        return QCborValue(v.toDouble());
    case TFieldType::Integer:
        return QCborValue(v.toLongLong());
    case TFieldType::DateTime:
        return cborFromDateTime(v.toDateTime());
    }
    return QCborValue(QCborValue::Null);
}

QVariant valueFromCbor(const TPacketField& f, const QCborValue& v, int row) {
    if (v.isNull() || v.isUndefined())
        return QVariant();
    auto bad = [&](const char* what) {
        return EHostError(QStringLiteral("Pacote inválido: linha %1, campo %2: esperado %3.")
                              .arg(row + 1)
                              .arg(f.name, QString::fromLatin1(what)));
    };
    switch (f.type) {
    case TFieldType::String:
    case TFieldType::FixedChar:
        if (!v.isString())
            throw bad("texto");
        return v.toString();
    case TFieldType::Float:
        if (v.isDouble() || v.isInteger())
            return v.toDouble();
        throw bad("número");
    case TFieldType::Integer:
        if (v.isInteger())
            return v.toInteger();
        throw bad("inteiro");
    case TFieldType::DateTime: {
        QDateTime dt = dateTimeFromCbor(v);
        if (!dt.isValid())
            throw bad("data");
        return dt;
    }
    }
    return QVariant();
}

} // namespace

QCborValue TDataPacket::toCbor() const {
    QCborArray fa;
    for (const auto& f : fields)
        fa.append(QCborArray{f.name, fieldTypeName(f.type), f.size});
    QCborArray ra;
    for (const auto& row : rows) {
        QCborArray r;
        for (int i = 0; i < fields.size(); ++i)
            r.append(valueToCbor(fields[i].type, i < row.size() ? row[i] : QVariant()));
        ra.append(r);
    }
    QCborMap m;
    m.insert(FisProtocol::Key::Fields, fa);
    m.insert(FisProtocol::Key::Rows, ra);
    return m;
}

TDataPacket TDataPacket::fromCbor(const QCborValue& value) {
    if (!value.isMap())
        throw EHostError(QStringLiteral("Pacote inválido: esperado um mapa com fields e rows."));
    const QCborMap m = value.toMap();
    const QCborValue fv = m.value(FisProtocol::Key::Fields);
    const QCborValue rv = m.value(FisProtocol::Key::Rows);
    if (!fv.isArray() || !rv.isArray())
        throw EHostError(QStringLiteral("Pacote inválido: fields e rows devem ser listas."));
    TDataPacket p;
    for (const QCborValue& f : fv.toArray()) {
        const QCborArray a = f.toArray();
        if (!f.isArray() || a.size() != 3 || !a[0].isString() || !a[1].isString() ||
            !a[2].isInteger())
            throw EHostError(
                QStringLiteral("Pacote inválido: cada campo é [nome, tipo, tamanho]."));
        if (a[0].toString().isEmpty())
            throw EHostError(QStringLiteral("Pacote inválido: campo sem nome."));
        p.fields.append(
            {a[0].toString(), fieldTypeFromName(a[1].toString()), int(a[2].toInteger())});
    }
    int rowNo = 0;
    for (const QCborValue& r : rv.toArray()) {
        const QCborArray a = r.toArray();
        if (!r.isArray() || a.size() != p.fields.size())
            throw EHostError(
                QStringLiteral("Pacote inválido: linha %1 tem %2 valores, esperado %3.")
                    .arg(rowNo + 1)
                    .arg(a.size())
                    .arg(p.fields.size()));
        QVariantList row;
        row.reserve(a.size());
        for (int i = 0; i < a.size(); ++i)
            row.append(valueFromCbor(p.fields[i], a[i], rowNo));
        p.rows.append(row);
        ++rowNo;
    }
    return p;
}

QVariant coerceFieldValue(const TPacketField& field, const QVariant& value) {
    if (value.isNull() || !value.isValid())
        return QVariant();
    auto bad = [&](const char* what) {
        return EHostError(QStringLiteral("Valor \"%1\" inválido para o campo %2 (%3).")
                              .arg(value.toString(), field.name, QString::fromLatin1(what)));
    };
    bool ok = true;
    switch (field.type) {
    case TFieldType::String:
    case TFieldType::FixedChar:
        return value.toString();
    case TFieldType::Float: {
        double d = value.toDouble(&ok);
        if (!ok)
            throw bad("número");
        return d;
    }
    case TFieldType::Integer: {
        qlonglong i = value.toLongLong(&ok);
        if (!ok)
            throw bad("inteiro");
        return i;
    }
    case TFieldType::DateTime: {
        if (value.metaType().id() == QMetaType::QDate)
            return QDateTime(value.toDate(), QTime(0, 0));
        QDateTime dt = value.toDateTime();
        if (!dt.isValid())
            throw bad("data");
        return dt;
    }
    }
    return value;
}
