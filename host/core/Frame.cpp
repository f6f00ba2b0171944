#include "Frame.h"

#include <QCborStreamReader>
#include <QIODevice>
#include <QtEndian>

namespace FisFrame {

QByteArray encode(const QCborValue& item) {
    const QByteArray body = item.toCbor();
    QByteArray out(4, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(body.size()), out.data());
    out += body;
    return out;
}

bool decodeItem(const QByteArray& bytes, QCborValue& item, QString* error) {
    if (bytes.isEmpty()) {
        if (error)
            *error = QStringLiteral("quadro vazio");
        return false;
    }
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
    if (!device)
        return;
    const qint64 n = device->bytesAvailable();
    if (n > 0)
        append(device->read(n));
}

TFrameReader::Status TFrameReader::next(QCborValue& item, QString* error) {
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
    if (m_buf.size() - m_pos - 4 < qint64(len))
        return Status::NeedMore;
    const QByteArray body = m_buf.mid(m_pos + 4, len);
    m_pos += 4 + len;
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
