#pragma once
// A data packet: typed field definitions plus rows, the one format in which datasets travel
// between the application server and the client. Encoded as CBOR:
//   {"fields": [[name, type, size], ...], "rows": [[value, ...], ...]}
// type is one of "string", "fixed", "float", "datetime", "integer".
// Values: text, double, integer, date-time (tag 0, wall-clock time written as UTC so that no
// time-zone shift ever moves a date), or null for an empty value.
#include "HostExport.h"

#include <QCborValue>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>

class QCborStreamReader;

enum class TFieldType { String, FixedChar, Float, DateTime, Integer };

FIS_EXPORT QString fieldTypeName(TFieldType type);
// Throws EHostError for an unknown name.
FIS_EXPORT TFieldType fieldTypeFromName(const QString& name);

struct FIS_EXPORT TPacketField {
    QString name;
    TFieldType type = TFieldType::String;
    int size = 0; // characters for text types, 0 otherwise
    bool operator==(const TPacketField&) const = default;
};

struct FIS_EXPORT TDataPacket {
    QList<TPacketField> fields;
    // One QVariant per field: QString, double, QDateTime, qint64, or a null QVariant (empty).
    QList<QVariantList> rows;

    int indexOf(const QString& fieldName) const; // -1 when absent
    QCborValue toCbor() const;
    // Validates structure, types and row widths; throws EHostError with a readable text.
    static TDataPacket fromCbor(const QCborValue& value);
    bool operator==(const TDataPacket&) const = default;
};

// One entry [name, type, size] of a packet's fields, checked as fromCbor checks it.
FIS_EXPORT TPacketField packetFieldFromCbor(const QCborValue& entry);
// Reads the value r is on as a column of that type holds it, straight from the CBOR bytes that
// begin at base (the bytes r reads), and moves past it: what fromCbor gives for it, with an
// empty text as null. With out null the value is only checked. False when it does not fit the
// type (fieldTypeExpected names what was expected); r's own error tells malformed bytes.
FIS_EXPORT bool readPacketValue(QCborStreamReader& r, const char* base, TFieldType type,
                                QVariant* out);
FIS_EXPORT QString fieldTypeExpected(TFieldType type);

// Reading a packet's bytes without QCborStreamReader, whose skipping over a text decodes it.
namespace FisPacketScan {
// Moves at past the one well-formed item there (nesting at most depth deep); false when the
// bytes p[0, size) end first or are malformed.
FIS_EXPORT bool skipItem(const char* p, qsizetype size, qsizetype& at, int depth);
// The head of the item at p[at]: major type, argument and the head's size; indefinite for a
// list, map or string of unknown length (and for a break). False past the end or reserved.
struct Head {
    quint8 major = 0;
    quint64 value = 0;
    qsizetype size = 0;
    bool indefinite = false;
};
FIS_EXPORT bool readHead(const char* p, qsizetype size, qsizetype at, Head& head);
// One row at p[at]: a list of count values of the usual kinds (numbers, texts, null, dates as
// cborFromDateTime writes them), each checked against its type as readPacketValue does. With
// out, the values are read into out[0, count) (only out[only] when only >= 0); with starts,
// where each value begins and, in starts[count], where the row ends. On true, at is past the
// row. False, with at unchanged, for anything else: the row is then for readPacketValue, which
// tells exactly what is wrong.
FIS_EXPORT bool scanRow(const char* p, qsizetype size, qsizetype& at, const TFieldType* types,
                        int count, QVariant* out, int only, qsizetype* starts);
} // namespace FisPacketScan

// Wall-clock date-time <-> CBOR tag 0, without time-zone conversion.
FIS_EXPORT QCborValue cborFromDateTime(const QDateTime& dt);
// Accepts tag 0 date-time or a "YYYY-MM-DD" text; returns an invalid QDateTime otherwise.
FIS_EXPORT QDateTime dateTimeFromCbor(const QCborValue& v);

// Converts a value to the representation the field type stores; throws EHostError with the
// field name when it does not fit (text where a number belongs, and so on).
FIS_EXPORT QVariant coerceFieldValue(const TPacketField& field, const QVariant& value);
