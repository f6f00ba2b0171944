// fis98100-barcode: composes the DARF collection barcode and typable line from values typed on
// the command line, or checks the digits of a barcode or typable line a taxpayer read out.
// Exit status: 0 success, 1 a check digit is wrong, 2 bad input.
#include "core/HostExceptions.h"
#include "issuing/DarfBarcode.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QTextStream>

#include <cstdio>

namespace {

enum ExitCode { ExitOk = 0, ExitWrongDigit = 1, ExitBadInput = 2 };

struct BadInput {
    QString text;
};

QTextStream& out() {
    static QTextStream s(stdout);
    return s;
}
QTextStream& err() {
    static QTextStream s(stderr);
    return s;
}

std::optional<double> amountOption(const QCommandLineParser& p, const QString& name,
                                   bool required) {
    if (!p.isSet(name)) {
        if (required)
            throw BadInput{QStringLiteral("opção --%1 não informada").arg(name)};
        return std::nullopt;
    }
    const QString v = p.value(name).trimmed();
    // Only plain decimals with a full stop: a comma or an exponent is a typing slip here.
    static const QRegularExpression re(QStringLiteral("^[+-]?[0-9]+(\\.[0-9]+)?$"));
    bool ok = re.match(v).hasMatch();
    const double d = ok ? v.toDouble(&ok) : 0.0;
    if (!ok)
        throw BadInput{
            QStringLiteral("--%1: \"%2\" não é um valor válido (use ponto decimal, ex.: 1234.50)")
                .arg(name, v)};
    // A guide collects; a negative amount would only lower the total printed in the barcode.
    if (v.startsWith(QLatin1Char('-')))
        throw BadInput{QStringLiteral("--%1: \"%2\" é negativo; o valor deve ser zero ou positivo")
                           .arg(name, v)};
    return d;
}

QDate dateOption(const QCommandLineParser& p, const QString& name) {
    if (!p.isSet(name))
        throw BadInput{QStringLiteral("opção --%1 não informada").arg(name)};
    const QString v = p.value(name).trimmed();
    static const QRegularExpression re(QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2}$"));
    const QDate d =
        re.match(v).hasMatch() ? QDate::fromString(v, QStringLiteral("yyyy-MM-dd")) : QDate();
    if (!d.isValid())
        throw BadInput{
            QStringLiteral("--%1: \"%2\" não é uma data válida (use AAAA-MM-DD)").arg(name, v)};
    return d;
}

QString textOption(const QCommandLineParser& p, const QString& name) {
    if (!p.isSet(name))
        throw BadInput{QStringLiteral("opção --%1 não informada").arg(name)};
    return p.value(name);
}

int compose(const QCommandLineParser& p) {
    TDarfInput in;
    in.VRIMPOSTONF = amountOption(p, QStringLiteral("tax"), true);
    in.VRJUROGUIA = amountOption(p, QStringLiteral("interest"), false);
    in.VRMULTAGUIA = amountOption(p, QStringLiteral("fine"), false);
    in.DTVENCGUIA = dateOption(p, QStringLiteral("due"));
    in.DTENTRSAID = dateOption(p, QStringLiteral("entry"));
    in.DTREFPAGDARF = dateOption(p, QStringLiteral("ref-pay"));
    in.DTREFVENCDARF = dateOption(p, QStringLiteral("ref-due"));
    in.NRINSJUREMPR = textOption(p, QStringLiteral("registration"));
    // "-" is punctuation inside a CNPJ, but in front it is a sign, which the composition would
    // drop and read the rest as a registration.
    if (const QString r = in.NRINSJUREMPR.trimmed();
        r.startsWith(QLatin1Char('-')) || r.startsWith(QLatin1Char('+')))
        throw BadInput{QStringLiteral("--registration: \"%1\" tem sinal; informe o CNPJ ou CPF "
                                      "(dígitos, com ou sem pontuação)")
                           .arg(r)};
    in.CDRECEGUIA = textOption(p, QStringLiteral("revenue"));
    const TDarfBarcode b = MontaBarraDarf(in);
    out() << b.STBARRAGUIA << '\n' << b.STLINHADIGI << '\n';
    return ExitOk;
}

int check(const QString& text) {
    const TDarfCheck c = ConfereBarraDarf(text);
    if (!c.faults.isEmpty()) {
        for (const QString& f : c.faults)
            err() << f << '\n';
        return ExitWrongDigit;
    }
    out() << c.barcode << '\n'
          << c.line << '\n'
          << (c.isLine ? QStringLiteral("Linha digitável correta.")
                       : QStringLiteral("Código de barras correto."))
          << '\n';
    return ExitOk;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fis98100-barcode"));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Compõe o código de barras (44 dígitos) e a linha digitável da DARF, ou confere os "
        "dígitos verificadores de um código ou linha informado com --check."));
    p.addHelpOption();
    p.addOptions({
        {QStringLiteral("tax"), QStringLiteral("Valor do imposto (ponto decimal)."),
         QStringLiteral("valor")},
        {QStringLiteral("interest"), QStringLiteral("Juros (ponto decimal; padrão 0)."),
         QStringLiteral("valor")},
        {QStringLiteral("fine"), QStringLiteral("Multa (ponto decimal; padrão 0)."),
         QStringLiteral("valor")},
        {QStringLiteral("due"), QStringLiteral("Vencimento da guia (AAAA-MM-DD)."),
         QStringLiteral("data")},
        {QStringLiteral("entry"), QStringLiteral("Data de entrada/saída da nota (AAAA-MM-DD)."),
         QStringLiteral("data")},
        {QStringLiteral("ref-pay"),
         QStringLiteral("Data de referência de pagamento da DARF (AAAA-MM-DD)."),
         QStringLiteral("data")},
        {QStringLiteral("ref-due"),
         QStringLiteral("Data de referência de vencimento da DARF (AAAA-MM-DD)."),
         QStringLiteral("data")},
        {QStringLiteral("registration"),
         QStringLiteral("CNPJ ou CPF da empresa, com ou sem pontuação."),
         QStringLiteral("inscricao")},
        {QStringLiteral("revenue"), QStringLiteral("Código da receita (4 dígitos)."),
         QStringLiteral("codigo")},
        {QStringLiteral("check"),
         QStringLiteral("Confere um código de barras (44 dígitos) ou linha digitável (48)."),
         QStringLiteral("codigo")},
    });
    if (!p.parse(QCoreApplication::arguments())) {
        // The parser's own texts are English; support staff read every other message in
        // Portuguese.
        static const QRegularExpression missing(QStringLiteral("^Missing value after '(.*)'\\.$"));
        const QRegularExpressionMatch m = missing.match(p.errorText());
        if (!p.unknownOptionNames().isEmpty()) {
            const QString name = p.unknownOptionNames().first();
            err() << QStringLiteral("opção desconhecida: %1%2\n")
                         .arg(name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"), name);
        } else if (m.hasMatch()) {
            err() << QStringLiteral("opção %1 sem valor\n").arg(m.captured(1));
        } else {
            err() << p.errorText() << '\n';
        }
        return ExitBadInput;
    }
    if (p.isSet(QStringLiteral("help")) || p.isSet(QStringLiteral("help-all")))
        p.showHelp(ExitOk);
    if (!p.positionalArguments().isEmpty()) {
        err() << QStringLiteral("argumento inesperado: %1\n").arg(p.positionalArguments().first());
        return ExitBadInput;
    }
    try {
        if (p.isSet(QStringLiteral("check")))
            return check(p.value(QStringLiteral("check")));
        return compose(p);
    } catch (const BadInput& e) {
        err() << e.text << '\n';
    } catch (const EHostError& e) {
        err() << e.text() << '\n';
    }
    return ExitBadInput;
}
