#include "Arguments.h"

#include "core/DataPacket.h"
#include "core/HostExceptions.h"
#include "core/Services.h"

#include <cmath>

namespace FisServer {

QString text(const QCborValue& v) {
    return v.isString() ? v.toString() : QString();
}

QVariant dateParam(const QCborValue& v) {
    if (!v.isDateTime())
        return QVariant(QMetaType(QMetaType::QDate));
    const QDateTime dt = dateTimeFromCbor(v);
    return dt.isValid() ? QVariant(dt.date()) : QVariant(QMetaType(QMetaType::QDate));
}

QString entrSaidFlag(const QString& method, const QCborValue& v) {
    const QString f = text(v).trimmed().toUpper();
    if (f != QLatin1String("E") && f != QLatin1String("S") && f != QLatin1String("T"))
        throw EHostError(
            QStringLiteral("%1: indicador de entrada/saída deve ser E, S ou T (recebido \"%2\").")
                .arg(method, text(v)));
    return f;
}

double money(const QString& method, const QString& name, double v) {
    if (!std::isfinite(v) || v < 0 || v >= 1e13)
        throw EHostError(
            QStringLiteral("%1: %2 inválido (%3).").arg(method, name).arg(v, 0, 'f', 2));
    return RoundDec(v, 2);
}

QString tooLong(const QString& method, const QString& what, const QString& value, int size) {
    if (value.size() <= size)
        return QString();
    return QStringLiteral("%1: %2 com mais de %3 caracteres: \"%4\".")
        .arg(method, what)
        .arg(size)
        .arg(value.left(100));
}

void refuseTooLong(const QString& method,
                   std::initializer_list<std::tuple<const char*, QString, int>> values) {
    for (const auto& [what, value, size] : values)
        if (const QString why = tooLong(method, QString::fromUtf8(what), value, size);
            !why.isEmpty())
            throw EHostError(why);
}

QString digitsOnly(const QString& s) {
    QString out;
    for (QChar c : s)
        if (c.isDigit())
            out += c;
    return out;
}

} // namespace FisServer
