#include "Frame.h"
#include "DataPacket.h"
#include "Envelope.h"

#include <QCborStreamReader>
#include <QIODevice>
#include <QtEndian>

#include <algorithm>

namespace FisFrame {

QByteArray encode(const QCborValue& item) {
    const QByteArray body = item.toCbor();
    QByteArray out(4, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(body.size()), out.data());
    out += body;
    return out;
}

namespace {
// What decoding costs at most, measured on Qt 6's QCborValue (heap bytes per item, with the
// slack of containers that grow by doubling): a scalar or an empty string is an element of its
// container (up to 28 bytes); a string also keeps its bytes with a header, up to twice over while
// the container's data grows; an array or map is a container of its own (100 to 150 bytes); a
// tag is a container holding the tag and its item (180 bytes; 260 when Qt turns a date, URL or
// UUID into its own text).
constexpr qint64 ElementCost = 28;
constexpr qint64 StringHeader = 24;
constexpr qint64 ContainerCost = 160;
constexpr qint64 TagCost = 280;
// Decoded bytes allowed per frame byte, and for any frame. Frames of nothing but small scalars
// or one-letter texts cost up to 28 and 39 times their size, which any frame may reach; deep
// nesting and tags cost up to 130 times and are refused beyond this.
constexpr qint64 BudgetFactor = 48;
constexpr qint64 BudgetSlack = 64 * 1024;

QString costError(QCborStreamReader& r) {
    return QStringLiteral("CBOR inválido: %1").arg(r.lastError().toString());
}
} // namespace

qint64 decodeBudget(qint64 size) {
    return BudgetFactor * size + BudgetSlack;
}

namespace {
// Steps r past the text or byte string it is on; its length, or -1 with why.
qint64 skipString(QCborStreamReader& r, const QByteArray& bytes, QString& why) {
    const bool text = r.isString();
    qint64 len = 0;
    if (r.isLengthKnown()) {
        len = qint64(r.length());
        r.next();
        // A declared length past the frame's end is refused before it is counted: it may be
        // near 2^64.
        if (r.lastError() != QCborError::NoError) {
            why = costError(r);
            return -1;
        }
        if (len < 0 || len > bytes.size()) {
            why = QStringLiteral("CBOR inválido: comprimento além do fim do quadro");
            return -1;
        }
        // Checked here because a result may be read from the frame without decoding it.
        if (text &&
            !QByteArrayView(bytes.constData() + r.currentOffset() - len, len).isValidUtf8()) {
            why = QStringLiteral("CBOR inválido: texto que não é UTF-8");
            return -1;
        }
        return len;
    }
    // A string in chunks: what the chunks add up to.
    auto more = [&](qint64& n) {
        if (text) {
            auto c = r.readString();
            n += c.data.size();
            return c.status;
        }
        auto c = r.readByteArray();
        n += c.data.size();
        return c.status;
    };
    QCborStreamReader::StringResultCode st;
    while ((st = more(len)) == QCborStreamReader::Ok) {
    }
    if (st == QCborStreamReader::Error) {
        why = costError(r);
        return -1;
    }
    return len;
}

constexpr qint64 Undecided = -2;

// The walk below on the bytes themselves, for the items this system writes: definite lengths,
// UTF-8 texts, numbers, true/false/null and tags. Anything else, and any fault, is Undecided and
// left to the reader's walk, which then finds the same items and words the refusal; a large
// answer is stepped through many times faster this way.
qint64 rawWalkCost(const QByteArray& bytes, QList<qsizetype>* spans) {
    const char* const data = bytes.constData();
    const qsizetype size = bytes.size();
    qsizetype at = 0;
    qint64 cost = 0;
    int depth = 0, level = 0, tags = 0;
    int wrap[MaxDepth];
    quint64 left[MaxDepth]; // items still to come in each entered container
    bool topRead = false;
    const qsizetype spansBefore = spans ? spans->size() : 0;
    auto undecided = [&] {
        if (spans)
            spans->resize(spansBefore);
        return Undecided;
    };
    while (depth > 0 || !topRead) {
        if (spans && depth == 1 && tags == 0)
            spans->append(at);
        if (depth > 0 && left[depth - 1] == 0) {
            --depth;
            level -= wrap[depth] + 1;
            continue;
        }
        FisPacketScan::Head h;
        if (!FisPacketScan::readHead(data, size, at, h) || h.indefinite)
            return undecided();
        at += h.size;
        const quint64 arg = h.value;
        if (h.major == 6) {
            cost += TagCost;
            if (level + ++tags > MaxDepth)
                return undecided();
            continue;
        }
        if (depth == 0)
            topRead = true;
        else
            --left[depth - 1];
        switch (h.major) {
        case 2:
        case 3:
            if (arg > quint64(size - at) ||
                (h.major == 3 && !QByteArrayView(data + at, qsizetype(arg)).isValidUtf8()))
                return undecided();
            at += qsizetype(arg);
            cost += ElementCost + (arg > 0 ? 2 * (StringHeader + qint64(arg)) : 0);
            break;
        case 4:
        case 5:
            // Every item takes a byte at least, so a count past the frame's end is a fault.
            if (arg > quint64(size - at) || level + tags + 1 > MaxDepth)
                return undecided();
            cost += ContainerCost + ElementCost;
            left[depth] = h.major == 5 ? 2 * arg : arg;
            wrap[depth++] = tags;
            level += tags + 1;
            break;
        case 7:
            // false, true, null, undefined (one byte, 20 to 23) and the three float sizes; other
            // simple values go to the reader.
            if (h.size == 1 ? arg < 20 || arg > 23 : h.size == 2)
                return undecided();
            cost += ElementCost;
            break;
        default: // integers
            cost += ElementCost;
            break;
        }
        tags = 0;
    }
    // Bytes after the item are the reader's to word.
    if (at != size)
        return undecided();
    if (spans)
        spans->append(at);
    return cost;
}

// decodeCost's walk. With spans, the offsets where the top container's items begin are
// appended to it, and the offset where the last one ends: a map's keys and values one after
// another, found in the same walk that checks them.
qint64 readerWalkCost(const QByteArray& bytes, QString* error, QList<qsizetype>* spans) {
    QCborStreamReader r(bytes);
    auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return qint64(-1);
    };
    const QString tooDeep = QStringLiteral("aninhamento acima de %1 níveis").arg(MaxDepth);
    qint64 cost = 0;
    int depth = 0;      // containers entered
    int level = 0;      // nesting as decoded: a tag holds its item as a container holds its own
    int tags = 0;       // tags read that wrap the next item
    int wrap[MaxDepth]; // tags that wrapped each entered container
    bool topRead = false;
    // Walked without recursion: containers are entered, everything else is skipped over with its
    // cost counted. A tag and the item it tags are one item of their container.
    while (depth > 0 || !topRead) {
        if (r.lastError() != QCborError::NoError)
            return fail(costError(r));
        if (spans && depth == 1 && tags == 0)
            spans->append(qsizetype(r.currentOffset()));
        if (depth > 0 && !r.hasNext()) {
            if (!r.leaveContainer())
                return fail(costError(r));
            --depth;
            level -= wrap[depth] + 1;
            continue;
        }
        if (r.type() == QCborStreamReader::Tag) {
            cost += TagCost;
            if (level + ++tags > MaxDepth)
                return fail(tooDeep);
            r.next();
            continue;
        }
        if (depth == 0)
            topRead = true;
        switch (r.type()) {
        case QCborStreamReader::Array:
        case QCborStreamReader::Map:
            cost += ContainerCost + ElementCost;
            if (level + tags + 1 > MaxDepth)
                return fail(tooDeep);
            if (!r.enterContainer())
                return fail(costError(r));
            wrap[depth++] = tags;
            level += tags + 1;
            tags = 0;
            break;
        case QCborStreamReader::String:
        case QCborStreamReader::ByteArray: {
            QString why;
            const qint64 len = skipString(r, bytes, why);
            if (len < 0)
                return fail(why);
            cost += ElementCost + (len > 0 ? 2 * (StringHeader + len) : 0);
            tags = 0;
            break;
        }
        case QCborStreamReader::Invalid:
            return fail(costError(r));
        default:
            cost += ElementCost;
            tags = 0;
            r.next();
            break;
        }
    }
    if (r.lastError() != QCborError::NoError)
        return fail(costError(r));
    if (spans)
        spans->append(qsizetype(r.currentOffset()));
    return cost;
}

qint64 walkCost(const QByteArray& bytes, QString* error, QList<qsizetype>* spans) {
    const qint64 cost = rawWalkCost(bytes, spans);
    return cost != Undecided ? cost : readerWalkCost(bytes, error, spans);
}

bool checkItem(const QByteArray& bytes, QString* error, QList<qsizetype>* spans) {
    if (bytes.isEmpty()) {
        if (error)
            *error = QStringLiteral("quadro vazio");
        return false;
    }
    const qint64 cost = walkCost(bytes, error, spans);
    if (cost < 0)
        return false;
    if (cost > decodeBudget(bytes.size())) {
        if (error)
            *error = QStringLiteral("itens demais para um quadro de %1 bytes").arg(bytes.size());
        return false;
    }
    return true;
}
} // namespace

