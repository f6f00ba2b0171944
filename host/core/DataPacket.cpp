#include "DataPacket.h"
#include "core/Envelope.h"
#include "core/Frame.h"

#include "HostExceptions.h"

#include <QCborArray>
#include <QCborMap>
#include <QCborStreamReader>

#include <cstdlib>
#include <cstring>
#include <limits>

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

// The value v as a column of type t holds it; false when it does not fit.
bool valueFromCbor(TFieldType t, const QCborValue& v, QVariant& out) {
    out = QVariant();
    if (v.isNull() || v.isUndefined())
        return true;
    switch (t) {
    case TFieldType::String:
    case TFieldType::FixedChar:
        if (!v.isString())
            return false;
        out = v.toString();
        return true;
    case TFieldType::Float:
        if (!v.isDouble() && !v.isInteger())
            return false;
        out = v.toDouble();
        return true;
    case TFieldType::Integer:
        if (!v.isInteger())
            return false;
        out = v.toInteger();
        return true;
    case TFieldType::DateTime: {
        QDateTime dt = dateTimeFromCbor(v);
        if (!dt.isValid())
            return false;
        out = dt;
        return true;
    }
    }
    return false;
}

QVariant valueFromCbor(const TPacketField& f, const QCborValue& v, int row) {
    QVariant out;
    if (!valueFromCbor(f.type, v, out))
        throw EHostError(QStringLiteral("Pacote inválido: linha %1, campo %2: esperado %3.")
                             .arg(row + 1)
                             .arg(f.name, fieldTypeExpected(f.type)));
    return out;
}

// One item's bytes decoded; undefined when they do not decode (a text that is not UTF-8 among
// them: QCborValue must never see one).
QCborValue decodeSpan(const char* p, qsizetype size) {
    QCborStreamReader r(p, size);
    QCborValue v = QCborValue::fromCbor(r);
    return r.lastError() == QCborError::NoError ? v : QCborValue();
}

// "YYYY-MM-DDTHH:MM:SS.mmmZ", as cborFromDateTime writes a date, read without QDateTime's
// parser (which costs a microsecond a value). Anything else takes the parser's way.
bool canonicalDate(const char* p, QDate& day, QTime& time) {
    if (p[4] != '-' || p[7] != '-' || p[10] != 'T' || p[13] != ':' || p[16] != ':' ||
        p[19] != '.' || p[23] != 'Z')
        return false;
    bool ok = true;
    auto num = [&](int at, int len) {
        int n = 0;
        for (int i = 0; i < len; ++i) {
            const char c = p[at + i];
            ok = ok && c >= '0' && c <= '9';
            n = n * 10 + (c - '0');
        }
        return n;
    };
    const int y = num(0, 4), mo = num(5, 2), d = num(8, 2);
    const int h = num(11, 2), mi = num(14, 2), s = num(17, 2), ms = num(20, 3);
    if (!ok || y < 1000 || !QDate::isValid(y, mo, d) || !QTime::isValid(h, mi, s, ms))
        return false;
    day = QDate(y, mo, d);
    time = QTime(h, mi, s, ms);
    return true;
}

} // namespace

QString fieldTypeExpected(TFieldType type) {
    switch (type) {
    case TFieldType::String:
    case TFieldType::FixedChar:
        return QStringLiteral("texto");
    case TFieldType::Float:
        return QStringLiteral("número");
    case TFieldType::Integer:
        return QStringLiteral("inteiro");
    case TFieldType::DateTime:
        return QStringLiteral("data");
    }
    return QString();
}

