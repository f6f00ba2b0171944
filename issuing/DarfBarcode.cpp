#include "DarfBarcode.h"

#include "core/HostExceptions.h"
#include "core/Services.h"

#include <cmath>

namespace {

constexpr qint64 kMaxCentavos = 99'999'999'999; // 11 digits
constexpr qint64 kMaxDays = 9999;               // 4 digits

bool isAsciiDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool allDigits(const QString& text) {
    for (QChar c : text)
        if (!isAsciiDigit(c))
            return false;
    return true;
}

// Brazilian form ("1.234,50") from exact centavos, so the value named is the one refused.
QString centavosText(qint64 centavos) {
    const qint64 a = centavos < 0 ? -centavos : centavos;
    QString whole = QString::number(a / 100);
    for (qsizetype i = whole.size() - 3; i > 0; i -= 3)
        whole.insert(i, QLatin1Char('.'));
    return QStringLiteral("%1%2,%3")
        .arg(centavos < 0 ? QStringLiteral("-") : QString(), whole)
        .arg(a % 100, 2, 10, QLatin1Char('0'));
}

QString dateText(const QDate& d) {
    return d.toString(QStringLiteral("dd/MM/yyyy"));
}

qint64 totalCentavos(double total) {
    if (!std::isfinite(total))
        throw EHostError(QStringLiteral("Valor total inválido (%1); o código de barras precisa de "
                                        "um valor em reais.")
                             .arg(total));
    // Beyond this the decimal text no longer fits a 64-bit count of centavos; refuse it before
    // converting so that nothing wraps around into a small amount.
    if (std::isfinite(total) && std::fabs(total) >= 1e15) {
        if (total < 0)
            throw EHostError(QStringLiteral("Valor total %1 é negativo; o código de barras não "
                                            "aceita valor negativo.")
                                 .arg(FormatBR(total)));
        throw EHostError(QStringLiteral("Valor total %1 excede 11 dígitos do código de barras.")
                             .arg(FormatBR(total)));
    }
    const qint64 c = ToCentavos(total);
    if (c < 0)
        throw EHostError(
            QStringLiteral(
                "Valor total %1 é negativo; o código de barras não aceita valor negativo.")
                .arg(centavosText(c)));
    if (c > kMaxCentavos)
        throw EHostError(QStringLiteral("Valor total %1 excede 11 dígitos do código de barras.")
                             .arg(centavosText(c)));
    return c;
}

void requireDate(const QDate& d, const QString& what) {
    if (!d.isValid())
        throw EHostError(QStringLiteral("%1 não informada.").arg(what));
}

// Days from reference to date, within the four digits the layout gives them.
qint64 dayCount(const QDate& reference, const QDate& date, const QString& dateName,
                const QString& referenceName) {
    const qint64 days = reference.daysTo(date);
    if (days < 0)
        throw EHostError(QStringLiteral("%1 %2 é anterior à %3 %4; o código de barras não aceita "
                                        "contagem de dias negativa.")
                             .arg(dateName, dateText(date), referenceName, dateText(reference)));
    if (days > kMaxDays)
        throw EHostError(QStringLiteral("%1 %2 está %3 dias após a %4 %5; o código de barras "
                                        "aceita no máximo 9999 dias.")
                             .arg(dateName, dateText(date))
                             .arg(days)
                             .arg(referenceName, dateText(reference)));
    return days;
}

QString registrationDigits(const QString& registration) {
    QString digits;
    digits.reserve(registration.size());
    for (QChar c : registration) {
        if (c == QLatin1Char('.') || c == QLatin1Char('/') || c == QLatin1Char('-') || c.isSpace())
            continue;
        digits += c;
    }
    if (digits.isEmpty())
        throw EHostError(QStringLiteral("Inscrição da empresa não informada."));
    if (!allDigits(digits))
        throw EHostError(
            QStringLiteral("Inscrição da empresa \"%1\" contém caracteres que não são dígitos.")
                .arg(registration));
    if (digits.size() > 14)
        throw EHostError(
            QStringLiteral("Inscrição da empresa \"%1\" tem %2 dígitos; o máximo é 14.")
                .arg(registration)
                .arg(digits.size()));
    return digits;
}

QString revenueCode(const QString& code) {
    const QString c = code.trimmed();
    if (c.size() != 4 || !allDigits(c))
        throw EHostError(
            QStringLiteral("Código da Receita \"%1\" deve ter exatamente 4 dígitos.").arg(code));
    return c;
}

} // namespace

