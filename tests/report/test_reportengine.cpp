// The report engine without a server: definitions that must be refused, the symbol Zint draws,
// template formats, and the report screen's actions when the definition is missing, unreadable
// or its parameter handler stops the run.
#include "BaseForms.h"
#include "HostDialogs.h"
#include "HostGuard.h"
#include "QtHostDialogs.h"
#include "report/ReportDesignerDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QPrinter>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// The smallest definition that loads; tests change one thing of it.
QByteArray minimal(const QString& change = {}) {
    QString text = QStringLiteral(R"({
  "format": "fis98100-report/1", "code": "R1", "title": "Teste",
  "parameters": [{"name": "P_A", "type": "string"}, {"name": "P_N", "type": "integer"}],
  "query": {"SQL_IB": "SELECT 1 AS X FROM RDB$DATABASE WHERE :P_A = :P_A"},
  "elements": [{"type": "text", "x": 10, "y": 10, "w": 50, "h": 5, "text": "{X}"}]
})");
    if (!change.isEmpty()) {
        const QStringList pair = change.split(QStringLiteral(" => "));
        text.replace(pair[0], pair[1]);
    }
    return text.toUtf8();
}

void write(const QString& file, const QByteArray& data) {
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}

class TReportForm : public TfrmDadosGerRel {
public:
    explicit TReportForm(const QString& dir) : m_dir(dir) {}
    std::function<void(const QList<TParam*>&, bool&)> handler;
    void FormCreate() override {
        SetReportCode(QStringLiteral("R1"));
        rpddPadrao->setReportDir(m_dir);
        rpddPadrao->BeforeGetQueryParams = [this](const QList<TParam*>& p, bool& flag) {
            if (handler)
                handler(p, flag);
        };
        TfrmDadosGerRel::FormCreate();
    }

private:
    QString m_dir;
};

} // namespace

class TestReportEngine : public QObject {
    Q_OBJECT
    TScriptedDialogs m_dialogs;

private slots:
    void init() {
        m_dialogs.clear();
        SetHostDialogs(&m_dialogs);
    }
    void cleanup() { SetHostDialogs(nullptr); }

