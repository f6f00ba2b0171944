// Prints COUNT pseudo-random DARF compositions, one a line: barcode, typable line and total in
// centavos, tab-separated, for the independent npm validators. Usage: gen [COUNT [SEED]].
#include "issuing/DarfBarcode.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTextStream>

#include <cmath>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int count = args.size() > 1 ? args[1].toInt() : 300;
    const quint32 seed = args.size() > 2 ? args[2].toUInt() : 98100;
    QRandomGenerator rng(seed);
    QTextStream out(stdout);

    auto digits = [&](int n) {
        QString s;
        for (int i = 0; i < n; ++i)
            s += QChar('0' + rng.bounded(10));
        return s;
    };
    for (int i = 0; i < count; ++i) {
        TDarfInput in;
        // Amounts from centavos to the largest the field holds; some with a third decimal so
        // that rounding takes part.
        const int scale = rng.bounded(4);
        const double top[] = {1e2, 1e5, 1e7, 9.9e8};
        const int decimals = rng.bounded(10) == 0 ? 3 : 2;
        const double unit = decimals == 3 ? 1000.0 : 100.0;
        in.VRIMPOSTONF = std::floor(rng.generateDouble() * top[scale] * unit) / unit;
        if (rng.bounded(2))
            in.VRJUROGUIA = rng.bounded(100000) / 100.0;
        if (rng.bounded(2))
            in.VRMULTAGUIA = rng.bounded(100000) / 100.0;
        in.DTREFPAGDARF = QDate(1997, 10, 7).addDays(rng.bounded(12000));
        in.DTREFVENCDARF = QDate(1997, 10, 7).addDays(rng.bounded(12000));
        // Day counts over the whole field, both ends included now and then.
        const int edge = rng.bounded(10);
        in.DTVENCGUIA = in.DTREFPAGDARF.addDays(edge == 0   ? 0
                                                : edge == 1 ? 9999
                                                            : rng.bounded(10000));
        in.DTENTRSAID = in.DTREFVENCDARF.addDays(edge == 2   ? 0
                                                 : edge == 3 ? 9999
                                                             : rng.bounded(10000));
        if (rng.bounded(3) == 0) {
            const QString cpf = digits(11);
            in.NRINSJUREMPR =
                cpf.left(3) + '.' + cpf.mid(3, 3) + '.' + cpf.mid(6, 3) + '-' + cpf.mid(9);
        } else {
            in.NRINSJUREMPR = digits(14);
        }
        in.CDRECEGUIA = QString::number(1000 + rng.bounded(9000));
        const TDarfBarcode b = MontaBarraDarf(in);
        out << b.STBARRAGUIA << '\t' << b.STLINHADIGI << '\t' << b.totalCentavos << '\n';
    }
    return 0;
}
