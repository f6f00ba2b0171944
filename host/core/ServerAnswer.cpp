#include "ServerAnswer.h"

#include "HostExceptions.h"

#include <QCborStreamReader>

TAnswerPayload TAnswerPayload::encoded(const QByteArray& bytes, qsizetype begin, qsizetype end) {
    TAnswerPayload p;
    if (begin >= 0 && begin < end && end <= bytes.size()) {
        p.m_bytes = bytes;
        p.m_begin = begin;
        p.m_end = end;
    }
    return p;
}

QCborValue TAnswerPayload::value() const {
    if (!isEncoded())
        return m_value;
    QCborStreamReader r(encodedData(), encodedSize());
    QCborValue v = QCborValue::fromCbor(r);
    if (r.lastError() != QCborError::NoError || r.currentOffset() != encodedSize())
        return QCborValue();
    return v;
}

QCborValue::Type TAnswerPayload::type() const {
    if (!isEncoded())
        return m_value.type();
    const quint8 major = quint8(*encodedData()) >> 5;
    if (major == 4)
        return QCborValue::Array;
    if (major == 5)
        return QCborValue::Map;
    return value().type();
}

TAnswerPayload CheckResultServ(const TServerAnswer& answer, bool raiseOnError, int /*reserved*/) {
    if (answer.ok)
        return answer.payload;
    if (raiseOnError)
        throw EHostError(answer.error.isEmpty()
                             ? QStringLiteral("O servidor de aplicação não respondeu.")
                             : answer.error);
    return TAnswerPayload();
}
