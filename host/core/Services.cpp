#include "Services.h"

#include "EditMask.h"
#include "HostExceptions.h"

#include <QLocale>
#include <charconv>
#include <cmath>
#include <string>

QString Ajusta(const QString& text, int width) {
    if (text.size() >= width)
        return text;
    return QString(width - text.size(), QLatin1Char('0')) + text;
}

bool EmptyString(const QString& text) {
    return text.trimmed().isEmpty();
}

namespace {

// Decimal rounding on the shortest text that reads back as value, so that a binary residue
// (2.675 is stored as 2.67499999...) never decides the result.
std::string roundDecimalText(double value, int places) {
    // Fixed notation of a double runs to 309 integer digits (1e308) or 340 characters (the
    // smallest subnormal); a short buffer would leave garbage for very large or tiny values.
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    if (res.ec != std::errc())
        throw EHostError(QStringLiteral("Valor inválido: %1").arg(value));
    std::string s(buf, res.ptr);
    bool negative = !s.empty() && s[0] == '-';
    if (negative)
        s.erase(0, 1);
    auto dot = s.find('.');
    std::string intPart = dot == std::string::npos ? s : s.substr(0, dot);
    std::string frac = dot == std::string::npos ? std::string() : s.substr(dot + 1);
    bool roundUp = frac.size() > size_t(places) && frac[places] >= '5';
    frac.resize(places, '0');
    std::string digits = intPart + frac;
    if (roundUp) {
        int i = int(digits.size()) - 1;
        for (; i >= 0; --i) {
            if (digits[i] == '9') {
                digits[i] = '0';
            } else {
                ++digits[i];
                break;
            }
        }
        if (i < 0)
            digits.insert(digits.begin(), '1');
    }
    std::string out;
    if (negative)
        out.push_back('-');
    const size_t intLen = digits.size() - size_t(places);
    if (intLen == 0)
        out.push_back('0');
    out.append(digits, 0, intLen);
    if (places > 0) {
        out.push_back('.');
        out.append(digits, intLen, std::string::npos);
    }
    return out;
}

} // namespace

double RoundDec(double value, int places) {
    if (!std::isfinite(value))
        return value;
    places = std::clamp(places, 0, 10);
    std::string t = roundDecimalText(value, places);
    double r = 0;
    std::from_chars(t.data(), t.data() + t.size(), r);
    return r == 0 ? 0.0 : r; // no negative zero
}

qint64 ToCentavos(double reais) {
    if (!std::isfinite(reais))
        throw EHostError(QStringLiteral("Valor inválido: %1").arg(reais));
    std::string t = roundDecimalText(reais, 2);
    bool negative = t[0] == '-';
    std::string digits;
    for (char c : t)
        if (c >= '0' && c <= '9')
            digits += c;
    qint64 v = 0;
    const auto res = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (res.ec != std::errc()) // beyond what a centavo count can hold: never a silent zero
        throw EHostError(QStringLiteral("Valor fora do limite: %1").arg(reais, 0, 'f', 2));
    return negative ? -v : v;
}

QString DateMask() {
    return QStringLiteral("!99/99/9999;1; ");
}
QString EmptyDateText() {
    return QStringLiteral("  /  /    ");
}

QDate PriDiaMes(const QDate& date) {
    return date.isValid() ? QDate(date.year(), date.month(), 1) : date;
}

QString PictPess(const QString& personType) {
    const QString t = personType.trimmed().toUpper();
    if (t == QLatin1String("F"))
        return QStringLiteral("999.999.999-99;0;_");
    if (t == QLatin1String("J"))
        return QStringLiteral("99.999.999/9999-99;0;_");
    return QString();
}

QString FormatMaskText(const QString& mask, const QString& text) {
    return TEditMask(mask).Format(text);
}

QChar Mod10(const QString& digits) {
    int sum = 0;
    int weight = 2;
    for (int i = digits.size() - 1; i >= 0; --i) {
        QChar c = digits.at(i);
        if (!c.isDigit() || c.unicode() > '9')
            throw EHostError(QStringLiteral("Mod10: \"%1\" não é numérico.").arg(digits));
        int p = (c.unicode() - '0') * weight;
        sum += p / 10 + p % 10;
        weight = weight == 2 ? 1 : 2;
    }
    int r = sum % 10;
    return QChar('0' + (r == 0 ? 0 : 10 - r));
}

QString TransformaBarraLinhaDigi(const QString& barcode) {
    if (barcode.size() != 44)
        throw EHostError(
            QStringLiteral("Código de barras deve ter 44 dígitos: \"%1\".").arg(barcode));
    QString out;
    for (int k = 0; k < 4; ++k) {
        QString block = barcode.mid(11 * k, 11);
        out += block;
        out += Mod10(block);
    }
    return out;
}

QString FormatBR(double value, int decimals) {
    static const QLocale br(QLocale::Portuguese, QLocale::Brazil);
    return br.toString(RoundDec(value, decimals), 'f', decimals);
}