    // A definition that does not follow the format is refused when it is opened, naming what
    // is wrong, never half-way through a page.
    void refusedDefinitions_data() {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("reason");
        QTest::newRow("not json") << "\"title\": \"Teste\", => \"title\": \"Teste\" "
                                  << "JSON";
        QTest::newRow("format") << "fis98100-report/1 => outro/2"
                                << "formato";
        QTest::newRow("undeclared query parameter") << ":P_A = :P_A => :P_A = :P_B"
                                                    << "parâmetro \"P_B\", que não está declarado";
        QTest::newRow("element type") << "\"type\": \"text\" => \"type\": \"circle\""
                                      << "tipo desconhecido \"circle\"";
        QTest::newRow("misspelt key") << "\"h\": 5 => \"h\": 5, \"alng\": \"left\""
                                      << "chave desconhecida \"alng\"";
        QTest::newRow("no height") << ", \"h\": 5 => "
                                   << "falta \"elements[0].h\"";
        QTest::newRow("condition")
            << "\"text\": \"{X}\" => \"text\": \"{X}\", \"when\": {\"field\": \"X\"}"
            << "when";
        QTest::newRow("barcode symbology")
            << "\"type\": \"text\", \"x\": 10, \"y\": 10, \"w\": 50, \"h\": 5, \"text\": \"{X}\" "
               "=> \"type\": \"barcode\", \"x\": 10, \"y\": 10, \"h\": 13, \"value\": \"{X}\", "
               "\"symbology\": \"QR\""
            << "I25";
        QTest::newRow("parameter type") << "\"integer\" => \"inteiro\""
                                        << "parameters[1].type";
        QTest::newRow("no query") << "\"SQL_IB\": => \"SQL_XX\":"
                                  << "chave desconhecida";
    }
    void refusedDefinitions() {
        QFETCH(QString, change);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("R1.json"));
        write(file, minimal(change));
        try {
            LoadReportDefinition(file);
            QFAIL("accepted");
        } catch (const EHostError& e) {
            QVERIFY2(e.text().contains(reason), qPrintable(e.text()));
            QVERIFY2(e.text().startsWith(file), qPrintable(e.text()));
        }
        // Through the report component the clerk reads "Arq_Rel_Err" and the reason after it.
        TReportDesignerDialog r;
        r.setReportDir(dir.path());
        r.setReportCode(QStringLiteral("R1"));
        try {
            r.Prepare();
            QFAIL("accepted");
        } catch (const EReportDefinition& e) {
            const QString head = QStringLiteral("O arquivo contendo a definição do relatório de "
                                                "código 'R1' não foi encontrado no diretório '%1'.")
                                     .arg(dir.path());
            QVERIFY2(e.text().startsWith(head + QLatin1Char('\n')), qPrintable(e.text()));
            QVERIFY(e.text().contains(reason));
        }
    }

    void definitionsFoundByCode() {
        QTemporaryDir dir;
        write(dir.filePath(QStringLiteral("R1-b.json")), minimal());
        write(dir.filePath(QStringLiteral("r1.json")), minimal());
        write(dir.filePath(QStringLiteral("R10.json")), minimal());
        write(dir.filePath(QStringLiteral("R1-a.json")), minimal());
        QStringList names;
        for (const QString& f : FindReportDefinitions(dir.path(), QStringLiteral("R1")))
            names << QFileInfo(f).fileName();
        QCOMPARE(names, (QStringList{"r1.json", "R1-a.json", "R1-b.json"}));
        const TReportDefinition d = LoadReportDefinition(dir.filePath(QStringLiteral("R1-a.json")));
        QCOMPARE(d.title, QStringLiteral("Teste"));
        QCOMPARE(d.params.size(), 2);
        QCOMPARE(d.copies.size(), 1);
        QVERIFY(d.findParam(QStringLiteral("p_n")));
        QCOMPARE(d.findParam(QStringLiteral("P_N"))->type, TReportParamType::Integer);
    }

    // 44 digits in Interleaved 2 of 5 without an added check digit: 405 modules, narrow and
    // wide elements 1:3, so that 0.254 mm per module gives the 103 mm the banks expect.
    void interleavedSymbol() {
        const QString digits = QStringLiteral("85670000001035000640030112345678000112340100");
        const TBarcodeBars b = InterleavedBars(digits);
        QCOMPARE(b.total, 405);
        QCOMPARE(b.bars.size(), 2 + 44 / 2 * 5 + 2); // start, pairs, stop
        int narrow = 0, wide = 0, end = 0;
        for (const auto& [start, width] : b.bars) {
            QVERIFY(start >= end); // ascending, never overlapping
            QVERIFY2(width == 1 || width == 3, qPrintable(QString::number(width)));
            (width == 1 ? narrow : wide)++;
            end = start + width;
        }
        QCOMPARE(end, b.total);
        QCOMPARE(wide, 44 + 1); // two wide bars per digit pair, one in the stop pattern
        QVERIFY(std::abs(b.total * 0.254 - 102.87) < 0.01);
        // A check digit added by the encoder would change the count.
        QCOMPARE(InterleavedBars(digits.left(42)).total, 405 - 18);
        for (const QString& badDigits : {QStringLiteral("123"), QStringLiteral("12a4"), QString()})
            QVERIFY_THROWS_EXCEPTION(EHostError, InterleavedBars(badDigits));
    }

    void formats_data() {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("out");
        QTest::newRow("money") << QVariant(1234567.5) << "money"
                               << "1.234.567,50";
        QTest::newRow("money half centavo") << QVariant(2.675) << "money"
                                            << "2,68";
        QTest::newRow("amount by default") << QVariant(10.0) << ""
                                           << "10,00";
        QTest::newRow("date") << QVariant(QDateTime(QDate(2026, 1, 5), QTime(0, 0))) << "date"
                              << "05/01/2026";
        QTest::newRow("date by default") << QVariant(QDate(2026, 12, 31)) << ""
                                         << "31/12/2026";
        QTest::newRow("datetime") << QVariant(QDateTime(QDate(2026, 3, 4), QTime(9, 7)))
                                  << "datetime"
                                  << "04/03/2026 09:07";
        QTest::newRow("cnpj") << QVariant("12.345.678/0001-95") << "cnpj"
                              << "12.345.678/0001-95";
        QTest::newRow("cnpj digits") << QVariant("12345678000195") << "cnpj"
                                     << "12.345.678/0001-95";
        QTest::newRow("cpf") << QVariant("12345678909") << "cnpj"
                             << "123.456.789-09";
        QTest::newRow("null") << QVariant() << "money"
                              << "";
    }
    void formats() {
        QFETCH(QVariant, value);
        QFETCH(QString, format);
        QFETCH(QString, out);
        QCOMPARE(ReportFormat(value, format), out);
    }

    // Every report action of the screen names the missing definition with the screen's
    // "Arq_Rel_Err"; save-as says so before a file is asked for.
    void missingDefinition() {
        QTemporaryDir dir;
        auto* f = CreateForm<TReportForm>(dir.path());
        QCOMPARE(f->cbbReportNames->count(), 1);
        QCOMPARE(f->cbbReportNames->currentText(), QStringLiteral("R1"));
        const QString text = QStringLiteral("O arquivo contendo a definição do relatório de "
                                            "código 'R1' não foi encontrado no diretório '%1'.")
                                 .arg(dir.path());
        bool handled = false;
        f->handler = [&](const QList<TParam*>&, bool&) { handled = true; };
        for (TButtonFlat* b : {f->sbtPrint, f->sbtPreview, f->sbtSalvarComo, f->sbtReportEdit}) {
            m_dialogs.clear();
            QVERIFY(!b->Click());
            QCOMPARE(m_dialogs.errors(), QStringList{text});
            QCOMPARE(m_dialogs.count(QStringLiteral("saveFile")), 0);
            QCOMPARE(m_dialogs.count(QStringLiteral("printPreview")), 0);
        }
        QVERIFY(!handled);
        // A definition copied in while the screen is open is listed and used.
        write(dir.filePath(QStringLiteral("R1.json")), minimal());
        f->RefreshReportNames();
        QCOMPARE(f->cbbReportNames->currentData().toString(), QStringLiteral("R1.json"));
        QCOMPARE(f->cbbReportNames->itemData(0, Qt::ToolTipRole).toString(),
                 QStringLiteral("Teste"));
        delete f;
    }

    // The handler gets the declared parameters (with their defaults); what it raises ends the
    // run before the query, with nothing printed, and reaches the caller as it was raised.
    void handlerStopsTheRun() {
        QTemporaryDir dir;
        write(dir.filePath(QStringLiteral("R1.json")),
              minimal(QStringLiteral("\"type\": \"integer\"} => \"type\": \"integer\", "
                                     "\"default\": \"7\"}")));
        auto* f = CreateForm<TReportForm>(dir.path());
        const QString pdf = dir.filePath(QStringLiteral("out.pdf"));
        f->Printer()->setOutputFormat(QPrinter::PdfFormat);
        f->Printer()->setOutputFileName(pdf);
        QStringList seen;
        QVariant defaultN;
        f->handler = [&](const QList<TParam*>& params, bool&) {
            for (TParam* p : params)
                seen << p->Name();
            QVERIFY(ExistParam(params, QStringLiteral("p_a")));
            defaultN = ReportParamByName(params, QStringLiteral("P_N"))->Value();
            MensErro(QStringLiteral("Vencimento deve ser informado."), true);
        };
        QVERIFY(!f->sbtPrint->Click());
        QCOMPARE(seen, (QStringList{"P_A", "P_N"}));
        QCOMPARE(defaultN, QVariant(qlonglong(7)));
        QCOMPARE(m_dialogs.errors(), QStringList{"Vencimento deve ser informado."});
        QVERIFY(!QFile::exists(pdf));

        // An error goes on to the caller unchanged (the issue run's guard relies on it).
        f->handler = [](const QList<TParam*>&, bool&) { throw EHostError(QStringLiteral("x")); };
        QVERIFY_THROWS_EXCEPTION(EHostError, f->sbtPreviewClick(f->sbtPreview));
        QCOMPARE(m_dialogs.count(QStringLiteral("printPreview")), 0);
        f->handler = [](const QList<TParam*>&, bool&) { Abort(); };
        QVERIFY_THROWS_EXCEPTION(EAbort, f->sbtPrintClick(f->sbtPrint));
        m_dialogs.onSaveFile = [&](const QString&) { return pdf; };
        QVERIFY_THROWS_EXCEPTION(EAbort, f->sbtSalvarComoClick(f->sbtSalvarComo));
        QVERIFY(!QFile::exists(pdf));

        // A handler that clears the flag drops the run quietly.
        f->handler = [](const QList<TParam*>&, bool& flag) { flag = false; };
        m_dialogs.clear();
        QVERIFY(f->sbtPrint->Click());
        QVERIFY(m_dialogs.shown.isEmpty());
        QVERIFY(!QFile::exists(pdf));
        m_dialogs.onSaveFile = nullptr;
        delete f;
    }

    // The clerk's preview is Qt's print preview: it asks for the pages as it opens and its
    // print button prints them on the screen's printer.
    void qtPreviewPaintsThePages() {
        TQtHostDialogs qt;
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(QDir::temp().filePath(QStringLiteral("fis-preview.pdf")));
        int painted = 0;
        bool closed = false;
        QTimer timer;
        timer.setInterval(50);
        connect(&timer, &QTimer::timeout, this, [&] {
            if (QWidget* w = QApplication::activeModalWidget()) {
                QCOMPARE(w->windowTitle(), QStringLiteral("Visualizar Impressão"));
                closed = w->close();
            }
        });
        timer.start();
        qt.printPreview(printer, [&](QPrinter* target) {
            QPainter p(target);
            p.drawText(QPointF(100, 100), QStringLiteral("DARF"));
            ++painted;
        });
        QVERIFY(closed);
        QVERIFY(painted >= 1);
    }

    // Values given to the run must be declared and fit their type.
    void undeclaredParameter() {
        QTemporaryDir dir;
        write(dir.filePath(QStringLiteral("R1.json")), minimal());
        TReportDesignerDialog r;
        r.setReportDir(dir.path());
        r.setReportCode(QStringLiteral("R1"));
        try {
            r.Prepare({{QStringLiteral("P_X"), QStringLiteral("1")}});
            QFAIL("accepted");
        } catch (const EReportParameter& e) {
            QCOMPARE(e.text(), QStringLiteral("O relatório 'R1' não declara o parâmetro 'P_X'."));
        }
        QVERIFY_THROWS_EXCEPTION(EReportParameter,
                                 r.Prepare({{QStringLiteral("p_n"), QStringLiteral("sete")}}));
    }
};

QTEST_MAIN(TestReportEngine)
#include "test_reportengine.moc"
