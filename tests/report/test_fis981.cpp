// The DARF report "FIS981" end to end: a fresh demo database, guides issued through a real
// fis98100-server, the page rendered to PDF, rasterised with pdftoppm and read back with zbarimg
// and pdftotext; the unissued preview; the batch tool's exit codes.
#include "BaseForms.h"
#include "Connection.h"
#include "Fis98100Contracts.h"
#include "FisDatabase.h"
#include "issuing/DarfBarcode.h"
#include "protocol/MethodTable.h"
#include "report/ReportDesignerDialog.h"

#include "HostDialogs.h"
#include "Query.h"
#include "core/Services.h"

#include <QComboBox>
#include <QImage>
#include <QPrinter>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct TRun {
    int exit = -1;
    QString out, err;
};

TRun run(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    TRun r;
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        r.err = QStringLiteral("timeout: ") + program;
        return r;
    }
    r.exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

struct TNote {
    QString filial, lancto, empresa, ie, im, es, serie, nrnota, filioper;
    double valor = 0, tax = 0;
    QDate ent;
    QString key() const { return filial + lancto; }
};

// Where the first symbol sits on a page image: the first band of at least 50 identical rows
// crossed by 200 or more edges (text never repeats a row that often).
struct TSymbolBox {
    int left = -1, right = -1, top = -1, bottom = -1;
    bool quietLeft = false, quietRight = false;
};

TSymbolBox findSymbol(const QImage& img, int quietPx) {
    struct TRow {
        int edges = 0, first = -1, last = -1;
        bool operator==(const TRow&) const = default;
    };
    auto scan = [&](int y) {
        TRow r;
        bool dark = false;
        for (int x = 0; x < img.width(); ++x) {
            const bool d = qGray(img.pixel(x, y)) < 128;
            if (d != dark)
                ++r.edges;
            if (d) {
                if (r.first < 0)
                    r.first = x;
                r.last = x;
            }
            dark = d;
        }
        return r;
    };
    TSymbolBox box;
    TRow band;
    int start = -1;
    for (int y = 0; y <= img.height(); ++y) {
        const TRow r = y < img.height() ? scan(y) : TRow{};
        if (start >= 0 && r == band)
            continue;
        if (start >= 0 && y - start >= 50) {
            box.top = start;
            box.bottom = y - 1;
            box.left = band.first;
            box.right = band.last;
            box.quietLeft = box.quietRight = true;
            for (int x = std::max(0, band.first - quietPx); x < band.first; ++x)
                box.quietLeft &= qGray(img.pixel(x, start)) >= 128;
            for (int x = band.last + 1; x <= std::min(img.width() - 1, band.last + quietPx); ++x)
                box.quietRight &= qGray(img.pixel(x, start)) >= 128;
            return box;
        }
        start = r.edges >= 200 ? y : -1;
        band = r;
    }
    return box;
}

} // namespace

class TestFis981 : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void issuedGuideReadsBackFromThePage();
    void onePagePerNoteInListOrderUnissuedWithoutBarcode();
    void issuedGuideShowsThePayableNotTheNote();
    void screenPrintsPreviewsAndSaves();
    void emblemOnlyWhenItsFileExists();
    void batchTool_data();
    void batchTool();

private:
    QSqlDatabase db() const { return QSqlDatabase::database(QStringLiteral("fis981"), false); }
    QList<TNote> unissued(int count);
    void issue(const TNote& n, double multa, double juros, const QDate& due);
    QStringList payable(const TNote& n); // STBARRAGUIA, STLINHADIGI, VRCONTAPAGAR, DTVENCGUIA
    QString render(const QString& notas, const QString& name, const QString& image = {});
    QStringList barcodes(const QString& pdf, int page);
    QString text(const QString& pdf, int page);
    int pages(const QString& pdf);

    QTemporaryDir m_dir;
    QString m_location, m_reports, m_bin;
    QProcess m_server;
    QString m_log;
    TNetConnection m_con;
    QList<TNote> m_notes; // [0], [1] issued in the tests; [2] stays unissued
};