qint64 decodeCost(const QByteArray& bytes, QString* error) {
    return walkCost(bytes, error, nullptr);
}

namespace detail {
qint64 rawWalkCost(const QByteArray& bytes, QList<qsizetype>* spans) {
    const qint64 cost = FisFrame::rawWalkCost(bytes, spans);
    return cost == Undecided ? -2 : cost;
}
qint64 readerWalkCost(const QByteArray& bytes, QString* error, QList<qsizetype>* spans) {
    return FisFrame::readerWalkCost(bytes, error, spans);
}
} // namespace detail

bool decodeItem(const QByteArray& bytes, QCborValue& item, QString* error) {
    if (!checkItem(bytes, error, nullptr))
        return false;
    QCborStreamReader reader(bytes);
    QCborValue v = QCborValue::fromCbor(reader);
    const QCborError err = reader.lastError();
    if (err != QCborError::NoError) {
        if (error)
            *error = QStringLiteral("CBOR inválido: %1").arg(err.toString());
        return false;
    }
    if (reader.currentOffset() != bytes.size()) {
        if (error)
            *error = QStringLiteral("bytes sobrando depois do item CBOR");
        return false;
    }
    item = v;
    return true;
}

bool decodeAnswer(const QByteArray& bytes, TAnswerEnvelope& answer, QString* error) {
    QList<qsizetype> spans;
    if (!checkItem(bytes, error, &spans))
        return false;
    // The walk's last offset is where the item ended.
    if (spans.last() != bytes.size()) {
        if (error)
            *error = QStringLiteral("bytes sobrando depois do item CBOR");
        return false;
    }
    answer = TAnswerEnvelope();
    answer.isMap = quint8(bytes[0]) >> 5 == 5;
    if (!answer.isMap)
        return true;
    // Keys and values alternate; all but the result are small and decoded where they lie.
    auto part = [&](qsizetype i) {
        return QByteArray::fromRawData(bytes.constData() + spans[i], spans[i + 1] - spans[i]);
    };
    for (qsizetype i = 0; i + 3 < spans.size(); i += 2) {
        QCborValue key;
        if (!decodeItem(part(i), key, error))
            return false;
        if (key.isString() && key.toString() == FisProtocol::Key::Result) {
            if (answer.resultBegin < 0) {
                answer.resultBegin = spans[i + 1];
                answer.resultEnd = spans[i + 2];
            }
            continue;
        }
        QCborValue value;
        if (!decodeItem(part(i + 1), value, error))
            return false;
        if (!answer.envelope.contains(key))
            answer.envelope.insert(key, value);
    }
    return true;
}

} // namespace FisFrame

