// Client dataset and grid model figures on note-like data (22 fields, mixed types).
#include "DBGrid.h"
#include "DataSet.h"
#include "Records.h"

#include <QApplication>
#include <benchmark/benchmark.h>

namespace {

TDataPacket notes(int n) {
    TDataPacket p;
    p.fields = FisProtocol::notaFiscalFields();
    p.rows.reserve(n);
    const QDateTime base(QDate(2026, 1, 1), QTime(0, 0));
    for (int i = 0; i < n; ++i) {
        const QString no = QString::number(i).rightJustified(10, QLatin1Char('0'));
        p.rows.append({QString(),
                       QString::number(i),
                       QStringLiteral("Fornecedor %1").arg(i % 997),
                       QStringLiteral("5952"),
                       QStringLiteral("1"),
                       no,
                       QStringLiteral("0001"),
                       QStringLiteral("U"),
                       12.34 + i % 100,
                       QStringLiteral("Entrada"),
                       QStringLiteral("12345678000195"),
                       QStringLiteral("123456789"),
                       QVariant(),
                       1000.0 + i,
                       QVariant(),
                       QVariant(),
                       base.addDays(i % 365),
                       QVariant(),
                       QStringLiteral("N"),
                       QStringLiteral("J"),
                       base.addDays(i % 200),
                       QStringLiteral("0001")});
    }
    return p;
}

void defineFields(TDataSet& ds) {
    for (const TPacketField& f : FisProtocol::notaFiscalFields())
        ds.AddField(f.name, f.type, f.size);
    ds.FieldByName("VRNOTAFISC")->setDisplayFormat("#,##0.00");
    ds.FieldByName("VRIMPOSTONF")->setDisplayFormat("#,##0.00");
}

void BM_LoadPacket(benchmark::State& state) {
    const TDataPacket p = notes(int(state.range(0)));
    TClientDataSet ds;
    defineFields(ds);
    for (auto _ : state) {
        ds.SetData(p);
        benchmark::DoNotOptimize(ds.RecordCount());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LoadPacket)->Arg(100000)->Unit(benchmark::kMillisecond);

// The same packet as it arrives from the server: decoded from CBOR, then loaded.
void BM_DecodeAndLoadPacket(benchmark::State& state) {
    const QCborValue wire = notes(int(state.range(0))).toCbor();
    TClientDataSet ds;
    defineFields(ds);
    for (auto _ : state) {
        ds.SetData(wire);
        benchmark::DoNotOptimize(ds.RecordCount());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DecodeAndLoadPacket)->Arg(100000)->Unit(benchmark::kMillisecond);

// The packet's bytes as the connection hands them over, read straight into the rows.
void BM_StreamPacket(benchmark::State& state) {
    const QByteArray wire = notes(int(state.range(0))).toCbor().toCbor();
    TClientDataSet ds;
    defineFields(ds);
    for (auto _ : state) {
        ds.SetData(TAnswerPayload::encoded(wire, 0, wire.size()));
        benchmark::DoNotOptimize(ds.RecordCount());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StreamPacket)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_WalkWithEdits(benchmark::State& state) {
    const TDataPacket p = notes(int(state.range(0)));
    TClientDataSet ds;
    defineFields(ds);
    for (auto _ : state) {
        state.PauseTiming();
        ds.SetData(p);
        state.ResumeTiming();
        TField* check = ds.FieldByName("IDCHECK");
        TField* fine = ds.FieldByName("VRMULTAGUIA");
        ds.DisableControls();
        for (ds.First(); !ds.Eof(); ds.Next()) {
            ds.Edit();
            check->setAsString("C");
            fine->setAsFloat(1.5);
            ds.Post();
        }
        ds.EnableControls();
        benchmark::DoNotOptimize(ds.ChangeCount());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WalkWithEdits)->Arg(100000)->Unit(benchmark::kMillisecond);

// What the grid asks per visible row: the display text of each of its 13 columns.
void BM_GridModelData(benchmark::State& state) {
    TClientDataSet ds;
    defineFields(ds);
    ds.SetData(notes(int(state.range(0))));
    ds.FieldByName("EMITENTE")->OnGetText = [](TField* f, QString& text, bool) {
        TDataSet* d = f->DataSet();
        text = d->FieldByName("NRINSJUR")->AsString() + " - " + f->AsString();
    };
    TDataSource src;
    src.setDataSet(&ds);
    TDBGrid grid;
    grid.setDataSource(&src);
    for (const char* name : {"IDCHECK", "IDENTRSAIDOP", "EMITENTE", "NRNOTAFISC", "CDSERIE",
                             "VRNOTAFISC", "VRIMPOSTONF", "VRMULTAGUIA", "VRJUROGUIA", "CDRECEGUIA",
                             "DSHISTGUIAPAGDOC", "DTVENCGUIA", "IDSTATUSGUIA"})
        grid.AddColumn(QString::fromLatin1(name));
    QAbstractItemModel* m = grid.model();
    const int rows = m->rowCount(), cols = m->columnCount();
    int r = 0;
    for (auto _ : state) {
        for (int c = 0; c < cols; ++c)
            benchmark::DoNotOptimize(m->data(m->index(r, c), Qt::DisplayRole));
        r = (r + 1) % rows;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("rows (13 cells each)");
}
BENCHMARK(BM_GridModelData)->Arg(100000);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