void TestFis981::initTestCase() {
    QVERIFY(m_dir.isValid());
    FisDb::prepareEnvironment(m_dir.filePath(QStringLiteral("firebird")));
    m_location = m_dir.filePath(QStringLiteral("fis.fdb"));
    FisDb::createDatabase(m_location, true, 150);
    FisDb::openConnection(m_location, QStringLiteral("fis981"));
    m_reports = qEnvironmentVariable("FIS_SOURCE_DIR") + QStringLiteral("/database/reports");
    m_bin = qEnvironmentVariable("FIS_BINARY_DIR") + QStringLiteral("/bin/");
    for (const char* tool : {"pdftoppm", "zbarimg", "pdftotext", "pdfinfo", "pdfimages"})
        QVERIFY2(!QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty(),
                 "scripts/install-deps installs poppler-utils and zbar-tools");

    m_server.setProgram(m_bin + QStringLiteral("fis98100-server"));
    m_server.setArguments(
        {QStringLiteral("--database"), m_location, QStringLiteral("--port"), QStringLiteral("0")});
    connect(&m_server, &QProcess::readyReadStandardError, this,
            [this] { m_log += QString::fromUtf8(m_server.readAllStandardError()); });
    m_server.start();
    QVERIFY(m_server.waitForStarted());
    static const QRegularExpression listening(
        QStringLiteral("escutando em 127\\.0\\.0\\.1:(\\d+)"));
    QTRY_VERIFY_WITH_TIMEOUT(
        listening.match(m_log).hasMatch() || m_server.state() == QProcess::NotRunning, 30000);
    QVERIFY2(listening.match(m_log).hasMatch(), qPrintable(m_log));
    m_con.setHost(QStringLiteral("127.0.0.1"));
    m_con.setPort(listening.match(m_log).captured(1).toInt());
    m_con.setServerName(QString::fromLatin1(FisProtocol::ObjectName));
    m_con.setConnected(true);
    QVERIFY(m_con.connected());
    m_notes = unissued(3);
    QCOMPARE(m_notes.size(), 3);
}

void TestFis981::cleanupTestCase() {
    m_con.setConnected(false);
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        if (!m_server.waitForFinished(10000))
            m_server.kill();
    }
    dtmDBGeral()->setDatabase(QSqlDatabase());
    db().close();
    QSqlDatabase::removeDatabase(QStringLiteral("fis981"));
    FisDb::shutdown(10000); // before the temporary Firebird root goes
}

QList<TNote> TestFis981::unissued(int count) {
    QSqlQuery q(db());
    q.setForwardOnly(true);
    [&] {
        QVERIFY2(q.exec(QStringLiteral(
                     "SELECT n.CDFILIAL, n.NRLANCTONF, n.CDEMPRESA, n.CDINSCESTA, n.CDINSCMUNI,"
                     " n.IDENTRSAIDOP, n.CDSERIE, n.NRNOTAFISC, n.VRNOTAFISC, n.DTENTRSAID,"
                     " n.CDFILIOPER, i.VRIMPOSTONF FROM NOTAFISCAL n JOIN IMPOSTONF i"
                     " ON i.CDFILIAL = n.CDFILIAL AND i.NRLANCTONF = n.NRLANCTONF"
                     " WHERE i.CDIMPOSTONFE = '01' AND i.IDSTATUSGUIA = 'N'"
                     " AND i.VRIMPOSTONF > 20 AND n.CDEMPRESA = '01'"
                     " ORDER BY n.CDFILIAL, n.NRLANCTONF")),
                 qPrintable(q.lastError().text()));
    }();
    QList<TNote> out;
    while (q.next() && out.size() < count) {
        TNote n;
        n.filial = q.value(0).toString();
        n.lancto = q.value(1).toString();
        n.empresa = q.value(2).toString();
        n.ie = q.value(3).toString();
        n.im = q.value(4).toString();
        n.es = q.value(5).toString();
        n.serie = q.value(6).toString();
        n.nrnota = q.value(7).toString();
        n.valor = q.value(8).toDouble();
        n.ent = q.value(9).toDate();
        n.filioper = q.value(10).toString();
        n.tax = q.value(11).toDouble();
        out << n;
    }
    return out;
}

