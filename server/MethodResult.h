#pragma once
// What a method hands the dispatcher: the answer's result, and the summary its log line shows.
#include "core/DataPacket.h"

#include <QCborValue>
#include <QString>
#include <utility>

namespace FisServer {

struct TMethodResult {
    QCborValue value;
    QString summary; // "ok", "ok 300 linhas", "MSG CONTAPAGAR_OK", "recusado: ..."
    QString remark;  // how the call ended, e.g. "após conflito de transação"; may be empty
    // A result already encoded as CBOR from encodedAt on, with free bytes before it for the
    // envelope (a large packet streamed from the database); value is unused then.
    QByteArray encoded;
    qsizetype encodedAt = 0;
    // The size of a result that exceeded the answer limit and was not kept.
    qint64 oversized = 0;

    // A packet of rows: "ok N linhas".
    static TMethodResult rows(const TDataPacket& packet) {
        TMethodResult r;
        r.value = packet.toCbor();
        r.summary = QStringLiteral("ok %1 linhas").arg(packet.rows.size());
        return r;
    }
    // Rows streamed as CBOR into bytes from headroom on, or oversized bytes left unkept.
    static TMethodResult streamedRows(QByteArray&& bytes, qsizetype headroom, qint64 rowCount,
                                      qint64 oversized) {
        TMethodResult r;
        r.summary = QStringLiteral("ok %1 linhas").arg(rowCount);
        r.oversized = oversized;
        r.encoded = std::move(bytes);
        r.encodedAt = headroom;
        return r;
    }
    // Done, with nothing to tell: true, "ok".
    static TMethodResult done() {
        TMethodResult r;
        r.value = QCborValue(true);
        r.summary = QStringLiteral("ok");
        return r;
    }
    // The payload is the text the clerk reads instead of a result.
    static TMethodResult refused(const QString& text) {
        TMethodResult r;
        r.value = text;
        r.summary = QStringLiteral("recusado: ") + text;
        return r;
    }

    // The outcome column of the log line.
    QString outcome() const {
        return remark.isEmpty() ? summary
                                : summary + QStringLiteral(" (") + remark + QLatin1Char(')');
    }
};

} // namespace FisServer
