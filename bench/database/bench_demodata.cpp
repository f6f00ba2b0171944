// Time to create a database with its schema and N demo notes (embedded Firebird, one process).
// Run: bench_demodata [--benchmark_filter=...]; the figures to watch are 100000 notes.
#include "DemoData.h"
#include "FisDatabase.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

QTemporaryDir* g_dir = nullptr;
int g_run = 0;

void BM_CreateDatabase(benchmark::State& state) {
    const int notes = int(state.range(0));
    for (auto _ : state) {
        const QString path = g_dir->filePath(QStringLiteral("bench%1.fdb").arg(++g_run));
        FisDb::createDatabase(path, true, notes);
        state.PauseTiming();
        QFile::remove(path);
        state.ResumeTiming();
    }
    state.counters["notes/s"] =
        benchmark::Counter(double(notes), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_CreateDatabase)
    ->Arg(300)
    ->Arg(10000)
    ->Arg(100000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The lookup the note filter leans on: one company's notes of one month, with a tax.
void BM_NoteFilterQuery(benchmark::State& state) {
    const QString path = g_dir->filePath(QStringLiteral("filter.fdb"));
    if (!QFile::exists(path))
        FisDb::createDatabase(path, true, 100000);
    QSqlDatabase db = FisDb::openConnection(path, QStringLiteral("bench"));
    QSqlQuery q(db);
    q.prepare(QStringLiteral(
        "SELECT COUNT(*) FROM NOTAFISCAL N JOIN IMPOSTONF I ON I.CDFILIAL = N.CDFILIAL AND "
        "I.NRLANCTONF = N.NRLANCTONF WHERE N.CDEMPRESA = ? AND N.DTEMISSAONF BETWEEN ? AND ? "
        "AND N.DTENTRSAID BETWEEN ? AND ? AND I.CDIMPOSTONFE = ?"));
    const QDate to = QDate::currentDate(), from = to.addDays(-30);
    for (auto _ : state) {
        q.addBindValue(QStringLiteral("01"));
        q.addBindValue(from);
        q.addBindValue(to);
        q.addBindValue(from);
        q.addBindValue(to);
        q.addBindValue(QStringLiteral("05"));
        q.exec();
        q.next();
        benchmark::DoNotOptimize(q.value(0).toInt());
    }
}
BENCHMARK(BM_NoteFilterQuery)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    g_dir = &dir;
    FisDb::prepareEnvironment(dir.filePath(QStringLiteral("firebird")));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    QSqlDatabase::removeDatabase(QStringLiteral("bench"));
    return 0;
}
