// The issue run at growing sizes: a fresh demo database, a real fis98100-server on loopback, the
// screen's notes loaded through the filter dialog, N notes ticked and "Imprimir" pressed with
// the printer set to a PDF file. Prints the run's time, the server calls it made and the time
// per note, beside the floor of the same run: the same N guides reprinted in one PDF through the
// report engine alone (no server, no screen).
//   bench_issuerun [--notes 4000] [--sizes 10,100,500]
#include "../../tests/support/ScreenFixture.h"
#include "filter/Cli_Fis98101.h"
#include "host/Components.h"
#include "host/DataSet.h"
#include "host/core/HostExceptions.h"
#include "host/report/ReportDesignerDialog.h"
#include "issuing/ReportImage.h"
#include "screen/Cli_Fis98100.h"

#include <QComboBox>
#include <QCommandLineParser>
#include <QDir>
#include <QPrinter>
#include <QSqlQuery>
#include <cstdio>

namespace {

struct TRow {
    int notes = 0;
    double runMs = 0, floorMs = 0;
    qsizetype calls = 0;
};

qsizetype serverCalls(TServerProcess& server) {
    return server.log().count(QLatin1Char('\n'));
}

// Loads company 01's notes of tax 01 through the filter dialog and ticks n not yet issued.
// Returns the P_NOTAS list of the ticked notes.
QString tick(TfrmEmissaoDarfDoc* form, int n) {
    form->medCdEmpresa->SetText(QStringLiteral("01"));
    ConfirmFilterForAnyDate(QStringLiteral("01"));
    TClientDataSet* cds = form->cdsNotaFiscal;
    auto field = [cds](const char* name) { return cds->FieldByName(QLatin1String(name)); };
    QString notas = QStringLiteral("_");
    int ticked = 0;
    for (cds->First(); !cds->Eof() && ticked < n; cds->Next()) {
        if (field("IDSTATUSGUIA")->AsString() != QLatin1String("N"))
            continue;
        cds->Edit();
        field("IDCHECK")->setAsString(QStringLiteral("C"));
        cds->Post();
        notas +=
            field("CDFILIAL")->AsString() + field("NRLANCTONF")->AsString() + QStringLiteral("S_");
        ++ticked;
    }
    return ticked == n ? notas : QString();
}

// The issue run of the ticked notes, timed, with the server calls it made. False when a note
// was not issued or an error was shown.
bool issueRun(TfrmEmissaoDarfDoc* form, TScreenFixture& fx, TRow& row) {
    fx.dialogs.clear();
    const qsizetype before = serverCalls(fx.server);
    QElapsedTimer t;
    t.start();
    try {
        form->sbtPrintClick(form->sbtPrint);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_issuerun: the run failed: %s\n", e.what());
    }
    row.runMs = double(t.nsecsElapsed()) / 1e6;
    QTest::qWait(200); // the server's last log lines
    row.calls = serverCalls(fx.server) - before;
    const qsizetype issued = fx.dialogs.messages().count(QString::fromUtf8("A guia será emitida."));
    if (issued == row.notes && fx.dialogs.errors().isEmpty())
        return true;
    std::fprintf(stderr, "bench_issuerun: %lld of %d issued; errors: %s\n",
                 static_cast<long long>(issued), row.notes,
                 qPrintable(fx.dialogs.errors().join(QStringLiteral("; "))));
    return false;
}

// The same guides reprinted in one PDF by the report engine alone: the better of two, so that
// the first one's loading of fonts and image is not counted.
bool reprint(const QString& reports, const QString& notas, TScreenFixture& fx, TRow& row) {
    bool ok = true;
    for (int pass = 0; pass < 2; ++pass) {
        QElapsedTimer t;
        t.start();
        try {
            RenderReportToPdf(reports, QStringLiteral("FIS981"),
                              {{QStringLiteral("P_NOTAS"), notas},
                               {QStringLiteral("P_CDEMPRESA"), QStringLiteral("01")},
                               {QStringLiteral("P_CDIMPOSTO"), QStringLiteral("01")},
                               {QStringLiteral("P_IMAGEM"), ReportImagePath(reports)}},
                              fx.path(QStringLiteral("reprint.pdf")), fx.db());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "bench_issuerun: the reprint failed: %s\n", e.what());
            ok = false;
        }
        const double ms = double(t.nsecsElapsed()) / 1e6;
        row.floorMs = pass == 0 ? ms : std::min(row.floorMs, ms);
    }
    return ok;
}

