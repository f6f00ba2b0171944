// Base screens: message table, button bar hook, the abort model at a guarded handler, the
// report actions without a definition, the MDI life of a screen and the filter base's options.
#include "BaseForms.h"
#include "HostApplication.h"
#include "HostDialogs.h"
#include "HostGuard.h"
#include "Zelkora.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QPrinter>
#include <QTemporaryDir>
#include <QTest>

namespace {

class TSampleForm : public TfrmDadosGerRel {
public:
    using TfrmDadosGerRel::TfrmDadosGerRel;
    TButtonFlat* sbtExtra = nullptr;
    int created = 0, activated = 0, closed = 0;
    TCloseAction closeAs = caFree;
    void FormCreate() override {
        SetReportCode(QStringLiteral("FIS981"));
        TfrmDadosGerRel::FormCreate();
        ++created;
    }
    void FormActivate() override { ++activated; }
    void FormClose(TCloseAction& action) override {
        TfrmDadosGerRel::FormClose(action);
        ++closed;
        action = closeAs;
    }

protected:
    void CreateBarButtons() override {
        sbtExtra = new TButtonFlat(QStringLiteral("Filtro"), QStringLiteral("Filtro"));
        AddBarButton(sbtExtra);
    }
};

QStringList barOrder(TfrmDadosGerRel* f) {
    QStringList names;
    auto* lay = f->panBotoes->layout();
    for (int i = 0; i < lay->count(); ++i)
        if (QWidget* w = lay->itemAt(i)->widget())
            names << (w->objectName().isEmpty() ? w->property("text").toString() : w->objectName());
    return names;
}

} // namespace

class TestBaseForms : public QObject {
    Q_OBJECT
    TScriptedDialogs m_dialogs;

private slots:
    void init() {
        m_dialogs.clear();
        SetHostDialogs(&m_dialogs);
    }
    void cleanup() { SetHostDialogs(nullptr); }

    void baseMessageTable() {
        TfrmDadosGerRel f;
        QCOMPARE(f.msgPadrao.lines().size(), 4);
        QCOMPARE(f.msgPadrao.Msg(QStringLiteral("Arq_Rel_Err")),
                 QStringLiteral("O arquivo contendo a definição do relatório de código '%s' não "
                                "foi encontrado no diretório '%s'."));
        QCOMPARE(f.msgPadrao.Msg(QStringLiteral("NovoCaption")),
                 QStringLiteral("Título do relatório"));
        QCOMPARE(f.msgPadrao.Msg(QStringLiteral("NovoPrompt")),
                 QStringLiteral("Informe o título do relatório:"));
        QCOMPARE(f.msgPadrao.Msg(QStringLiteral("VD_TRAD")),
                 QStringLiteral("Validando tradução de relatórios"));
    }

