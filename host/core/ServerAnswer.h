#pragma once
// The answer of one remote call as the connection hands it to the caller. A connection whose
// ThrowException is false never throws from a call: transport failures, refused requests and
// server errors all arrive as an answer with ok == false and a readable error text.
#include "HostExport.h"

#include <QByteArray>
#include <QCborArray>
#include <QCborMap>
#include <QCborValue>
#include <QString>

// A call's result: a decoded value, or the CBOR of one item left in the bytes of the frame it
// came in (checked when the frame arrived) and decoded each time a value is asked for. A
// dataset reads a packet straight from those bytes (TClientDataSet::SetData), so a large answer
// is never held as a tree; every other caller sees a QCborValue.
class FIS_EXPORT TAnswerPayload {
public:
    TAnswerPayload() = default;
    TAnswerPayload(const QCborValue& value) : m_value(value) {}
    // bytes[begin, end) is the item's CBOR; bytes is the frame's body.
    static TAnswerPayload encoded(const QByteArray& bytes, qsizetype begin, qsizetype end);

    bool isEncoded() const { return m_end > m_begin; }
    const char* encodedData() const { return m_bytes.constData() + m_begin; }
    qsizetype encodedSize() const { return m_end - m_begin; }
    // The bytes the item lies in (the frame's body) and where.
    const QByteArray& encodedBytes() const { return m_bytes; }
    qsizetype encodedBegin() const { return m_begin; }
    qsizetype encodedEnd() const { return m_end; }
    // The frame it came in, its 4-byte length included; 0 for a decoded value.
    qsizetype frameSize() const { return isEncoded() ? m_bytes.size() + 4 : 0; }

    // Undefined when the bytes do not decode.
    QCborValue value() const;
    operator QCborValue() const { return value(); }

    // The item's type, read from its first bytes when it is a container.
    QCborValue::Type type() const;
    bool isUndefined() const { return type() == QCborValue::Undefined; }
    bool isNull() const { return type() == QCborValue::Null; }
    bool isArray() const { return type() == QCborValue::Array; }
    bool isMap() const { return type() == QCborValue::Map; }
    bool isString() const { return type() == QCborValue::String; }
    bool isInteger() const { return type() == QCborValue::Integer; }
    QCborArray toArray() const { return value().toArray(); }
    QCborMap toMap() const { return value().toMap(); }
    QString toString(const QString& defaultValue = {}) const {
        return value().toString(defaultValue);
    }
    qint64 toInteger(qint64 defaultValue = 0) const { return value().toInteger(defaultValue); }
    bool toBool(bool defaultValue = false) const { return value().toBool(defaultValue); }
    QString toDiagnosticNotation(
        QCborValue::DiagnosticNotationOptions options = QCborValue::Compact) const {
        return value().toDiagnosticNotation(options);
    }

private:
    QCborValue m_value;
    QByteArray m_bytes;
    qsizetype m_begin = 0;
    qsizetype m_end = 0;
};

struct FIS_EXPORT TServerAnswer {
    bool ok = false;
    TAnswerPayload payload; // the method's result when ok
    QString error;          // the clerk-readable text when !ok

    static TServerAnswer success(const TAnswerPayload& payload) { return {true, payload, {}}; }
    static TServerAnswer failure(const QString& text) { return {false, {}, text}; }
};

// Gives the payload of a successful answer. With raiseOnError true a failed answer raises
// EHostError with its text; with false it gives an undefined value. The third argument is kept
// for the callers' signature and selects nothing.
FIS_EXPORT TAnswerPayload CheckResultServ(const TServerAnswer& answer, bool raiseOnError,
                                          int reserved);