// Issues the note's guide as the issue run does: barcode composed by MontaBarraDarf, one
// payable sent with GeraContaPagar.
void TestFis981::issue(const TNote& n, double multa, double juros, const QDate& due) {
    QSqlQuery q(db());
    QVERIFY(q.exec(QStringLiteral("SELECT p.DTREFPAGDARF, p.DTREFVENCDARF, e.NRINSJUREMPR,"
                                  " (SELECT MIN(CDRECEPADRAO) FROM RECEITAPADRAO"
                                  "   WHERE CDIMPOSTONFE = '01')"
                                  " FROM PARAMFISCAL p, EMPRESA e WHERE e.CDEMPRESA = '%1'")
                       .arg(n.empresa)));
    QVERIFY(q.next());
    TDarfInput in;
    in.VRIMPOSTONF = n.tax;
    in.VRMULTAGUIA = multa;
    in.VRJUROGUIA = juros;
    in.DTVENCGUIA = due;
    in.DTENTRSAID = n.ent;
    in.DTREFPAGDARF = q.value(0).toDate();
    in.DTREFVENCDARF = q.value(1).toDate();
    in.NRINSJUREMPR = q.value(2).toString();
    in.CDRECEGUIA = q.value(3).toString();
    q.finish();
    const TDarfBarcode b = MontaBarraDarf(in);

    TDataPacket packet;
    packet.fields = Fis98100::ContaPagarFields();
    const QDateTime venc(due, QTime(0, 0));
    packet.rows.append({n.filial,
                        n.lancto,
                        QStringLiteral("N"),
                        multa,
                        juros,
                        venc,
                        n.ie,
                        n.im,
                        QVariant(),
                        n.nrnota,
                        QVariant(),
                        n.valor,
                        b.VRIMPOSTONF,
                        in.CDRECEGUIA,
                        venc,
                        n.es,
                        QStringLiteral("C"),
                        n.serie,
                        b.STLINHADIGI,
                        b.STBARRAGUIA,
                        n.filioper});
    QString tax = QStringLiteral("01"), bar = b.STBARRAGUIA, line = b.STLINHADIGI;
    const TServerAnswer a = GeraContaPagar(m_con, n.empresa, tax, packet, bar, line,
                                           QStringLiteral("Guia de teste do relatório"));
    QVERIFY2(a.ok && a.payload.isArray(), qPrintable(a.error));
    const TDataPacket result = TDataPacket::fromCbor(a.payload.toArray()[0]);
    QCOMPARE(result.rows.value(0).value(0).toString(), QStringLiteral("MSG"));
}

QStringList TestFis981::payable(const TNote& n) {
    QSqlQuery q(db());
    [&] {
        QVERIFY(q.exec(QStringLiteral("SELECT STBARRAGUIA, STLINHADIGI, VRCONTAPAGAR, DTVENCGUIA"
                                      " FROM CONTAPAGAR WHERE CDFILIAL = '%1' AND NRLANCTONF ="
                                      " '%2' AND CDIMPOSTONFE = '01'")
                           .arg(n.filial, n.lancto)));
        QVERIFY(q.next());
    }();
    return {q.value(0).toString(), q.value(1).toString(), FormatBR(q.value(2).toDouble(), 2),
            q.value(3).toDate().toString(QStringLiteral("dd/MM/yyyy"))};
}

