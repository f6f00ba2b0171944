#pragma once
// The eight methods of "Fis98100.rdmCriaEmissaoDarfDoc" on one database connection. Every fact
// lives in the database: nothing is remembered between calls, so any number of servers may
// serve one database. Each method takes its checked positional arguments, leaves the final
// values of by-reference arguments in args, and gives its result; refusals are EHostError with
// the text the clerk reads.
#include "core/DataPacket.h"

#include <QCborArray>
#include <QCborValue>
#include <QSqlDatabase>
#include <QStringList>

class TFisMethods {
public:
    explicit TFisMethods(QSqlDatabase db) : m_db(std::move(db)) {}

    QCborValue call(const QString& method, QCborArray& args);

    QCborValue GetTipoOper(QCborArray& args);
    QCborValue GetSerie(QCborArray& args);
    QCborValue GetNotaFiscal(QCborArray& args);
    QCborValue setDarfDoc(QCborArray& args);
    QCborValue GetParamFiscal(QCborArray& args);
    QCborValue GeraContaPagar(QCborArray& args);
    QCborValue GetVdCodRece(QCborArray& args);
    QCborValue GetCodRecePad(QCborArray& args);

    // Number of rows of the last packet answered (for the log).
    int lastRows() const { return m_lastRows; }
    // A remark for the log about how the last call ended (e.g. a lock conflict), or empty.
    QString lastRemark() const { return m_remark; }

private:
    QSqlDatabase m_db;
    int m_lastRows = -1;
    QString m_remark;
};

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

// A 44-digit collection barcode whose general check digit (position 4, modulo 10 over the
// other 43 digits) is right; else the reason.
QString checkBarcode(const QString& barcode);
// The typable line belongs to the barcode: its digits are the barcode's four blocks each with
// its modulo-10 digit; only digits, blanks and full stops. Empty when right, else the reason.
QString checkTypableLine(const QString& line, const QString& barcode);

// The payable packet's field layout (names, types, sizes), in order.
QList<TPacketField> contaPagarFields();
QList<TPacketField> notaFiscalFields();

} // namespace FisServer
