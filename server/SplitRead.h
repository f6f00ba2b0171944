#pragma once
// A large ordered answer read as two parts at once, each on an attachment and a core of its
// own, and merged back into one order. The parts split the rows by the parity of the date that
// leads the order, so rows of one day all come from one part and the merge compares days only:
// no collation of ours has to agree with the engine's.
#include "DataAccess.h"

#include <optional>

namespace FisServer {

// How many parts a large read is split into: 2 on a machine with two cores or more, else 1
// (read whole). Tests and benchmarks set it.
int splitReadParts();
void setSplitReadParts(int parts);

// sql's last parameter, after binds, takes the part (0 or 1) and keeps the rows whose date in
// column dateColumn has that parity; sql's ORDER BY starts with that date, ascending. Streams
// both parts' rows in that order, as streamPacket streams the whole statement's. Empty when
// splitting is off, the connection is inside a write transaction, or a second attachment
// cannot be had: the caller then reads the whole statement. A failure throws as TQuery's
// (what names the step).
std::optional<TStreamedPacket> streamSplitPacket(const QSqlDatabase& db, const QString& sql,
                                                 const QVariantList& binds, int dateColumn,
                                                 const QList<TPacketField>& fields, qint64 limit,
                                                 const TColumnText& replace, const QString& what);

} // namespace FisServer
