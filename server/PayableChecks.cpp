#include "PayableChecks.h"

#include "Arguments.h"
#include "MethodTable.h"
#include "Records.h"

#include "core/HostExceptions.h"
#include "core/Services.h"

#include <QStringList>
#include <tuple>

namespace FisServer {

namespace {

const QString kPayable = QStringLiteral("Conta a pagar");

// The row's fields the checks need, once the layout is known to be right.
QString readRow(const TDataPacket& packet, TPayable& out) {
    const QVariantList& r = packet.rows[0];
    auto value = [&](const char* name) { return r[packet.indexOf(QLatin1String(name))]; };
    auto s = [&](const char* name) { return value(name).toString().trimmed(); };
    out.filial = s("CDFILIAL");
    out.lancto = s("NRLANCTONF");
    out.receita = s("CDRECEITAGNRE");
    out.filiOper = s("CDFILIOPER");
    out.packetBarra = s("STBARRAGUIA");
    out.packetLinha = s("STLINHADIGI");
    out.venc = value("DTVENCGUIA").toDateTime().isValid() ? value("DTVENCGUIA").toDateTime()
                                                          : value("DTVENCGNRE").toDateTime();
    out.multaTyped = value("VRMULTAGUIA").toDouble();
    out.jurosTyped = value("VRJUROGUIA").toDouble();
    try {
        const QString& M = FisProtocol::method(FisProtocol::MethodId::GeraContaPagar).name;
        out.multa = money(M, QStringLiteral("valor da multa"), out.multaTyped);
        out.juros = money(M, QStringLiteral("valor dos juros"), out.jurosTyped);
        out.total = money(M, QStringLiteral("valor a pagar"), value("VRIMPOSTONF").toDouble());
    } catch (const EHostError& e) {
        return e.text();
    }
    return QString();
}

QString checkKeys(const TPayable& p) {
    if (p.filial.isEmpty() || p.lancto.isEmpty())
        return QStringLiteral("Conta a pagar: filial e lançamento da nota devem ser informados.");
    if (p.imposto.isEmpty())
        return QStringLiteral("Conta a pagar: imposto deve ser informado.");
    for (const auto& [what, value, size] :
         {std::tuple{"empresa", p.empresa, 2}, std::tuple{"filial", p.filial, 4},
          std::tuple{"lançamento da nota", p.lancto, 10}, std::tuple{"imposto", p.imposto, 2},
          std::tuple{"filial de operação", p.filiOper, 4}})
        if (const QString why = tooLong(kPayable, QString::fromUtf8(what), value, size);
            !why.isEmpty())
            return why;
    return QString();
}

} // namespace

QString checkPayableLayout(const TDataPacket& p) {
    const QList<TPacketField>& want = FisProtocol::contaPagarFields();
    if (p.fields.size() != want.size())
        return QStringLiteral("Conta a pagar: o pacote deve ter os %1 campos da conta a pagar "
                              "(recebidos %2).")
            .arg(want.size())
            .arg(p.fields.size());
    for (int i = 0; i < want.size(); ++i) {
        const TPacketField& f = p.fields[i];
        const bool textType = f.type == TFieldType::String || f.type == TFieldType::FixedChar;
        const bool wantText = want[i].type == TFieldType::String;
        const bool typeOk =
            wantText ? textType
                     : (f.type == want[i].type ||
                        (want[i].type == TFieldType::Float && f.type == TFieldType::Integer));
        if (f.name.compare(want[i].name, Qt::CaseInsensitive) != 0 || !typeOk)
            return QStringLiteral("Conta a pagar: campo %1 do pacote deve ser %2 (%3); recebido "
                                  "%4 (%5).")
                .arg(i + 1)
                .arg(want[i].name, fieldTypeName(want[i].type), f.name, fieldTypeName(f.type));
    }
    return QString();
}

QString readPayable(const QCborArray& args, TPayable& out) {
    out.empresa = text(args[0]).trimmed();
    out.imposto = text(args[1]).trimmed();
    out.barra = text(args[3]).trimmed();
    out.linha = text(args[4]).trimmed();
    out.hist = text(args[5]);
    TDataPacket packet;
    try {
        packet = TDataPacket::fromCbor(args[2]);
    } catch (const EHostError& e) {
        return QStringLiteral("Conta a pagar: %1").arg(e.text());
    }
    if (const QString why = checkPayableLayout(packet); !why.isEmpty())
        return why;
    if (packet.rows.size() != 1)
        return QStringLiteral(
                   "Conta a pagar: o pacote deve ter exatamente uma linha (recebidas %1).")
            .arg(packet.rows.size());
    const QString amounts = readRow(packet, out);
    if (const QString why = checkKeys(out); !why.isEmpty())
        return why;
    if (!out.venc.isValid())
        return QStringLiteral("Conta a pagar: vencimento deve ser informado.");
    if (out.receita.isEmpty() || out.receita.size() > 4)
        return QStringLiteral("Conta a pagar: código da receita inválido: \"%1\".")
            .arg(out.receita);
    if (!amounts.isEmpty())
        return amounts;
    if (out.hist.size() > 255)
        return QStringLiteral("Conta a pagar: histórico com mais de 255 caracteres.");
    return QString();
}

QString checkBarcode(const QString& barcode) {
    if (barcode.size() != 44)
        return QStringLiteral("Código de barras deve ter 44 dígitos (recebidos %1).")
            .arg(barcode.size());
    for (QChar c : barcode)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return QStringLiteral("Código de barras deve conter apenas dígitos: %1").arg(barcode);
    const QChar dv = Mod10(barcode.left(3) + barcode.mid(4));
    if (dv != barcode[3])
        return QStringLiteral("Dígito verificador do código de barras inválido: %1 (esperado %2).")
            .arg(barcode)
            .arg(dv);
    return QString();
}

QString checkTypableLine(const QString& line, const QString& barcode) {
    QString digits;
    for (QChar c : line) {
        if (c.isDigit() && c <= QLatin1Char('9'))
            digits += c;
        else if (c != QLatin1Char(' ') && c != QLatin1Char('.'))
            return QStringLiteral("Linha digitável com caractere inválido: %1").arg(line);
    }
    if (line.size() > 60)
        return QStringLiteral("Linha digitável com mais de 60 caracteres: %1").arg(line);
    if (digits != TransformaBarraLinhaDigi(barcode))
        return QStringLiteral("Linha digitável não corresponde ao código de barras: %1").arg(line);
    return QString();
}

QString checkCollection(const TPayable& p) {
    if (const QString why = checkBarcode(p.barra); !why.isEmpty())
        return why;
    if (const QString why = checkTypableLine(p.linha, p.barra); !why.isEmpty())
        return why;
    if (!p.packetBarra.isEmpty() && p.packetBarra != p.barra)
        return QStringLiteral("Código de barras do pacote difere do informado: %1 / %2")
            .arg(p.packetBarra, p.barra);
    if (!p.packetLinha.isEmpty() && p.packetLinha != p.linha)
        return QStringLiteral("Linha digitável do pacote difere da informada: %1 / %2")
            .arg(p.packetLinha, p.linha);
    return QString();
}

qint64 amountDue(double tax, double interest, double fine) {
    return ToCentavos(tax) + ToCentavos(interest) + ToCentavos(fine);
}

QString checkAmounts(double total, qint64 due, const QString& barcode) {
    if (ToCentavos(total) != due)
        return QStringLiteral("Valor a pagar %1 difere de imposto + multa + juros (%2).")
            .arg(FormatBR(total), FormatBR(due / 100.0));
    const qint64 inBarcode = barcode.mid(4, 11).toLongLong();
    if (inBarcode != due)
        return QStringLiteral("Valor do código de barras (%1) difere do valor a pagar (%2).")
            .arg(FormatBR(inBarcode / 100.0), FormatBR(due / 100.0));
    return QString();
}

QString checkComposed(const TPayable& p, const TDarfInput& input) {
    TDarfBarcode want;
    try {
        want = MontaBarraDarf(input);
    } catch (const EHostError& e) {
        return QStringLiteral("Conta a pagar: %1").arg(e.text());
    }
    if (p.barra != want.STBARRAGUIA) {
        // Name the parts that differ, by their positions in the barcode.
        static const struct {
            int from, size;
            const char* name;
        } parts[] = {{4, 11, "valor"},
                     {19, 4, "vencimento"},
                     {24, 12, "inscrição da empresa"},
                     {36, 4, "código da receita"},
                     {40, 4, "data de entrada/saída"}};
        QStringList differ;
        for (const auto& part : parts)
            if (p.barra.mid(part.from, part.size) != want.STBARRAGUIA.mid(part.from, part.size))
                differ << QString::fromUtf8(part.name);
        if (differ.isEmpty())
            differ << QStringLiteral("dígitos");
        return QStringLiteral("Conta a pagar: código de barras %1 não corresponde à guia da nota "
                              "%2/%3 (esperado %4; difere em: %5).")
            .arg(p.barra, p.filial, p.lancto, want.STBARRAGUIA, differ.join(QStringLiteral(", ")));
    }
    if (p.linha != want.STLINHADIGI)
        return QStringLiteral("Conta a pagar: linha digitável \"%1\" não corresponde à guia da "
                              "nota %2/%3 (esperada \"%4\").")
            .arg(p.linha, p.filial, p.lancto, want.STLINHADIGI);
    return QString();
}

} // namespace FisServer
