#pragma once
// Wire framing shared by the application server and its clients: every message is a 4-byte
// big-endian length followed by exactly one well-formed CBOR item of that many bytes.
//   request  {id, object, method, args}
//   answer   {id, result, refs}   refs: map {argument index: final value} of by-ref arguments
//            {id, error}
#include "HostExport.h"

#include <QByteArray>
#include <QCborMap>
#include <QCborValue>
#include <QList>
#include <QString>

class QIODevice;

namespace FisFrame {
// Answers may carry a large packet; requests are small.
inline constexpr qint64 DefaultMaxFrame = qint64(64) * 1024 * 1024;
inline constexpr qint64 DefaultMaxRequest = qint64(1) * 1024 * 1024;
// Nesting deeper than any message of the protocol (request, packet, row, tagged date) needs.
inline constexpr int MaxDepth = 32;

// Length prefix plus the item's CBOR encoding.
FIS_EXPORT QByteArray encode(const QCborValue& item);
// Parses bytes as exactly one well-formed CBOR item (nothing before or after it). The item must
// fit the decoding budget (decodeCost), so the memory a frame takes once decoded stays within a
// small multiple of its size whatever items it holds.
FIS_EXPORT bool decodeItem(const QByteArray& bytes, QCborValue& item, QString* error = nullptr);

// Bytes the decoded item takes at most, read without decoding it; -1 when the bytes are not one
// well-formed item or nest deeper than MaxDepth (error tells which).
FIS_EXPORT qint64 decodeCost(const QByteArray& bytes, QString* error = nullptr);
// The most a frame of size bytes may take once decoded.
FIS_EXPORT qint64 decodeBudget(qint64 size);

namespace detail {
// decodeCost's two walks, with the offsets where the top container's items begin and the last
// ends. The walk on raw bytes answers -2 for what it leaves to QCborStreamReader's; wherever it
// answers, the two must agree.
FIS_EXPORT qint64 rawWalkCost(const QByteArray& bytes, QList<qsizetype>* spans);
FIS_EXPORT qint64 readerWalkCost(const QByteArray& bytes, QString* error, QList<qsizetype>* spans);
} // namespace detail

// An answer as the client reads it: every key of the map decoded but result, whose CBOR stays
// in the frame's bytes (resultBegin..resultEnd, -1 when absent) for whoever reads it, so a large
// packet is never decoded whole. isMap is false when the item is well formed but no map.
struct FIS_EXPORT TAnswerEnvelope {
    bool isMap = false;
    QCborMap envelope;
    qsizetype resultBegin = -1;
    qsizetype resultEnd = -1;
};
// The checks of decodeItem (one well-formed item within the budget), then the envelope.
FIS_EXPORT bool decodeAnswer(const QByteArray& bytes, TAnswerEnvelope& answer,
                             QString* error = nullptr);
} // namespace FisFrame

// Accumulates bytes as they arrive and yields complete items one at a time.
//  - A frame that is not one well-formed CBOR item is skipped whole (Malformed): its length
//    told where it ends, so the stream stays usable.
//  - A length above the limit (Oversized) cannot be skipped safely: the reader stays in that
//    state and the owner closes the stream.
class FIS_EXPORT TFrameReader {
public:
    enum class Status { NeedMore, Item, Malformed, Oversized };

    explicit TFrameReader(qint64 maxFrame = FisFrame::DefaultMaxFrame);

    void append(const QByteArray& bytes);
    // Appends everything the device has ready.
    void readFrom(QIODevice* device);
    // Next complete item, if any; error describes Malformed and Oversized.
    Status next(QCborValue& item, QString* error = nullptr);
    // Next complete frame's bytes, undecoded (Item; Malformed only for an empty frame).
    Status nextFrame(QByteArray& body, QString* error = nullptr);
    void clear();

    qint64 maxFrame() const { return m_max; }
    qint64 buffered() const { return m_buf.size() - m_pos; }

private:
    static constexpr qsizetype GrowAfter = 64 * 1024;
    QByteArray m_buf;
    qsizetype m_pos = 0;
    qint64 m_max;
    bool m_broken = false;
    QString m_brokenText;
};
