#pragma once
// The notes family: the key lists the filter sends and the note query they narrow.
#include <QList>
#include <QString>

namespace FisServer {

struct TKey {
    QString kind; // "E" or "S"
    QString code;
    bool operator==(const TKey&) const = default;
};

// Parses the list form the pick list leaves: single-quoted keys separated by commas, e.g.
// 'E_1','S_2' (series, separator "_") or 'E01','S02' (operation types, no separator).
// Blanks around items are allowed; anything else (a quote inside a key, a missing quote, an
// unknown kind, text outside quotes) throws EHostError. Empty text gives an empty list.
QList<TKey> parseKeyList(const QString& text, bool seriesKeys, const QString& what);

} // namespace FisServer
