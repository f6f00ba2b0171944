// libFuzzer target: any bytes a client can send, through the server's frame reader, the decoding
// budget, the request reader and argument checks, and the parts of the methods that need no
// database (packets, payable arguments, key lists). Nothing may crash, hang or leak; every input
// ends as an item, a refusal or a wait for more bytes.
#include "Dispatcher.h"
#include "Notes.h"
#include "PayableChecks.h"
#include "Session.h"
#include "core/DataPacket.h"
#include "core/Frame.h"
#include "core/HostExceptions.h"

#include <QCborArray>
#include <QCborMap>
#include <QSqlDatabase>
#include <cstddef>
#include <cstdint>

namespace {

void exercise(const QCborValue& item) {
    // The dispatcher as the server runs it, with a database that cannot be opened: every
    // request that passes the checks ends there, with a text.
    TDispatcher dispatcher([]() -> QSqlDatabase { throw EHostError(QStringLiteral("sem banco")); });
    TDispatcher::TLog log;
    dispatcher.handle(item, log);
    // And as a network client meets it: with a session to check, Login read first.
    FisServer::TSession session;
    TDispatcher gated([]() -> QSqlDatabase { throw EHostError(QStringLiteral("sem banco")); },
                      &session);
    gated.handle(item, log);

    const QCborArray args = item.toMap().value(QStringLiteral("args")).toArray();
    for (const QCborValue& v : args) {
        try {
            TDataPacket::fromCbor(v);
        } catch (const EHostError&) {
        }
        if (v.isString())
            for (bool series : {true, false})
                try {
                    FisServer::parseKeyList(v.toString(), series, QStringLiteral("lista"));
                } catch (const EHostError&) {
                }
    }
    QCborArray six = args;
    while (six.size() < 6)
        six.append(QCborValue());
    FisServer::TPayable p;
    if (FisServer::readPayable(six, p).isEmpty()) {
        FisServer::checkCollection(p);
        FisServer::checkAmounts(p.total, FisServer::amountDue(p.total, p.juros, p.multa), p.barra);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    // As one frame's body.
    QCborValue item;
    if (FisFrame::decodeItem(bytes, item))
        exercise(item);
    // As a stream of frames arriving in two pieces.
    TFrameReader reader(FisFrame::DefaultMaxRequest);
    reader.append(bytes.left(bytes.size() / 2));
    for (int round = 0; round < 2; ++round) {
        for (;;) {
            QString why;
            const auto st = reader.next(item, &why);
            if (st == TFrameReader::Status::NeedMore || st == TFrameReader::Status::Oversized)
                break;
            if (st == TFrameReader::Status::Item)
                exercise(item);
        }
        reader.append(bytes.mid(bytes.size() / 2));
    }
    return 0;
}
