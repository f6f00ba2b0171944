#pragma once
// Reading a method's checked arguments: texts, dates, flags, money and keys that must fit their
// columns. Refusals throw EHostError with the text the clerk reads, prefixed by the method.
#include <QCborValue>
#include <QString>
#include <QVariant>
#include <initializer_list>
#include <tuple>

namespace FisServer {

// The text of a text argument; empty for null.
QString text(const QCborValue& v);
// The date part of a date-time argument; a null date when the argument is empty.
QVariant dateParam(const QCborValue& v);
// "E", "S" or "T" (blanks and case ignored); anything else is refused.
QString entrSaidFlag(const QString& method, const QCborValue& v);
// Money as the database keeps it: two decimals, never negative, never NaN.
double money(const QString& method, const QString& name, double v);
// A key longer than its column names no row; the database would answer a truncation error with
// the statement instead, so such a value is refused with what it is. Empty when it fits.
QString tooLong(const QString& method, const QString& what, const QString& value, int size);
void refuseTooLong(const QString& method,
                   std::initializer_list<std::tuple<const char*, QString, int>> values);
QString digitsOnly(const QString& s);

} // namespace FisServer