QString TestFis981::render(const QString& notas, const QString& name, const QString& image) {
    const QString pdf = m_dir.filePath(name + QStringLiteral(".pdf"));
    QVariantMap values{{QStringLiteral("P_NOTAS"), notas},
                       {QStringLiteral("P_CDIMPOSTO"), QStringLiteral("01")},
                       {QStringLiteral("P_CDEMPRESA"), QStringLiteral("01")}};
    if (!image.isNull())
        values.insert(QStringLiteral("P_IMAGEM"), image);
    RenderReportToPdf(m_reports, QStringLiteral("FIS981"), values, pdf, db());
    return pdf;
}

// What a scanner reads on each copy of the page: zbarimg reports a symbol repeated on one image
// once, so the upper and the lower half (first and second copy) are read apart.
QStringList TestFis981::barcodes(const QString& pdf, int page) {
    const QString png = m_dir.filePath(QStringLiteral("page"));
    const TRun r = run(QStringLiteral("pdftoppm"),
                       {QStringLiteral("-r"), QStringLiteral("300"), QStringLiteral("-gray"),
                        QStringLiteral("-f"), QString::number(page), QStringLiteral("-l"),
                        QString::number(page), QStringLiteral("-singlefile"),
                        QStringLiteral("-png"), pdf, png});
    if (r.exit != 0)
        qWarning() << "pdftoppm" << r.err;
    const QImage img(png + QStringLiteral(".png"));
    QStringList out;
    for (int half = 0; half < 2; ++half) {
        const QString part = m_dir.filePath(QStringLiteral("half%1.png").arg(half));
        img.copy(0, half * img.height() / 2, img.width(), img.height() / 2).save(part);
        const TRun z =
            run(QStringLiteral("zbarimg"), {QStringLiteral("--raw"), QStringLiteral("-q"), part});
        out += z.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    return out;
}

QString TestFis981::text(const QString& pdf, int page) {
    return run(QStringLiteral("pdftotext"),
               {QStringLiteral("-f"), QString::number(page), QStringLiteral("-l"),
                QString::number(page), QStringLiteral("-layout"), pdf, QStringLiteral("-")})
        .out;
}

int TestFis981::pages(const QString& pdf) {
    const TRun r = run(QStringLiteral("pdfinfo"), {pdf});
    const auto m = QRegularExpression(QStringLiteral("Pages:\\s+(\\d+)")).match(r.out);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

void TestFis981::issuedGuideReadsBackFromThePage() {
    const TNote& n = m_notes[0];
    issue(n, 2.5, 1.25, QDate::currentDate().addDays(20));
    const QStringList stored = payable(n);
    const QString pdf = render(QStringLiteral("_") + n.key() + QStringLiteral("S_"), "one");
    QCOMPARE(pages(pdf), 1);
    // Both copies carry the payable's barcode, and a scanner reads exactly its 44 digits.
    QCOMPARE(barcodes(pdf, 1), (QStringList{stored[0], stored[0]}));
    const QString t = text(pdf, 1);
    for (const QString& s :
         {QStringLiteral("MINISTÉRIO DA FAZENDA"),
          QStringLiteral("SECRETARIA DA RECEITA FEDERAL DO BRASIL"),
          QStringLiteral("Documento de Arrecadação de Receitas Federais"), QStringLiteral("DARF"),
          QStringLiteral("01 NOME/TELEFONE"), QStringLiteral("VALOR TOTAL (07+08+09)"),
          QStringLiteral("1ª via"), QStringLiteral("2ª via"), QStringLiteral("Corte aqui"),
          QStringLiteral("R$ 10,00"), QStringLiteral("Metalúrgica Serra Azul Ltda."), stored[1],
          stored[2], stored[3], QStringLiteral("2,50"), QStringLiteral("1,25")})
        QVERIFY2(t.contains(s), qPrintable(s + QStringLiteral(" not in:\n") + t));
    QCOMPARE(t.count(stored[1]), 2); // the typable line, once per copy
    QVERIFY(!t.contains(QStringLiteral("NÃO EMITIDA")));

    // On paper: about 103 x 13 mm, 0.254 mm per narrow element, blank quiet zones of 5 mm.
    const QImage img(m_dir.filePath(QStringLiteral("page.png")));
    QVERIFY(!img.isNull());
    const double pxPerMm = 300 / 25.4;
    const TSymbolBox box = findSymbol(img, int(5 * pxPerMm));
    QVERIFY(box.top >= 0);
    const double width = (box.right - box.left + 1) / pxPerMm;
    const double height = (box.bottom - box.top + 1) / pxPerMm;
    QVERIFY2(std::abs(width - 405 * 0.254) < 0.3, qPrintable(QString::number(width)));
    QVERIFY2(std::abs(height - 13) < 0.3, qPrintable(QString::number(height)));
    QVERIFY(box.quietLeft && box.quietRight);
}

void TestFis981::onePagePerNoteInListOrderUnissuedWithoutBarcode() {
    const TNote &a = m_notes[0], &b = m_notes[1], &c = m_notes[2];
    issue(b, 0, 0, QDate::currentDate().addDays(25));
    // The worksheet's list: status characters as the worksheet holds them; pages follow it.
    const QString pdf =
        render(QStringLiteral("_%1N_%2S_%3S_").arg(c.key(), b.key(), a.key()), "three");
    QCOMPARE(pages(pdf), 3);

    const QString first = text(pdf, 1);
    QVERIFY2(first.contains(QStringLiteral("NÃO EMITIDA — SEM VALOR PARA PAGAMENTO")),
             qPrintable(first));
    QVERIFY(first.contains(c.nrnota));
    QVERIFY(first.contains(FormatBR(c.tax, 2))); // its fields show all the same
    QVERIFY(barcodes(pdf, 1).isEmpty());
    QVERIFY(!first.contains(QRegularExpression(QStringLiteral("\\d{11}\\.\\d \\d{11}\\.\\d"))));

    for (const auto& [page, note] : {std::pair{2, b}, std::pair{3, a}}) {
        const QStringList stored = payable(note);
        QCOMPARE(barcodes(pdf, page), (QStringList{stored[0], stored[0]}));
        const QString t = text(pdf, page);
        QVERIFY(t.contains(stored[1]));
        QVERIFY(t.contains(note.nrnota));
        QVERIFY(!t.contains(QStringLiteral("NÃO EMITIDA")));
    }

    // A batch reprint longer than any text column the connection allows is taken whole.
    QString batch = QStringLiteral("_");
    for (int i = 0; i < 600; ++i)
        batch += QStringLiteral("9999%1N_").arg(i, 10, 10, QLatin1Char('0'));
    QCOMPARE(pages(render(batch + a.key() + QStringLiteral("S_"), "batch")), 1);
}

// A guide already issued reprints as it was issued, whatever the note's row says now.
void TestFis981::issuedGuideShowsThePayableNotTheNote() {
    const TNote& n = m_notes[0];
    const QStringList stored = payable(n);
    QSqlQuery q(db());
    QVERIFY(q.exec(QStringLiteral("UPDATE IMPOSTONF SET VRMULTAGUIA = 987.65, DTVENCGUIA ="
                                  " '2031-07-15' WHERE CDFILIAL = '%1' AND NRLANCTONF = '%2'"
                                  " AND CDIMPOSTONFE = '01'")
                       .arg(n.filial, n.lancto)));
    const QString pdf = render(QStringLiteral("_") + n.key() + QStringLiteral("S_"), "reprint");
    const QString t = text(pdf, 1);
    QVERIFY(t.contains(stored[2]) && t.contains(stored[3]) && t.contains(QStringLiteral("2,50")));
    QVERIFY(!t.contains(QStringLiteral("987,65")) && !t.contains(QStringLiteral("15/07/2031")));
    QCOMPARE(barcodes(pdf, 1), (QStringList{stored[0], stored[0]}));
}

// The report screen: print to the chosen printer, preview through the host dialogs, save-as to
// the file chosen; the handler fills the parameters each time.
void TestFis981::screenPrintsPreviewsAndSaves() {
    dtmDBGeral()->setDatabase(db());
    TScriptedDialogs dialogs;
    TScopedDialogs scoped(&dialogs);
    struct TForm : TfrmDadosGerRel {
        void FormCreate() override {
            SetReportCode(QStringLiteral("FIS981"));
            TfrmDadosGerRel::FormCreate();
        }
    };
    auto* f = CreateForm<TForm>();
    f->rpddPadrao->setReportDir(m_reports);
    f->RefreshReportNames();
    QCOMPARE(f->cbbReportNames->currentText(), QStringLiteral("FIS981"));
    const QString notes = QStringLiteral("_%1S_%2N_").arg(m_notes[1].key(), m_notes[2].key());
    int calls = 0;
    f->rpddPadrao->BeforeGetQueryParams = [&](const QList<TParam*>& params, bool&) {
        ++calls;
        for (const char* name : {"P_CDIMPOSTO", "P_CDEMPRESA", "P_NOTAS", "P_IMAGEM"})
            QVERIFY(ExistParam(params, QLatin1String(name)));
        QVERIFY(!ExistParam(params, QStringLiteral("P_CDFILIAL")));
        ReportParamByName(params, QStringLiteral("P_CDIMPOSTO"))->setValue(QStringLiteral("01"));
        ReportParamByName(params, QStringLiteral("P_CDEMPRESA"))->setValue(QStringLiteral("01"));
        ReportParamByName(params, QStringLiteral("P_NOTAS"))->setValue(notes);
    };
    QStringList printedNotes;
    f->rpddPadrao->AfterPrint = [&](const TReportDocument& doc) {
        for (const TReportRow& row : doc.Rows())
            printedNotes << row.value(QStringLiteral("NRLANCTONF")).toString();
    };
    const QString printed = m_dir.filePath(QStringLiteral("printed.pdf"));
    f->Printer()->setOutputFormat(QPrinter::PdfFormat);
    f->Printer()->setOutputFileName(printed);
    QVERIFY(f->sbtPrint->Click());
    QCOMPARE(pages(printed), 2);
    QCOMPARE(printedNotes, (QStringList{m_notes[1].lancto, m_notes[2].lancto}));
    QCOMPARE(barcodes(printed, 1).value(0), payable(m_notes[1])[0]);

    const QString previewed = m_dir.filePath(QStringLiteral("preview.pdf"));
    dialogs.onPrintPreview = [&](QPrinter& printer, const std::function<void(QPrinter*)>& paint) {
        QCOMPARE(printer.pageLayout().pageSize().id(), QPageSize::A4);
        QPrinter target(QPrinter::HighResolution);
        target.setOutputFormat(QPrinter::PdfFormat);
        target.setOutputFileName(previewed);
        target.setFullPage(true);
        target.setPageLayout(printer.pageLayout());
        paint(&target);
    };
    QVERIFY(f->sbtPreview->Click());
    QCOMPARE(dialogs.count(QStringLiteral("printPreview")), 1);
    QCOMPARE(pages(previewed), 2);
    QVERIFY(text(previewed, 2).contains(QStringLiteral("NÃO EMITIDA")));

    const QString saved = m_dir.filePath(QStringLiteral("salvo"));
    dialogs.onSaveFile = [&](const QString&) { return saved; };
    QVERIFY(f->sbtSalvarComo->Click());
    QCOMPARE(pages(saved + QStringLiteral(".pdf")), 2);
    QCOMPARE(printedNotes.size(), 4); // the preview printed nothing
    QCOMPARE(calls, 3);
    QVERIFY2(dialogs.errors().isEmpty(), qPrintable(dialogs.errors().join('\n')));
    delete f;
}

// "P_IMAGEM" as the screen builds it (a path relative to the report directory, possibly with
// the other platform's separator) finds the shipped emblem; a missing file leaves it out.
void TestFis981::emblemOnlyWhenItsFileExists() {
    const QString notes = QStringLiteral("_") + m_notes[0].key() + QStringLiteral("S_");
    auto images = [&](const QString& image) {
        const TRun r = run(QStringLiteral("pdfimages"),
                           {QStringLiteral("-list"), render(notes, "img", image)});
        return r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts).size() - 2; // two header lines
    };
    QCOMPARE(images(QString()), 2); // the default: one per copy
    QCOMPARE(images(QStringLiteral("RelFTP\\armasbra.bmp")), 2);
    QCOMPARE(images(m_reports + QStringLiteral("/RelFTP/armasbra.bmp")), 2);
    QCOMPARE(images(m_dir.filePath(QStringLiteral("RelFTP/armasbra.bmp"))), 0);
    QCOMPARE(images(QStringLiteral("")), 0);
}

void TestFis981::batchTool_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("message");
    QTest::newRow("written") << QStringList{"--set", "P_CDIMPOSTO=01"} << 0 << "1 página(s)";
    QTest::newRow("missing definition")
        << QStringList{"--report-dir", "@empty", "--set", "P_CDIMPOSTO=01"} << 3
        << "O arquivo contendo a definição do relatório de código 'FIS981' não foi encontrado no "
           "diretório '@empty'.";
    QTest::newRow("undeclared parameter")
        << QStringList{"--set", "P_CDIMPOSTO=01", "--set", "P_CDFILIAL=0001"} << 2
        << "o relatório 'FIS981' não declara o parâmetro 'P_CDFILIAL'";
    QTest::newRow("missing database")
        << QStringList{"--database", "@empty/nada.fdb", "--set", "P_CDIMPOSTO=01"} << 4
        << "banco de dados não encontrado: '@empty/nada.fdb'.";
    QTest::newRow("no note found") << QStringList{"--set", "P_CDIMPOSTO=99"} << 1
                                   << "Nenhum registro encontrado para o relatório 'FIS981'.";
    QTest::newRow("no pdf") << QStringList{"--set", "P_CDIMPOSTO=01", "--pdf"} << 2
                            << "falta o valor de --pdf.";
}