QString DarfLineMask() {
    return QStringLiteral("99999999999.9 99999999999.9 99999999999.9 99999999999.9;0; ");
}

TDarfBarcode MontaBarraDarf(const TDarfInput& in) {
    TDarfBarcode out;
    out.VRIMPOSTONF = RoundDec(in.VRIMPOSTONF.value_or(0.0) + in.VRJUROGUIA.value_or(0.0) +
                                   in.VRMULTAGUIA.value_or(0.0),
                               2);
    out.totalCentavos = totalCentavos(out.VRIMPOSTONF);

    requireDate(in.DTVENCGUIA, QStringLiteral("Data de vencimento da guia"));
    requireDate(in.DTENTRSAID, QStringLiteral("Data de entrada/saída da nota"));
    requireDate(in.DTREFPAGDARF,
                QStringLiteral("Data de referência de pagamento da DARF (parâmetros fiscais)"));
    requireDate(in.DTREFVENCDARF,
                QStringLiteral("Data de referência de vencimento da DARF (parâmetros fiscais)"));
    const qint64 dueDays = dayCount(in.DTREFPAGDARF, in.DTVENCGUIA, QStringLiteral("Vencimento"),
                                    QStringLiteral("data de referência de pagamento"));
    const qint64 entryDays =
        dayCount(in.DTREFVENCDARF, in.DTENTRSAID, QStringLiteral("Data de entrada/saída"),
                 QStringLiteral("data de referência de vencimento"));

    // A CPF (11 digits) is padded to a CNPJ's 14 and, like a CNPJ, loses its last two digits.
    const QString registration = Ajusta(registrationDigits(in.NRINSJUREMPR), 14).left(12);
    const QString revenue = revenueCode(in.CDRECEGUIA);

    const QString body = QStringLiteral("856") + Ajusta(QString::number(out.totalCentavos), 11) +
                         QStringLiteral("0064") + Ajusta(QString::number(dueDays), 4) +
                         QStringLiteral("1") + registration + revenue +
                         Ajusta(QString::number(entryDays), 4);
    out.STBARRAGUIA = body.left(3) + Mod10(body) + body.mid(3);
    out.STLINHADIGI = FormatMaskText(DarfLineMask(), TransformaBarraLinhaDigi(out.STBARRAGUIA));
    return out;
}

TDarfCheck ConfereBarraDarf(const QString& text) {
    QString digits;
    for (QChar c : text) {
        if (c == QLatin1Char('.') || c == QLatin1Char('-') || c.isSpace())
            continue;
        if (!isAsciiDigit(c))
            throw EHostError(QStringLiteral("\"%1\" contém o caractere \"%2\", que não é dígito.")
                                 .arg(text, QString(c)));
        digits += c;
    }
    TDarfCheck r;
    QStringList groupFaults;
    if (digits.size() == 44) {
        r.barcode = digits;
    } else if (digits.size() == 48) {
        r.isLine = true;
        for (int k = 0; k < 4; ++k) {
            const QString block = digits.mid(12 * k, 11);
            const QChar found = digits.at(12 * k + 11);
            const QChar expected = Mod10(block);
            if (found != expected)
                groupFaults << QStringLiteral("dígito do grupo %1 incorreto: esperado %2, "
                                              "encontrado %3")
                                   .arg(k + 1)
                                   .arg(expected)
                                   .arg(found);
            r.barcode += block;
        }
    } else {
        throw EHostError(QStringLiteral("\"%1\" tem %2 dígitos; um código de barras tem 44 e uma "
                                        "linha digitável 48.")
                             .arg(text)
                             .arg(digits.size()));
    }

    if (r.barcode.at(0) != QLatin1Char('8'))
        r.faults << QStringLiteral("posição 1 deve ser 8 (arrecadação), encontrado %1")
                        .arg(r.barcode.at(0));
    if (r.barcode.at(2) != QLatin1Char('6') && r.barcode.at(2) != QLatin1Char('7'))
        r.faults << QStringLiteral("identificador de valor (posição 3) deve ser 6 ou 7 (módulo "
                                   "10), encontrado %1")
                        .arg(r.barcode.at(2));
    const QChar expected = Mod10(r.barcode.left(3) + r.barcode.mid(4));
    const QChar found = r.barcode.at(3);
    if (found != expected)
        r.faults << QStringLiteral("dígito verificador geral incorreto: esperado %1, encontrado %2")
                        .arg(expected)
                        .arg(found);
    r.faults += groupFaults;
    r.line = FormatMaskText(DarfLineMask(), TransformaBarraLinhaDigi(r.barcode));
    return r;
}
