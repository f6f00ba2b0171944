#pragma once
// The records that travel as data packets, one table each, fields in the order the packet
// carries them. The server builds its packets from these tables and checks the payable against
// its table; the screen builds its datasets from them.
#include "core/DataPacket.h"

#include <QList>

namespace FisProtocol {

// cdsNotaFiscal: one row per note with an amount for the tax (GetNotaFiscal), 22 fields.
const QList<TPacketField>& notaFiscalFields();
// The payable GeraContaPagar takes, 21 fields.
const QList<TPacketField>& contaPagarFields();
// The result row GeraContaPagar answers: kind ("MSG"/"ERR"), key, result type.
const QList<TPacketField>& resultFields();
// GetParamFiscal's one row.
const QList<TPacketField>& paramFiscalFields();
// A tax's revenue codes (GetVdCodRece, GetCodRecePad).
const QList<TPacketField>& codReceFields();
// The series pick list (GetSerie): mark, code, name, kind, key.
const QList<TPacketField>& serieFields();
// The operation-type pick list (GetTipoOper): mark, code, name, kind, key.
const QList<TPacketField>& tipoOperFields();

} // namespace FisProtocol
