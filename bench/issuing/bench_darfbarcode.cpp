// Barcode compositions per second: one MontaBarraDarf per iteration, with the issue run's
// inputs, and the support tool's digit check.
#include "issuing/DarfBarcode.h"

#include <benchmark/benchmark.h>

namespace {

TDarfInput sample(int i) {
    TDarfInput in;
    in.VRIMPOSTONF = 100.0 + (i % 1000) * 0.01;
    in.VRJUROGUIA = 1.5;
    in.VRMULTAGUIA = 2.0;
    in.DTREFPAGDARF = QDate(2024, 1, 1);
    in.DTREFVENCDARF = QDate(2024, 1, 1);
    in.DTVENCGUIA = QDate(2024, 1, 1).addDays(i % 365);
    in.DTENTRSAID = QDate(2024, 1, 1).addDays(100);
    in.NRINSJUREMPR = QStringLiteral("12.345.678/0001-95");
    in.CDRECEGUIA = QStringLiteral("1234");
    return in;
}

void BM_MontaBarraDarf(benchmark::State& state) {
    std::vector<TDarfInput> inputs;
    for (int i = 0; i < 1024; ++i)
        inputs.push_back(sample(i));
    size_t i = 0;
    for (auto _ : state) {
        TDarfBarcode b = MontaBarraDarf(inputs[i++ & 1023]);
        benchmark::DoNotOptimize(b);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MontaBarraDarf);

void BM_ConfereBarraDarf(benchmark::State& state) {
    const QString line = QStringLiteral("85670000001.6 03500064003.3 01123456780.5 00112340100.0");
    for (auto _ : state) {
        TDarfCheck c = ConfereBarraDarf(line);
        benchmark::DoNotOptimize(c);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConfereBarraDarf);

} // namespace

BENCHMARK_MAIN();