void printRows(const QList<TRow>& rows) {
    std::printf("%6s %10s %8s %12s %14s %12s\n", "notes", "run ms", "calls", "ms/note",
                "reprint ms/pg", "run/reprint");
    double lo = 0, hi = 0;
    for (const TRow& r : rows) {
        const double perNote = r.runMs / r.notes, floor = r.floorMs / r.notes;
        lo = lo == 0 ? perNote : std::min(lo, perNote);
        hi = std::max(hi, perNote);
        std::printf("%6d %10.0f %8lld %12.2f %14.2f %12.2f\n", r.notes, r.runMs,
                    static_cast<long long>(r.calls), perNote, floor, perNote / floor);
    }
    if (lo > 0)
        std::printf("time per note, largest over smallest: %.2fx\n", hi / lo);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    QCommandLineParser cli;
    cli.addHelpOption();
    cli.addOption({QStringLiteral("notes"), QStringLiteral("Demo notes to create."),
                   QStringLiteral("N"), QStringLiteral("4000")});
    cli.addOption({QStringLiteral("sizes"), QStringLiteral("Ticked notes per run."),
                   QStringLiteral("LIST"), QStringLiteral("10,100,500")});
    cli.process(app);
    const QString binDir = QCoreApplication::applicationDirPath();
    if (qEnvironmentVariableIsEmpty("FIS_BINARY_DIR"))
        qputenv("FIS_BINARY_DIR", QDir(binDir).absoluteFilePath(QStringLiteral("..")).toUtf8());
    const QString reports =
        QDir(binDir).absoluteFilePath(QStringLiteral("../share/fis98100/reports/"));

    TScreenFixture fx;
    if (!fx.setUp(cli.value(QStringLiteral("notes")).toInt())) {
        std::fprintf(stderr, "bench_issuerun: the server did not start:\n%s\n",
                     qPrintable(fx.server.log()));
        return 1;
    }
    QSqlQuery q(fx.db());
    q.exec(QStringLiteral("UPDATE IMPOSTONF SET DTVENCGUIA = CURRENT_DATE + 20, CDRECEGUIA ="
                          " (SELECT MIN(CDRECEPADRAO) FROM RECEITAPADRAO WHERE CDIMPOSTONFE"
                          " = '01') WHERE CDIMPOSTONFE = '01' AND IDSTATUSGUIA = 'N'"));
    fx.db().commit();
    auto* form = CreateForm<TfrmEmissaoDarfDoc>();
    Cli_Fis98100::frmEmissaoDarfDoc = form;
    TFilterCanceller cancelFilter;
    cancelFilter.start(form);
    form->show();
    form->rpddPadrao->setReportDir(reports);
    form->Printer()->setOutputFormat(QPrinter::PdfFormat);
    form->Printer()->setOutputFileName(fx.path(QStringLiteral("run.pdf")));

    QList<TRow> rows;
    int status = 0;
    // A first run of two notes, not counted: the process loads its fonts and the emblem once.
    QStringList sizes = cli.value(QStringLiteral("sizes")).split(QLatin1Char(','));
    sizes.prepend(QStringLiteral("2"));
    for (const QString& size : std::as_const(sizes)) {
        TRow row;
        row.notes = size.toInt();
        const QString notas = tick(form, row.notes);
        if (notas.isEmpty()) {
            std::fprintf(stderr, "bench_issuerun: fewer than %d notes to issue; raise --notes\n",
                         row.notes);
            status = 1;
            break;
        }
        if (!issueRun(form, fx, row) || !reprint(reports, notas, fx, row))
            status = 1;
        if (&size != &sizes.first())
            rows << row;
    }
    cancelFilter.stop();
    Cli_Fis98101::DestroiFiltroEmissaoDarfDoc();
    delete form;
    fx.tearDown();
    printRows(rows);
    return status;
}
