#include "CallJson.h"

#include "Envelope.h"
#include "core/DataPacket.h"
#include "core/HostExceptions.h"

#include <QCborArray>
#include <QCborMap>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace FisCall {

QJsonValue parseJsonArg(const QString& text, int index) {
    QJsonParseError err;
    // Wrapped, so that a bare string or number parses like any other value.
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray("[") + text.toUtf8() + QByteArray("]"), &err);
    if (err.error != QJsonParseError::NoError || !doc.isArray() || doc.array().size() != 1)
        throw EHostError(QStringLiteral("argumento %1 não é um valor JSON: %2 (strings entre "
                                        "aspas, ex. '\"01\"')")
                             .arg(index + 1)
                             .arg(text));
    return doc.array().at(0);
}

namespace {

namespace Key = FisProtocol::Key;

QCborValue dateFromText(const QString& s, bool* ok) {
    const QDate d = QDate::fromString(s, QStringLiteral("yyyy-MM-dd"));
    if (d.isValid() && s.size() == 10) {
        *ok = true;
        return cborFromDateTime(QDateTime(d, QTime(0, 0)));
    }
    const QDateTime dt = QDateTime::fromString(s, Qt::ISODate);
    *ok = dt.isValid();
    return *ok ? cborFromDateTime(dt) : QCborValue();
}

QCborValue packetFromJson(const QJsonValue& v, const QString& where) {
    if (!v.isObject())
        throw EHostError(
            QStringLiteral("%1 deve ser um pacote {\"fields\": [...], \"rows\": [...]}")
                .arg(where));
    const QJsonObject o = v.toObject();
    QCborArray fields;
    QStringList types;
    for (const QJsonValue& f : o.value(Key::Fields).toArray()) {
        const QJsonArray a = f.toArray();
        QCborArray cf;
        for (int i = 0; i < a.size(); ++i)
            cf.append(i == 2 && a[i].isDouble() ? QCborValue(qint64(a[i].toDouble()))
                                                : QCborValue::fromJsonValue(a[i]));
        types.append(a.size() > 1 ? a[1].toString() : QString());
        fields.append(cf);
    }
    QCborArray rows;
    for (const QJsonValue& r : o.value(Key::Rows).toArray()) {
        QCborArray cr;
        const QJsonArray a = r.toArray();
        for (int i = 0; i < a.size(); ++i) {
            if (i < types.size() && types[i] == QLatin1String("datetime") && a[i].isString()) {
                bool ok = false;
                const QCborValue d = dateFromText(a[i].toString(), &ok);
                cr.append(ok ? d : QCborValue(a[i].toString()));
            } else {
                cr.append(QCborValue::fromJsonValue(a[i]));
            }
        }
        rows.append(cr);
    }
    QCborMap m;
    // Whatever the JSON held is sent as it is shaped: the server judges the packet.
    m.insert(Key::Fields, o.contains(Key::Fields)
                              ? QCborValue(fields)
                              : QCborValue::fromJsonValue(o.value(Key::Fields)));
    m.insert(Key::Rows, o.contains(Key::Rows) ? QCborValue(rows)
                                              : QCborValue::fromJsonValue(o.value(Key::Rows)));
    return m;
}

} // namespace

QCborValue argFromJson(const QJsonValue& v, FisProtocol::ArgKind kind, const QString& method,
                       int index) {
    const QString where = QStringLiteral("%1: argumento %2").arg(method).arg(index + 1);
    switch (kind) {
    case FisProtocol::ArgKind::Text:
        if (v.isString())
            return v.toString();
        if (v.isNull())
            return QString();
        throw EHostError(QStringLiteral("%1 deve ser texto").arg(where));
    case FisProtocol::ArgKind::Double:
        if (v.isDouble())
            return v.toDouble();
        throw EHostError(QStringLiteral("%1 deve ser número").arg(where));
    case FisProtocol::ArgKind::DateTime: {
        if (v.isNull())
            return QCborValue(QCborValue::Null);
        bool ok = false;
        const QCborValue d = v.isString() ? dateFromText(v.toString(), &ok) : QCborValue();
        if (!ok)
            throw EHostError(QStringLiteral("%1 deve ser data \"AAAA-MM-DD\"").arg(where));
        return d;
    }
    case FisProtocol::ArgKind::Packet:
        return packetFromJson(v, where);
    }
    return QCborValue();
}

QJsonValue toJson(const QCborValue& v) {
    if (v.isDateTime()) {
        const QDateTime dt = dateTimeFromCbor(v);
        if (dt.time() == QTime(0, 0))
            return dt.date().toString(QStringLiteral("yyyy-MM-dd"));
        return dt.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
    }
    if (v.isArray()) {
        QJsonArray a;
        for (const QCborValue& e : v.toArray())
            a.append(toJson(e));
        return a;
    }
    if (v.isMap()) {
        QJsonObject o;
        const QCborMap m = v.toMap();
        for (auto it = m.begin(); it != m.end(); ++it)
            o.insert(it.key().isString() ? it.key().toString()
                                         : QString::number(it.key().toInteger()),
                     toJson(it.value()));
        return o;
    }
    return v.toJsonValue();
}

} // namespace FisCall