bool readPacketValue(QCborStreamReader& r, const char* base, TFieldType type, QVariant* out) {
    const qsizetype start = qsizetype(r.currentOffset());
    const bool text = type == TFieldType::String || type == TFieldType::FixedChar;
    auto set = [&](QVariant v) {
        if (out)
            *out = std::move(v);
        return true;
    };
    // The common cases are read in place; the rest through QCborValue, exactly as fromCbor.
    switch (r.type()) {
    case QCborStreamReader::UnsignedInteger: {
        const quint64 n = r.toUnsignedInteger();
        r.next();
        if (type == TFieldType::Float)
            return set(double(n));
        if (type == TFieldType::Integer && n <= quint64(std::numeric_limits<qint64>::max()))
            return set(qint64(n));
        return false;
    }
    case QCborStreamReader::Float16:
    case QCborStreamReader::Float:
    case QCborStreamReader::Double: {
        const double d = r.isDouble()  ? r.toDouble()
                         : r.isFloat() ? double(r.toFloat())
                                       : double(r.toFloat16());
        r.next();
        return type == TFieldType::Float && set(d);
    }
    case QCborStreamReader::SimpleType: {
        const bool empty = r.isNull() || r.isUndefined();
        r.next();
        return empty && set(QVariant());
    }
    case QCborStreamReader::String:
        if (!r.isLengthKnown() || type == TFieldType::DateTime)
            break;
        {
            const qsizetype len = qsizetype(r.length());
            if (!r.next() || !text)
                return false;
            const char* p = base + r.currentOffset() - len;
            if (!QByteArrayView(p, len).isValidUtf8())
                return false;
            return set(len == 0 ? QVariant() : QVariant(QString::fromUtf8(p, len)));
        }
    case QCborStreamReader::Tag:
        if (type != TFieldType::DateTime)
            break;
        if (r.toTag() == QCborKnownTags::DateTimeString && r.next() && r.isString() &&
            r.isLengthKnown() && r.length() == 24) {
            r.next();
            QDate day;
            QTime time;
            if (r.lastError() == QCborError::NoError &&
                canonicalDate(base + r.currentOffset() - 24, day, time))
                return set(QDateTime(day, time));
            if (r.lastError() != QCborError::NoError)
                return false;
            const QCborValue item = decodeSpan(base + start, r.currentOffset() - start);
            QVariant v;
            return !item.isUndefined() && valueFromCbor(type, item, v) && set(v);
        }
        break;
    default:
        break;
    }
    r.next(FisFrame::MaxDepth);
    if (r.lastError() != QCborError::NoError)
        return false;
    const QCborValue item = decodeSpan(base + start, r.currentOffset() - start);
    QVariant v;
    // Undefined itself was read above: here it means bytes that do not decode.
    if (item.isUndefined() || !valueFromCbor(type, item, v))
        return false;
    if (text && v.toString().isEmpty())
        v = QVariant();
    return set(v);
}

