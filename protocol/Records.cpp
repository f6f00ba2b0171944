#include "Records.h"

namespace FisProtocol {

namespace {
using T = TFieldType;
TPacketField f(const char* name, TFieldType type, int size = 0) {
    return {QLatin1String(name), type, size};
}
} // namespace

const QList<TPacketField>& notaFiscalFields() {
    static const QList<TPacketField> fields{
        f("DSHISTGUIAPAGDOC", T::String, 255),
        f("NRNOTAFISC", T::String, 20),
        f("EMITENTE", T::String, 50),
        f("CDRECEGUIA", T::String, 4),
        f("CDSERIE", T::String, 5),
        f("NRLANCTONF", T::String, 10),
        f("CDFILIAL", T::String, 4),
        f("IDCHECK", T::FixedChar, 1),
        f("VRIMPOSTONF", T::Float),
        // The word "Entrada" or "Saída"; its first letter is the kind.
        f("IDENTRSAIDOP", T::String, 7),
        f("NRINSJUR", T::String, 20),
        f("CDINSCESTA", T::String, 16),
        f("CDINSCMUNI", T::String, 16),
        f("VRNOTAFISC", T::Float),
        f("VRMULTAGUIA", T::Float),
        f("VRJUROGUIA", T::Float),
        f("DTVENCGUIA", T::DateTime),
        f("NRLANCTONFDARF", T::String, 10),
        f("IDSTATUSGUIA", T::String, 2),
        f("IDINSJUR", T::String, 1),
        f("DTENTRSAID", T::DateTime),
        f("CDFILIOPER", T::String, 4),
    };
    return fields;
}

const QList<TPacketField>& contaPagarFields() {
    static const QList<TPacketField> fields{
        f("CDFILIAL", T::String, 4),     f("NRLANCTONF", T::String, 10),
        f("IDSTATUSGUIA", T::String, 2), f("VRMULTAGUIA", T::Float),
        f("VRJUROGUIA", T::Float),       f("DTVENCGUIA", T::DateTime),
        f("CDINSCESTA", T::String, 16),  f("CDINSCMUNI", T::String, 16),
        f("IDORIGDESTNF", T::String, 1), f("NRNOTAFISC", T::String, 20),
        f("CDDESTEMIT", T::String, 21),  f("VRNOTAFISC", T::Float),
        f("VRIMPOSTONF", T::Float),      f("CDRECEITAGNRE", T::String, 10),
        f("DTVENCGNRE", T::DateTime),    f("IDENTRSAIDOP", T::String, 1),
        f("IDCHECK", T::String, 20),     f("CDSERIEENTR", T::String, 20),
        f("STLINHADIGI", T::String, 60), f("STBARRAGUIA", T::String, 50),
        f("CDFILIOPER", T::String, 4),
    };
    return fields;
}

const QList<TPacketField>& resultFields() {
    static const QList<TPacketField> fields{
        f("CDRESULT", T::String, 3),
        f("DSRESULT", T::String, 250),
        f("IDTPRESULT", T::String, 2),
    };
    return fields;
}

const QList<TPacketField>& paramFiscalFields() {
    static const QList<TPacketField> fields{
        f("CDTIPOOPERPREPAG", T::String, 2),
        f("DTREFVENCDARF", T::DateTime),
        f("DTREFPAGDARF", T::DateTime),
    };
    return fields;
}

const QList<TPacketField>& codReceFields() {
    static const QList<TPacketField> fields{
        f("CDRECEPADRAO", T::String, 4),
        f("CDVARIACAO", T::String, 2),
        f("DSRECEPADRAO", T::String, 1000),
    };
    return fields;
}

const QList<TPacketField>& serieFields() {
    static const QList<TPacketField> fields{
        f("IDMARCADO", T::FixedChar, 1), f("CDSERIE", T::String, 5), f("DSSERIE", T::String, 20),
        f("TIPO", T::FixedChar, 1),      f("CHAVE", T::String, 7),
    };
    return fields;
}

const QList<TPacketField>& tipoOperFields() {
    static const QList<TPacketField> fields{
        f("IDMARCADO", T::FixedChar, 1), f("CDTIPOOPER", T::String, 2),
        f("NMTIPOOPER", T::String, 30),  f("IDENTRSAIDOP", T::String, 1),
        f("CHAVE", T::String, 3),
    };
    return fields;
}

} // namespace FisProtocol
