// The issue run against a real fis98100-server on a fresh demo database: notes loaded through
// the filter dialog, ticked, printed to PDF; each page's barcode read back with pdftoppm and
// zbarimg against the payable the server stored; the early ends (a note without due date, a
// note a colleague issued first); preview.
#include "../support/ScreenFixture.h"
#include "filter/Cli_Fis98101.h"
#include "host/BusyIndicator.h"
#include "host/Components.h"
#include "host/Connection.h"
#include "host/DataSet.h"
#include "host/HostGuard.h"
#include "host/Query.h"
#include "host/core/HostExceptions.h"
#include "host/report/ReportDesignerDialog.h"
#include "issuing/ReportImage.h"
#include "screen/Cli_Fis98100.h"

#include <QComboBox>
#include <QPrinter>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

QString run(const QString& tool, const QStringList& args) {
    QProcess p;
    p.start(tool, args);
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

// The barcodes a scanner reads on a one-page PDF (the page carries the guide twice).
QStringList barcodes(const QString& pdf) {
    const QString png = pdf + QStringLiteral(".page");
    run(QStringLiteral("pdftoppm"),
        {QStringLiteral("-r"), QStringLiteral("300"), QStringLiteral("-gray"),
         QStringLiteral("-singlefile"), QStringLiteral("-png"), pdf, png});
    return run(QStringLiteral("zbarimg"),
               {QStringLiteral("--raw"), QStringLiteral("-q"), png + QStringLiteral(".png")})
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

class TestIssueRun : public QObject {
    Q_OBJECT
    TScreenFixture m_fx;
    TFilterCanceller m_cancelFilter;
    TfrmEmissaoDarfDoc* m_form = nullptr;
    QStringList m_pdfs; // one file per print of the run
    int m_pages = 0;
    int m_prints = 0; // names the copies, never reset

    TClientDataSet* cds() const { return m_form->cdsNotaFiscal; }
    TField* field(const char* name) const { return cds()->FieldByName(QLatin1String(name)); }
    QString key() const { return field("CDFILIAL")->AsString() + field("NRLANCTONF")->AsString(); }

    // Gives due date and revenue code to n notes of tax 01 not yet issued, then loads them
    // through the filter dialog's confirmation (as the refresh does again) and ticks them.
    // Returns their keys in worksheet order.
    QStringList prepare(int n) {
        QSqlQuery q(m_fx.db());
        q.exec(QStringLiteral("UPDATE IMPOSTONF SET DTVENCGUIA = '2026-12-20', CDRECEGUIA ="
                              " (SELECT MIN(CDRECEPADRAO) FROM RECEITAPADRAO WHERE CDIMPOSTONFE"
                              " = '01') WHERE CDIMPOSTONFE = '01' AND IDSTATUSGUIA = 'N'"));
        m_form->medCdEmpresa->SetText(QStringLiteral("01"));
        ConfirmFilterForAnyDate(QStringLiteral("01"));
        QStringList keys;
        for (cds()->First(); !cds()->Eof() && keys.size() < n; cds()->Next()) {
            if (field("IDSTATUSGUIA")->AsString() != QLatin1String("N"))
                continue;
            cds()->Edit();
            field("IDCHECK")->setAsString(QStringLiteral("C"));
            cds()->Post();
            keys << key();
        }
        m_fx.dialogs.clear();
        m_pdfs.clear();
        m_pages = 0;
        return keys;
    }
    // As the button does: what the run raises is shown through the host guard.
    void print() {
        HostGuard::run([this] { m_form->sbtPrintClick(m_form->sbtPrint); });
    }
    // The payable's barcode of a note, empty when it has none.
    QString payable(const QString& key) {
        QSqlQuery q(m_fx.db());
        q.exec(QStringLiteral("SELECT STBARRAGUIA FROM CONTAPAGAR WHERE CDFILIAL || NRLANCTONF ="
                              " '%1' AND CDIMPOSTONFE = '01'")
                   .arg(key));
        return q.next() ? q.value(0).toString() : QString();
    }
    int count(const QString& method) {
        return int(m_fx.server.log().count(QLatin1Char(' ') + method + QLatin1Char(' ')));
    }
    QString status(const QString& k) {
        for (cds()->First(); !cds()->Eof(); cds()->Next())
            if (key() == k)
                return field("IDSTATUSGUIA")->AsString();
        return {};
    }

private slots:
    void initTestCase() {
        for (const char* tool : {"pdftoppm", "zbarimg"})
            QVERIFY(!QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty());
        QVERIFY2(m_fx.setUp(200), qPrintable(m_fx.server.log()));
        m_form = CreateForm<TfrmEmissaoDarfDoc>();
        Cli_Fis98100::frmEmissaoDarfDoc = m_form; // the filter dialog loads into the open screen
        m_cancelFilter.start(m_form);
        m_form->show();
        QVERIFY(QTest::qWaitForWindowActive(m_form));
        m_form->rpddPadrao->setReportDir(qEnvironmentVariable("FIS_SOURCE_DIR") +
                                         QStringLiteral("/database/reports/"));
        m_form->Printer()->setOutputFormat(QPrinter::PdfFormat);
        m_form->Printer()->setOutputFileName(m_fx.path(QStringLiteral("print.pdf")));
        m_form->rpddPadrao->AfterPrint = [this](const TReportDocument& doc) {
            m_pages += doc.PageCount();
            const QString copy = m_fx.path(QStringLiteral("print%1.pdf").arg(m_prints++));
            QFile::copy(m_form->Printer()->outputFileName(), copy);
            m_pdfs << copy;
        };
    }
    void cleanupTestCase() {
        m_cancelFilter.stop();
        Cli_Fis98101::DestroiFiltroEmissaoDarfDoc();
        delete m_form;
        m_fx.tearDown();
    }

    // Three ticked notes: three answers shown, three pages whose barcodes are the payables',
    // no note stored again, and the worksheet refreshed on the last ticked note.
    void threeNotesPrintThreeGuides() {
        const QStringList keys = prepare(3);
        QCOMPARE(keys.size(), 3);
        const int stores = count(QStringLiteral("setDarfDoc"));
        print();
        QCOMPARE(m_fx.dialogs.errors(), QStringList());
        QCOMPARE(m_fx.dialogs.messages(),
                 QStringList(3, QString::fromUtf8("A guia será emitida.")));
        QCOMPARE(m_pages, 3);
        QCOMPARE(m_pdfs.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const QString stored = payable(keys[i]);
            QCOMPARE(stored.size(), 44);
            QVERIFY(barcodes(m_pdfs[i]).contains(stored));
        }
        QCOMPARE(key(), keys[2]);
        QCOMPARE(BusyDepth(), 0);
        QTRY_COMPARE(count(QStringLiteral("setDarfDoc")), stores);
        for (const QString& k : keys)
            QCOMPARE(status(k), QStringLiteral("S"));
    }

    // A ticked note without due date ends the run before any payable, on that note.
    void noteWithoutDueDateIssuesNothing() {
        const QStringList keys = prepare(3);
        QCOMPARE(keys.size(), 3);
        status(keys[2]);
        cds()->Edit();
        field("DTVENCGUIA")->Clear();
        cds()->Post();
        const int issues = count(QStringLiteral("GeraContaPagar"));
        print();
        QCOMPARE(m_fx.dialogs.errors(),
                 QStringList{QString::fromUtf8("Vencimento deve ser informado.")});
        QCOMPARE(key(), keys[2]);
        QCOMPARE(BusyDepth(), 0);
        QVERIFY(!cds()->ControlsDisabled());
        QCOMPARE(count(QStringLiteral("GeraContaPagar")), issues);
        for (const QString& k : keys)
            QVERIFY(payable(k).isEmpty());
    }

    // The second of three was issued first elsewhere: the first is issued and printed, the run
    // ends on the second with the server's answer, the third is untouched, and the worksheet
    // shows the statuses the server holds.
    void secondAnsweredErrEndsTheRun() {
        const QStringList keys = prepare(3);
        QCOMPARE(keys.size(), 3);
        for (cds()->First(); !cds()->Eof(); cds()->Next()) {
            if (key() == keys[0] || key() == keys[2]) {
                cds()->Edit();
                field("IDCHECK")->setAsString(QStringLiteral("U"));
                cds()->Post();
            }
        }
        print(); // the colleague: only the second is ticked
        QVERIFY(!payable(keys[1]).isEmpty());
        for (cds()->First(); !cds()->Eof(); cds()->Next()) {
            if (keys.contains(key())) {
                cds()->Edit();
                field("IDCHECK")->setAsString(QStringLiteral("C"));
                cds()->Post();
            }
        }
        m_fx.dialogs.clear();
        m_pdfs.clear();
        print();
        QCOMPARE(m_fx.dialogs.messages(), QStringList{QString::fromUtf8("A guia será emitida.")});
        QCOMPARE(m_fx.dialogs.errors(),
                 QStringList{QString::fromUtf8(
                     "Documento já foi emitido. É possível apenas visualizar o relatório.")});
        QCOMPARE(m_pdfs.size(), 1);
        QVERIFY(barcodes(m_pdfs[0]).contains(payable(keys[0])));
        QVERIFY(payable(keys[2]).isEmpty());
        QCOMPARE(key(), keys[1]);
        QCOMPARE(BusyDepth(), 0);
        QVERIFY(!cds()->ControlsDisabled());
        // Refreshed: the first shows issued, though the run ended.
        QCOMPARE(status(keys[0]), QStringLiteral("S"));
        QCOMPARE(status(keys[2]), QStringLiteral("N"));
    }

    // With no printer, the run asks for a PDF file before the first payable: declined, nothing
    // is issued; named, the first DARF goes there and the next one beside it, numbered.
    void noPrinterAsksForPdfBeforeIssuing() {
        QPrinter* printer = m_form->Printer();
        // What a machine without printers gives: a PDF printer without a file, or a printer
        // name the system does not have.
        printer->setOutputFileName(QString());
        printer->setOutputFormat(QPrinter::NativeFormat);
        printer->setPrinterName(QStringLiteral("fis-no-such-printer"));
        const QStringList keys = prepare(2);
        QCOMPARE(keys.size(), 2);
        const int issues = count(QStringLiteral("GeraContaPagar"));
        print();
        QCOMPARE(m_fx.dialogs.count(QStringLiteral("saveFile")), 1);
        QCOMPARE(count(QStringLiteral("GeraContaPagar")), issues);
        QVERIFY(payable(keys[0]).isEmpty());
        QCOMPARE(BusyDepth(), 0);
        QVERIFY(!cds()->ControlsDisabled());

        m_fx.dialogs.clear();
        const QString base = m_fx.path(QStringLiteral("guias"));
        m_fx.dialogs.onSaveFile = [&](const QString&) { return base; };
        print();
        m_fx.dialogs.onSaveFile = nullptr;
        const QStringList files{base + QStringLiteral(".pdf"), base + QStringLiteral("-2.pdf")};
        QCOMPARE(m_fx.dialogs.errors(), QStringList());
        QCOMPARE(m_fx.dialogs.count(QStringLiteral("saveFile")), 1);
        const QStringList shown = m_fx.dialogs.messages();
        QCOMPARE(shown.size(), 3);
        QVERIFY(shown[2].contains(files[0]) && shown[2].contains(files[1]));
        for (int i = 0; i < 2; ++i)
            QVERIFY(barcodes(files[i]).contains(payable(keys[i])));
        printer->setOutputFormat(QPrinter::PdfFormat);
        printer->setOutputFileName(m_fx.path(QStringLiteral("print.pdf")));
    }

    // A run whose report definition is missing says so before any payable.
    void missingDefinitionIssuesNothing() {
        const QStringList keys = prepare(1);
        QCOMPARE(keys.size(), 1);
        const QString shipped = m_form->rpddPadrao->ReportDir();
        QTemporaryDir empty;
        m_form->rpddPadrao->setReportDir(empty.path());
        const int issues = count(QStringLiteral("GeraContaPagar"));
        print();
        m_form->rpddPadrao->setReportDir(shipped);
        QCOMPARE(m_fx.dialogs.errors().size(), 1);
        QVERIFY(m_fx.dialogs.errors()[0].contains(empty.path()));
        QCOMPARE(count(QStringLiteral("GeraContaPagar")), issues);
        QVERIFY(payable(keys[0]).isEmpty());
        QCOMPARE(BusyDepth(), 0);
    }

    // Preview composes nothing and issues nothing.
    void previewCreatesNoPayable() {
        const QStringList keys = prepare(1);
        QCOMPARE(keys.size(), 1);
        const int issues = count(QStringLiteral("GeraContaPagar"));
        try {
            m_form->sbtPreviewClick(m_form->sbtPreview);
        } catch (const EAbort&) {
        }
        QCOMPARE(m_fx.dialogs.errors(), QStringList());
        QCOMPARE(m_fx.dialogs.count(QStringLiteral("printPreview")), 1);
        QCOMPARE(count(QStringLiteral("GeraContaPagar")), issues);
        QVERIFY(payable(keys[0]).isEmpty());
    }

    // The report step: the note list of the ticked notes, only declared parameters filled, and
    // a note stored only when its guide differs from what the server holds.
    void queryParametersListTickedNotesAndStoreOnlyChanges() {
        const QStringList keys = prepare(2);
        QCOMPARE(keys.size(), 2);
        status(keys[1]);
        cds()->Edit();
        field("VRJUROGUIA")->setAsFloat(1.5);
        cds()->Post(); // stored by the worksheet itself
        QTRY_VERIFY(m_fx.server.log().count(QStringLiteral(" setDarfDoc ")) > 0);
        const int stores = count(QStringLiteral("setDarfDoc"));
        TParam notas(QStringLiteral("P_NOTAS")), filial(QStringLiteral("P_CDFILIAL"));
        const QList<TParam*> params{&notas, &filial};
        bool flag = true;
        Cli_Fis98100::stGuiaEmit.clear();
        m_form->rpddPadraoBeforeGetQueryParams(params, flag);
        QCOMPARE(notas.AsString(), QLatin1Char('_') + keys[0] + QStringLiteral("N_") + keys[1] +
                                       QStringLiteral("N_"));
        QCOMPARE(filial.AsString(), key().left(4));
        QVERIFY(flag);
        QCOMPARE(key(), keys[1]);
        QCOMPARE(count(QStringLiteral("setDarfDoc")), stores);
        // A second report run (another print of the same run) stores nothing either.
        m_form->rpddPadraoBeforeGetQueryParams(params, flag);
        QCOMPARE(count(QStringLiteral("setDarfDoc")), stores);
        QCOMPARE(BusyDepth(), 0);
    }

    void imagePathKeepsTheDirectoryUpToRel() {
        const QString sep = QDir::separator();
        QCOMPARE(ReportImagePath(QStringLiteral("/app/Rel/")),
                 QDir::toNativeSeparators(QStringLiteral("/app/RelFTP/armasbra.bmp")));
        QCOMPARE(ReportImagePath(QStringLiteral("/relatorios/x/")),
                 sep + QStringLiteral("RelFTP") + sep + QStringLiteral("armasbra.bmp"));
        QCOMPARE(ReportImagePath(QStringLiteral("/opt/app/")),
                 QStringLiteral("RelFTP") + sep + QStringLiteral("armasbra.bmp"));
    }
};

QTEST_MAIN(TestIssueRun)
#include "test_issuerun.moc"
