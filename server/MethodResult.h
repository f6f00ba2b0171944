#pragma once
// What a method hands the dispatcher: the answer's result, and the summary its log line shows.
#include "core/DataPacket.h"

#include <QCborValue>
#include <QString>

namespace FisServer {

struct TMethodResult {
    QCborValue value;
    QString summary; // "ok", "ok 300 linhas", "MSG CONTAPAGAR_OK", "recusado: ..."
    QString remark;  // how the call ended, e.g. "após conflito de transação"; may be empty

    // A packet of rows: "ok N linhas".
    static TMethodResult rows(const TDataPacket& packet) {
        return {packet.toCbor(), QStringLiteral("ok %1 linhas").arg(packet.rows.size()), {}};
    }
    // Done, with nothing to tell: true, "ok".
    static TMethodResult done() { return {QCborValue(true), QStringLiteral("ok"), {}}; }
    // The payload is the text the clerk reads instead of a result.
    static TMethodResult refused(const QString& text) {
        return {text, QStringLiteral("recusado: ") + text, {}};
    }

    // The outcome column of the log line.
    QString outcome() const {
        return remark.isEmpty() ? summary
                                : summary + QStringLiteral(" (") + remark + QLatin1Char(')');
    }
};

} // namespace FisServer