namespace FisPacketScan {

bool readHead(const char* p, qsizetype size, qsizetype at, Head& h) {
    if (at < 0 || at >= size)
        return false;
    const quint8 b = quint8(p[at]);
    h.major = b >> 5;
    const quint8 info = b & 31;
    h.indefinite = false;
    if (info < 24) {
        h.value = info;
        h.size = 1;
        return true;
    }
    if (info <= 27) {
        const int k = 1 << (info - 24);
        if (size - at - 1 < k)
            return false;
        quint64 v = 0;
        for (int j = 0; j < k; ++j)
            v = (v << 8) | quint8(p[at + 1 + j]);
        h.value = v;
        h.size = 1 + k;
        return true;
    }
    if (info == 31 && h.major >= 2 && h.major != 6) {
        h.value = 0;
        h.size = 1;
        h.indefinite = true;
        return true;
    }
    return false;
}

bool skipItem(const char* p, qsizetype size, qsizetype& at, int depth) {
    Head h;
    if (!readHead(p, size, at, h) || (h.major == 7 && h.indefinite))
        return false; // a break where an item belongs
    qsizetype i = at + h.size;
    switch (h.major) {
    case 0:
    case 1:
    case 7:
        break;
    case 2:
    case 3:
        if (!h.indefinite) {
            if (h.value > quint64(size - i))
                return false;
            i += qsizetype(h.value);
            break;
        }
        for (;;) { // definite chunks of the same kind, then a break
            Head c;
            if (!readHead(p, size, i, c))
                return false;
            if (c.major == 7 && c.indefinite) {
                ++i;
                break;
            }
            if (c.major != h.major || c.indefinite || c.value > quint64(size - i - c.size))
                return false;
            i += c.size + qsizetype(c.value);
        }
        break;
    case 4:
    case 5: {
        if (depth <= 0)
            return false;
        const int per = h.major == 5 ? 2 : 1;
        if (!h.indefinite) {
            // Every item takes a byte at least: a count beyond the bytes left is malformed.
            if (h.value > quint64(size - i))
                return false;
            for (quint64 k = 0; k < h.value * quint64(per); ++k)
                if (!skipItem(p, size, i, depth - 1))
                    return false;
            break;
        }
        for (int k = 0;; ++k) {
            if (i >= size)
                return false;
            if (quint8(p[i]) == 0xff) {
                if (k % per != 0)
                    return false; // a key without its value
                ++i;
                break;
            }
            if (!skipItem(p, size, i, depth - 1))
                return false;
        }
        break;
    }
    case 6:
        if (depth <= 0 || !skipItem(p, size, i, depth - 1))
            return false;
        break;
    }
    at = i;
    return true;
}

bool scanRow(const char* p, qsizetype size, qsizetype& at, const TFieldType* types, int count,
             QVariant* out, int only, qsizetype* starts) {
    Head h;
    if (!readHead(p, size, at, h) || h.major != 4 || h.indefinite || h.value != quint64(count))
        return false;
    qsizetype i = at + h.size;
    for (int j = 0; j < count; ++j) {
        if (starts)
            starts[j] = i;
        if (!readHead(p, size, i, h) || h.indefinite)
            return false;
        const TFieldType t = types[j];
        const bool text = t == TFieldType::String || t == TFieldType::FixedChar;
        const bool want = out && (only < 0 || only == j);
        QVariant v;
        switch (h.major) {
        case 0:
            if (t == TFieldType::Float)
                v = double(h.value);
            else if (t == TFieldType::Integer &&
                     h.value <= quint64(std::numeric_limits<qint64>::max()))
                v = qint64(h.value);
            else
                return false;
            i += h.size;
            break;
        case 3: {
            if (!text || h.value > quint64(size - i - h.size))
                return false;
            const char* s = p + i + h.size;
            const qsizetype len = qsizetype(h.value);
            if (!QByteArrayView(s, len).isValidUtf8())
                return false;
            if (want && len > 0)
                v = QString::fromUtf8(s, len);
            i += h.size + len;
            break;
        }
        case 6: {
            // Tag 0 and a text of 24 bytes: "YYYY-MM-DDTHH:MM:SS.mmmZ".
            if (t != TFieldType::DateTime || h.value != 0 || h.size != 1 || size - i < 27 ||
                quint8(p[i + 1]) != 0x78 || quint8(p[i + 2]) != 24)
                return false;
            QDate day;
            QTime time;
            if (!canonicalDate(p + i + 3, day, time))
                return false;
            if (want)
                v = QDateTime(day, time);
            i += 27;
            break;
        }
        case 7:
            if (h.size == 1 && (h.value == 22 || h.value == 23)) { // null, undefined
                i += 1;
                break;
            }
            if (t != TFieldType::Float || (h.size != 5 && h.size != 9))
                return false;
            if (want) {
                if (h.size == 5) {
                    const quint32 bits = quint32(h.value);
                    float f;
                    std::memcpy(&f, &bits, sizeof f);
                    v = double(f);
                } else {
                    double d;
                    std::memcpy(&d, &h.value, sizeof d);
                    v = d;
                }
            }
            i += h.size;
            break;
        default:
            return false;
        }
        if (want)
            out[j] = std::move(v);
    }
    if (starts)
        starts[count] = i;
    at = i;
    return true;
}

} // namespace FisPacketScan

TPacketField packetFieldFromCbor(const QCborValue& f) {
    const QCborArray a = f.toArray();
    if (!f.isArray() || a.size() != 3 || !a[0].isString() || !a[1].isString() || !a[2].isInteger())
        throw EHostError(QStringLiteral("Pacote inválido: cada campo é [nome, tipo, tamanho]."));
    if (a[0].toString().isEmpty())
        throw EHostError(QStringLiteral("Pacote inválido: campo sem nome."));
    return {a[0].toString(), fieldTypeFromName(a[1].toString()), int(a[2].toInteger())};
}

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
    for (const QCborValue& f : fv.toArray())
        p.fields.append(packetFieldFromCbor(f));
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