TFrameReader::TFrameReader(qint64 maxFrame) : m_max(maxFrame) {}

void TFrameReader::append(const QByteArray& bytes) {
    if (m_broken)
        return;
    // Drop what was consumed before growing, so a long-lived stream does not keep old frames.
    if (m_pos > 0 && m_pos == m_buf.size()) {
        m_buf.clear();
        m_pos = 0;
    } else if (m_pos > (1 << 20)) {
        m_buf.remove(0, m_pos);
        m_pos = 0;
    }
    m_buf.append(bytes);
}

void TFrameReader::readFrom(QIODevice* device) {
    if (!device || m_broken)
        return;
    const qint64 n = device->bytesAvailable();
    if (n <= 0)
        return;
    append(QByteArray());
    // Straight into the buffer: a large answer is not copied on its way in.
    const qsizetype old = m_buf.size();
    m_buf.resize(old + n);
    const qint64 got = device->read(m_buf.data() + old, n);
    m_buf.resize(old + std::max<qint64>(got, 0));
}

TFrameReader::Status TFrameReader::nextFrame(QByteArray& body, QString* error) {
    if (m_broken) {
        if (error)
            *error = m_brokenText;
        return Status::Oversized;
    }
    if (m_buf.size() - m_pos < 4)
        return Status::NeedMore;
    const quint32 len = qFromBigEndian<quint32>(m_buf.constData() + m_pos);
    if (qint64(len) > m_max) {
        m_broken = true;
        m_brokenText = QStringLiteral("quadro de %1 bytes excede o limite de %2 bytes")
                           .arg(qint64(len))
                           .arg(m_max);
        m_buf.clear();
        m_pos = 0;
        if (error)
            *error = m_brokenText;
        return Status::Oversized;
    }
    const qsizetype have = m_buf.size() - m_pos - 4;
    if (have < qsizetype(len)) {
        // Once a large frame's first bytes are in, room for all of it is taken at once, so the
        // buffer grows once instead of doubling; a length alone gets no memory.
        if (have >= GrowAfter && m_buf.capacity() - m_pos < 4 + qsizetype(len)) {
            m_buf.remove(0, m_pos);
            m_pos = 0;
            m_buf.reserve(4 + qsizetype(len));
        }
        return Status::NeedMore;
    }
    if (m_pos == 0 && m_buf.size() == 4 + qsizetype(len)) {
        // The buffer is this frame: handed over without a copy.
        body = std::move(m_buf);
        body.remove(0, 4);
        m_buf = QByteArray();
    } else {
        body = QByteArray(m_buf.constData() + m_pos + 4, len);
        m_pos += 4 + len;
    }
    if (body.isEmpty()) {
        if (error)
            *error = QStringLiteral("quadro vazio");
        return Status::Malformed;
    }
    return Status::Item;
}

TFrameReader::Status TFrameReader::next(QCborValue& item, QString* error) {
    QByteArray body;
    const Status st = nextFrame(body, error);
    if (st != Status::Item)
        return st;
    QString why;
    if (!FisFrame::decodeItem(body, item, &why)) {
        if (error)
            *error = why;
        return Status::Malformed;
    }
    return Status::Item;
}

void TFrameReader::clear() {
    m_buf.clear();
    m_pos = 0;
    m_broken = false;
    m_brokenText.clear();
}
