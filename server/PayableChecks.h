#pragma once
// The checks of GeraContaPagar that need no database: the payable record it receives, the
// barcode and typable line, and the amounts. Each gives the text the clerk reads when the check
// fails, or an empty text.
#include "core/DataPacket.h"
#include "issuing/DarfBarcode.h"

#include <QCborArray>
#include <QDateTime>
#include <QString>

namespace FisServer {

// GeraContaPagar's arguments and the one row of its payable packet.
struct TPayable {
    QString empresa, imposto, barra, linha, hist; // the arguments
    QString filial, lancto, receita, filiOper;    // from the packet
    QString packetBarra, packetLinha;             // the packet's own barcode and line, if any
    QDateTime venc;                               // DTVENCGUIA, else DTVENCGNRE
    double multa = 0, juros = 0, total = 0;       // two decimals, as the database keeps them
    double multaTyped = 0, jurosTyped = 0;        // as typed, before rounding
};

// Reads GeraContaPagar's arguments (company, tax, packet, barcode, typable line, history) into
// out and checks what needs no database: the packet's layout and its one row, the keys' sizes,
// the due date, the revenue code, the amounts and the history's size.
QString readPayable(const QCborArray& args, TPayable& out);

// The packet holds exactly the payable record's fields, by name (any case) and type, in order.
QString checkPayableLayout(const TDataPacket& packet);

// A 44-digit collection barcode whose general check digit (position 4, modulo 10 over the
// other 43 digits) is right.
QString checkBarcode(const QString& barcode);
// The typable line belongs to the barcode: its digits are the barcode's four blocks each with
// its modulo-10 digit; only digits, blanks and full stops.
QString checkTypableLine(const QString& line, const QString& barcode);
// The barcode and the typable line are right, and equal to the packet's when it carries them.
QString checkCollection(const TPayable& p);

// What the bank collects, in centavos: the tax plus the interest and the fine as they are stored,
// each rounded to the centavo, so that the payable's total is exactly the sum of its stored
// parts.
qint64 amountDue(double tax, double interest, double fine);
// The total to pay and the amount in the barcode both equal the amount due.
QString checkAmounts(double total, qint64 due, const QString& barcode);

// The barcode and typable line are the ones composed from the guide's own values (input: the
// note's tax and entry/exit date, the payable's stored fine and interest, due date and revenue
// code, the fiscal parameters and the company's registration); a value the composition refuses
// is refused with its text.
QString checkComposed(const TPayable& p, const TDarfInput& input);

} // namespace FisServer
