#pragma once
// JSON <-> wire values for fis98100-call. Dates travel as "YYYY-MM-DD" in JSON and as CBOR
// date-times on the wire; packets keep their {fields, rows} shape.
#include "MethodTable.h"

#include <QCborValue>
#include <QJsonValue>

namespace FisCall {

// Parses one command-line argument as a single JSON value (string, number, object...).
// Throws EHostError naming the argument when it is not valid JSON.
QJsonValue parseJsonArg(const QString& text, int index);

// Converts a JSON value to the wire value of an argument of kind; throws EHostError with a
// readable text when it does not fit (e.g. "x" where a date belongs).
QCborValue argFromJson(const QJsonValue& v, FisProtocol::ArgKind kind, const QString& method,
                       int index);

// A wire value as JSON: date-times become "YYYY-MM-DD" (or "YYYY-MM-DDTHH:mm:ss" when they
// carry a time of day), everything else keeps its shape.
QJsonValue toJson(const QCborValue& v);

} // namespace FisCall