    void format_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("out");
        QTest::newRow("two") << "código '%s' no diretório '%s'." << QStringList{"FIS981", "/r"}
                             << "código 'FIS981' no diretório '/r'.";
        QTest::newRow("missing arg") << "a %s b %s" << QStringList{"1"} << "a 1 b ";
        QTest::newRow("percent") << "100%% %d" << QStringList{"7"} << "100% 7";
        QTest::newRow("trailing") << "50%" << QStringList{} << "50%";
    }
    void format() {
        QFETCH(QString, text);
        QFETCH(QStringList, args);
        QFETCH(QString, out);
        QCOMPARE(Format(text, args), out);
    }

    void screenButtonsGoBeforeCancel() {
        auto* f = CreateForm<TSampleForm>();
        QCOMPARE(f->created, 1);
        f->AfterConstruction(); // runs once only
        QCOMPARE(f->created, 1);
        QCOMPARE(barOrder(f),
                 (QStringList{"sbtPrint", "sbtPreview", "sbtConfigImpr", "sbtSalvarComo",
                              "sbtReportEdit", "Filtro", "sbtCancel"}));
        QCOMPARE(f->grbDadosRel->height(), 76);
        QCOMPARE(f->cbbReportNames->currentText(), QStringLiteral("FIS981"));
        delete f;
    }

    // A guarded handler that calls MensErro(.., true) stops there, exactly one message shows,
    // and the application goes on: the next signal is handled normally.
    void abortModel() {
        TButtonFlat b;
        QStringList trail;
        guardedConnect(&b, &QToolButton::clicked, &b, [&](bool) {
            trail << QStringLiteral("before");
            if (trail.size() == 1)
                MensErro(QStringLiteral("Empresa não cadastrada."), true);
            trail << QStringLiteral("after");
        });
        QTest::mouseClick(&b, Qt::LeftButton);
        QCOMPARE(trail, QStringList{QStringLiteral("before")});
        QCOMPARE(m_dialogs.count(QStringLiteral("error")), 1);
        QCOMPARE(m_dialogs.errors(), QStringList{QStringLiteral("Empresa não cadastrada.")});
        QCOMPARE(m_dialogs.shown.size(), 1);
        QTest::mouseClick(&b, Qt::LeftButton);
        QCOMPARE(trail, (QStringList{"before", "before", "after"}));
        QCOMPARE(m_dialogs.shown.size(), 1);
        // A bare abort refuses without a message.
        QVERIFY(!HostGuard::run([] { Abort(); }));
        QCOMPARE(m_dialogs.shown.size(), 1);
    }

    // Without a definition in the report directory every report action names the report and
    // the directory with "Arq_Rel_Err" (the engine itself is tested in tests/report).
    void reportActionsWithoutDefinition() {
        QTemporaryDir dir;
        auto* f = CreateForm<TSampleForm>();
        f->rpddPadrao->setReportDir(dir.path());
        const QString text = QStringLiteral("O arquivo contendo a definição do relatório de código "
                                            "'FIS981' não foi encontrado no diretório '%1'.")
                                 .arg(dir.path());
        for (TButtonFlat* b : {f->sbtPrint, f->sbtPreview, f->sbtSalvarComo, f->sbtReportEdit}) {
            m_dialogs.clear();
            QTest::mouseClick(b, Qt::LeftButton);
            QCOMPARE(m_dialogs.errors(), QStringList{text});
        }
        delete f;
    }

    // Printer set-up goes through the host dialogs (nothing waits for a person) and its choice
    // stays with the screen for the next set-up and print.
    void printerSetupKeepsTheChoice() {
        auto* f = CreateForm<TSampleForm>();
        const QString pdf = QDir::temp().filePath(QStringLiteral("fis-setup.pdf"));
        m_dialogs.onPrintSetup = [&](QPrinter& p) {
            p.setOutputFileName(pdf);
            p.setPageOrientation(QPageLayout::Landscape);
            return true;
        };
        QVERIFY(f->sbtConfigImpr->Click());
        QCOMPARE(m_dialogs.count(QStringLiteral("printSetup")), 1);
        QCOMPARE(f->Printer()->outputFileName(), pdf);
        QCOMPARE(f->Printer()->pageLayout().orientation(), QPageLayout::Landscape);
        // The next set-up starts from the kept choice.
        bool startedFromKept = false;
        m_dialogs.onPrintSetup = [&](QPrinter& p) {
            startedFromKept =
                p.outputFileName() == pdf && p.pageLayout().orientation() == QPageLayout::Landscape;
            return false;
        };
        QVERIFY(f->sbtConfigImpr->Click());
        QVERIFY(startedFromKept);
        QCOMPARE(m_dialogs.count(QStringLiteral("printSetup")), 2);
        m_dialogs.onPrintSetup = nullptr;
        delete f;
    }

    // The search facilities reach whatever dialogs are installed; the chosen keys come back
    // through the caller's text.
    void searchFacilitiesUseTheInstalledDialogs() {
        m_dialogs.onPesquisaLista = [](TDataSource*, const QString& key, const QString&,
                                       QString& keys) {
            keys = key == QLatin1String("CHAVE") ? QStringLiteral("'E_1','S_2'") : QString();
            return true;
        };
        QString keys = QStringLiteral("'X'");
        QVERIFY(
            PesquisaLista(nullptr, QStringLiteral("CHAVE"), QStringLiteral("Séries"), false, keys));
        QCOMPARE(keys, QStringLiteral("'E_1','S_2'"));
        QVERIFY(!Pesquisar(nullptr, QStringLiteral("Empresas"), false, true));
        Procura(nullptr);
        QCOMPARE(m_dialogs.shown.size(), 3);
        QCOMPARE(m_dialogs.shown.at(0).text, QStringLiteral("Séries"));
        QCOMPARE(m_dialogs.shown.at(1).kind, QStringLiteral("pesquisar"));
        QCOMPARE(m_dialogs.shown.at(1).text, QStringLiteral("Empresas"));
        QCOMPARE(m_dialogs.shown.at(2).kind, QStringLiteral("procura"));
        m_dialogs.onPesquisaLista = nullptr;
    }

    void mdiLifecycle() {
        QMdiArea area;
        area.resize(800, 600);
        area.show();
        Application().SetMdiArea(&area);
        QPointer<TSampleForm> f = CreateForm<TSampleForm>();
        f->setWindowTitle(QStringLiteral("Amostra"));
        QMdiSubWindow* sub = Application().AddChild(f);
        QVERIFY(sub);
        QCOMPARE(THostApplication::ChildWindow(f), sub);
        QCOMPARE(sub->windowTitle(), QStringLiteral("Amostra"));
        THostApplication::ShowMaximized(f);
        QVERIFY(sub->isMaximized());
        QCOMPARE(area.activeSubWindow(), sub);
        QTRY_VERIFY(f->activated >= 1);

        f->closeAs = caNone; // the screen refuses
        QVERIFY(!sub->close());
        QCOMPARE(f->closed, 1);
        QVERIFY(sub->isVisible());

        f->closeAs = caHide;
        sub->close();
        QVERIFY(f && !sub->isVisible());

        f->closeAs = caFree;
        THostApplication::ShowMaximized(f);
        f->sbtCancel->Click(); // "Fechar" closes through the child window
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!f);
        QVERIFY(area.subWindowList().isEmpty());
        Application().SetMdiArea(nullptr);
    }

    void screenCursor() {
        Application().SetScreenCursor(crHourGlass);
        Application().SetScreenCursor(crHourGlass);
        QVERIFY(QGuiApplication::overrideCursor());
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
        Application().SetScreenCursor(crDefault);
        QVERIFY(!QGuiApplication::overrideCursor());
    }

    void filterOptionsRoundTrip() {
        QTemporaryDir dir;
        qputenv("XDG_DATA_HOME", dir.path().toUtf8());
        auto* d = CreateForm<TfrmFiltroPadrao>();
        d->setObjectName(QStringLiteral("frmFiltroTeste"));
        auto* edt = new QLineEdit(d->grbFiltroPadrao);
        edt->setObjectName(QStringLiteral("edtInscricao"));
        auto* chk = new QCheckBox(d->grbFiltroPadrao);
        chk->setObjectName(QStringLiteral("chkTodos"));
        edt->setText(QStringLiteral("123"));
        chk->setChecked(true);
        d->btfSaveOpc->Click();
        QVERIFY(
            QFile::exists(dir.path() + QStringLiteral("/fis98100/options/frmFiltroTeste.json")));
        edt->clear();
        chk->setChecked(false);
        d->btfLoadOpc->Click();
        QCOMPARE(edt->text(), QStringLiteral("123"));
        QVERIFY(chk->isChecked());
        QVERIFY(m_dialogs.shown.isEmpty());
        QVERIFY(d->sbtConfirma->Click());
        QCOMPARE(d->result(), int(QDialog::Accepted));
        delete d;
    }
};

QTEST_MAIN(TestBaseForms)
#include "test_baseforms.moc"