void TestFis981::batchTool() {
    QFETCH(QStringList, args);
    QFETCH(int, exit);
    QFETCH(QString, message);
    QTemporaryDir empty;
    const QString pdf = m_dir.filePath(QStringLiteral("tool.pdf"));
    QFile::remove(pdf);
    QStringList all{QStringLiteral("--database"),
                    m_location,
                    QStringLiteral("--report-dir"),
                    m_reports,
                    QStringLiteral("FIS981"),
                    QStringLiteral("--set"),
                    QStringLiteral("P_NOTAS=_") + m_notes[0].key() + QStringLiteral("S_"),
                    QStringLiteral("--pdf"),
                    pdf};
    for (QString a : args)
        all << a.replace(QStringLiteral("@empty"), empty.path());
    message.replace(QStringLiteral("@empty"), empty.path());
    const TRun r = run(m_bin + QStringLiteral("fis98100-report"), all);
    QVERIFY2(r.exit == exit, qPrintable(QStringLiteral("%1: %2%3").arg(r.exit).arg(r.out, r.err)));
    QVERIFY2((exit == 0 ? r.out : r.err).contains(message), qPrintable(r.out + r.err));
    if (exit == 0)
        QCOMPARE(barcodes(pdf, 1).value(0), payable(m_notes[0])[0]);
    else
        QVERIFY(!QFile::exists(pdf));
}

QTEST_MAIN(TestFis981)
#include "test_fis981.moc"
