// The filter dialog with a real database, a real fis98100-server and scripted dialogs: the
// registration rules, each check's refusal and where it leaves the focus, the pick lists, the
// confirmation that loads the notes (a failing server call empties the worksheet), cancelling
// and refreshing, the dialog outliving a closed screen, and how the main screen opens it.
#include "../support/ScreenFixture.h"
#include "filter/Cli_Fis98101.h"
#include "filter/FiltroEmissaoDarfDoc.h"
#include "host/BusyIndicator.h"
#include "host/Components.h"
#include "host/DBGrid.h"
#include "host/DataSet.h"
#include "host/FocusGroup.h"
#include "host/HostApplication.h"
#include "host/Query.h"
#include "host/SearchButton.h"
#include "host/core/Services.h"
#include "screen/Cli_Fis98100.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QMdiArea>
#include <QRadioButton>
#include <QScopeGuard>
#include <QSqlError>
#include <QSqlQuery>
#include <QStackedWidget>
#include <QTimer>

using namespace Cli_Fis98101;
using Cli_Fis98100::frmEmissaoDarfDoc;

namespace {

const QString kSemMuni =
    QString::fromUtf8("Não há Inscrição Municipal cadastrada para a Empresa informada");
const QString kSemEsta =
    QString::fromUtf8("Não há Inscrição Estadual cadastrada para a Empresa informada");

QStringList strings(QSqlDatabase db, const QString& sql, const QVariantList& binds = {}) {
    QSqlQuery q(db);
    if (!q.prepare(sql))
        qFatal("%s", qPrintable(q.lastError().text()));
    for (const QVariant& v : binds)
        q.addBindValue(v);
    if (!q.exec())
        qFatal("%s", qPrintable(q.lastError().text()));
    QStringList out;
    while (q.next())
        out << q.value(0).toString();
    return out;
}

// The entries (NRLANCTONF) of the notes a filter should load, in the server's order.
QStringList expectedNotes(QSqlDatabase db, const QString& empresa, const QString& imposto,
                          const QString& kind, const QString& extra = {}) {
    const QDate today = QDate::currentDate();
    return strings(
        db,
        QStringLiteral("SELECT n.NRLANCTONF FROM NOTAFISCAL n JOIN IMPOSTONF i ON "
                       "i.CDFILIAL = n.CDFILIAL AND i.NRLANCTONF = n.NRLANCTONF AND "
                       "i.CDIMPOSTONFE = ? WHERE n.CDEMPRESA = ? AND i.VRIMPOSTONF > 0"
                       " AND n.DTEMISSAONF BETWEEN ? AND ? AND n.DTENTRSAID BETWEEN ? "
                       "AND ? AND (? = 'T' OR n.IDENTRSAIDOP = ?) ") +
            extra +
            QStringLiteral(" ORDER BY n.DTENTRSAID, n.NRNOTAFISC, n.CDFILIAL, "
                           "n.NRLANCTONF"),
        {imposto, empresa, PriDiaMes(today), today, PriDiaMes(today), today, kind, kind});
}

} // namespace

class TestFilter : public QObject {
    Q_OBJECT
    TScreenFixture m_fx;
    QMdiArea* m_area = nullptr;
    QTimer m_modalWatch;
    int m_modalShown = 0;
    std::function<void(TfrmFiltroEmissaodarfDoc*)> m_inModal;

    TfrmEmissaoDarfDoc* screen() const { return frmEmissaoDarfDoc; }
    TfrmFiltroEmissaodarfDoc* dlg() const { return FiltroEmissaoDarfDoc(); }
    TClientDataSet* notes() const { return screen()->cdsNotaFiscal; }
    TScriptedDialogs& dialogs() { return m_fx.dialogs; }

    QStringList loadedEntries() const {
        QStringList out;
        const int idx = notes()->FieldByName(QStringLiteral("NRLANCTONF"))->Index();
        for (int i = 0; i < notes()->RecordCount(); ++i)
            out << notes()->ValueAt(i, idx).toString();
        return out;
    }
    // The dialog shown without its modal loop, as the active window, so the clerk's focus
    // moves reach it.
    void showDialog() {
        dlg()->show();
        dlg()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dlg()));
    }
    // The clerk moves the focus to w.
    static void moveTo(QWidget* w) {
        w->setFocus(Qt::TabFocusReason);
        QCoreApplication::processEvents();
    }
    void refused(const std::function<void()>& act, const QString& text, QWidget* focus) {
        dialogs().clear();
        act();
        QCOMPARE(dialogs().errors(), QStringList{text});
        if (focus)
            QCOMPARE(dlg()->focusWidget(), focus);
    }
    bool confirm() { return dlg()->sbtConfirma->Click(); }
    void openScreen(const QString& company) {
        Cli_Fis98100::CriaEmissaoDarfDoc();
        QVERIFY(screen());
        screen()->medCdEmpresa->SetText(company);
    }

private slots:
    void initTestCase() {
        QVERIFY2(m_fx.setUp(200), qPrintable(m_fx.server.log()));
        m_area = new QMdiArea;
        m_area->resize(1200, 700);
        Application().SetMdiArea(m_area);
        m_area->show();
        QVERIFY(QTest::qWaitForWindowActive(m_area));
        openScreen(QStringLiteral("01"));
        // While it runs, any modal showing of the dialog is seen here: counted, driven by
        // m_inModal, else cancelled.
        m_modalWatch.setInterval(10);
        connect(&m_modalWatch, &QTimer::timeout, this, [this] {
            auto* d = qobject_cast<TfrmFiltroEmissaodarfDoc*>(QApplication::activeModalWidget());
            if (!d || !d->isVisible() || d->property("seen").toBool())
                return;
            d->setProperty("seen", true);
            ++m_modalShown;
            if (auto fn = std::exchange(m_inModal, nullptr))
                fn(d);
            else
                d->reject();
        });
    }
    void cleanupTestCase() {
        m_modalWatch.stop();
        DestroiFiltroEmissaoDarfDoc();
        delete m_area;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        Application().SetMdiArea(nullptr);
        m_fx.tearDown();
    }
    // Every case starts from a new dialog over company 01's screen.
    void init() {
        DestroiFiltroEmissaoDarfDoc();
        stCodSerie.clear();
        stCodTipoOper.clear();
        stEntrsaid.clear();
        stInscricao.clear();
        if (!screen())
            openScreen(QStringLiteral("01"));
        screen()->medCdEmpresa->SetText(QStringLiteral("01"));
        m_modalShown = 0;
        m_inModal = nullptr;
        dialogs().clear();
        dialogs().onPesquisaLista = nullptr;
        dialogs().onPesquisar = nullptr;
    }

    void defaultsFromTheProcessingDate() {
        m_fx.writeIni(QStringLiteral("[Branch]\nCode=0001\nProcessingDate.0001=17/11/2026\n"));
        TfrmFiltroEmissaodarfDoc* d = dlg();
        m_fx.writeIni(QString());
        QCOMPARE(d->windowTitle(), QString::fromUtf8("Filtro Emissão de Darf por Documento"));
        QVERIFY(!d->parent()); // the module's, not a screen's
        QCOMPARE(d->depEmiIni->GetDate(), QDate(2026, 11, 1));
        QCOMPARE(d->depEntIni->GetDate(), QDate(2026, 11, 1));
        QCOMPARE(d->depEmiFim->GetDate(), QDate(2026, 11, 17));
        QCOMPARE(d->depEntFim->GetDate(), QDate(2026, 11, 17));
        QCOMPARE(d->depEmiFim->Edit()->toolTip(), QStringLiteral("Terça"));
        QCOMPARE(d->cbbEntrSaid->currentIndex(), 0);
        QCOMPARE(d->cbbCnpj->currentIndex(), 2);
        QCOMPARE(d->nbkCliente->currentIndex(), 2);
        QCOMPARE(d->medTodos->Text(), QStringLiteral("Todos"));
        QVERIFY(d->rdgTodosSerie->isChecked() && d->rdgTodosTipoOperac->isChecked());
        QVERIFY(!d->btpPesqSerie->isEnabled() && !d->btpTipoOperac->isEnabled());
        QVERIFY(!d->medInscEsta->isEnabled() && !d->medInscMuni->isEnabled());
        QVERIFY(!d->btfSaveOpc->isEnabled() && !d->btfLoadOpc->isEnabled());
        // No dialect accepts another company's state registration.
        for (TSqlDialect dialect :
             {TSqlDialect::Oracle, TSqlDialect::MSSQL, TSqlDialect::InterBase})
            QVERIFY(d->qryInscEsta->SQLText(dialect).contains(
                QStringLiteral("CDEMPRESA  = :P_CDEMPRESA AND")));
    }

    void registrationRules_data() {
        QTest::addColumn<QString>("orgao");
        QTest::addColumn<bool>("lista");
        // enabled, required, emptied: state then municipal; the search messages after
        QTest::addColumn<QList<bool>>("esta");
        QTest::addColumn<QList<bool>>("muni");
        QTest::addColumn<QString>("estaMsg");
        QTest::addColumn<QString>("muniMsg");
        // Before: both disabled and filled, the state one required, the municipal one not.
        using L = QList<bool>;
        QTest::newRow("E list") << "E" << true << L{1, 1, 0} << L{1, 1, 0} << "antes"
                                << "antes";
        QTest::newRow("E") << "E" << false << L{1, 0, 0} << L{0, 0, 1} << kSemEsta << "antes";
        QTest::newRow("M list") << "M" << true << L{1, 1, 0} << L{1, 0, 0} << "antes"
                                << "antes";
        QTest::newRow("M") << "M" << false << L{0, 1, 1} << L{1, 0, 0} << "antes" << kSemMuni;
        QTest::newRow("F list") << "F" << true << L{1, 1, 0} << L{1, 1, 0} << "antes"
                                << "antes";
        QTest::newRow("F") << "F" << false << L{0, 0, 1} << L{0, 0, 1} << "antes" << kSemMuni;
        QTest::newRow("none") << "" << false << L{0, 0, 1} << L{0, 0, 1} << "antes" << kSemMuni;
        QTest::newRow("other") << "X" << true << L{0, 1, 0} << L{0, 0, 0} << "antes"
                               << "antes";
    }
    void registrationRules() {
        QFETCH(QString, orgao);
        QFETCH(bool, lista);
        QFETCH(QList<bool>, esta);
        QFETCH(QList<bool>, muni);
        QFETCH(QString, estaMsg);
        QFETCH(QString, muniMsg);
        TfrmFiltroEmissaodarfDoc* d = dlg();
        d->medCdImposto->SetText(QStringLiteral("01"));
        d->cbbEntrSaid->setCurrentIndex(lista ? 1 : 0);
        d->rdgListaSerie->setChecked(true);
        QVERIFY(dialogs().errors().isEmpty());
        for (QWidget* w :
             {static_cast<QWidget*>(d->medInscEsta), static_cast<QWidget*>(d->medInscMuni),
              static_cast<QWidget*>(d->btpPesqInscEsta), static_cast<QWidget*>(d->btpPesqInscMuni)})
            w->setEnabled(false);
        d->medInscEsta->SetText(QStringLiteral("123"));
        d->medInscMuni->SetText(QStringLiteral("123"));
        d->SetObrigatorio(d->medInscEsta, true);
        d->SetObrigatorio(d->medInscMuni, false);
        d->btpPesqInscEsta->setEmptyError(QStringLiteral("antes"));
        d->btpPesqInscMuni->setEmptyError(QStringLiteral("antes"));

        d->RegrasInscricao(orgao);
        auto state = [d](TMaskEdit* e) {
            return QList<bool>{e->isEnabled(), d->Obrigatorio(e), e->Text().isEmpty()};
        };
        QCOMPARE(state(d->medInscEsta), esta);
        QCOMPARE(state(d->medInscMuni), muni);
        // the label and the search button follow the field
        QCOMPARE(d->btpPesqInscEsta->isEnabled(), esta[0]);
        QCOMPARE(d->btpPesqInscMuni->isEnabled(), muni[0]);
        QCOMPARE(d->btpPesqInscEsta->EmptyError(), estaMsg);
        QCOMPARE(d->btpPesqInscMuni->EmptyError(), muniMsg);
    }

    // The rules as the clerk meets them: the tax, the entry/exit choice and the series mode.
    void registrationRulesThroughTheControls() {
        TfrmFiltroEmissaodarfDoc* d = dlg();
        d->medCdImposto->SetText(QStringLiteral("01"));
        d->cbbEntrSaid->setCurrentIndex(1);
        d->rdgListaSerie->setChecked(true);
        QVERIFY(d->medInscEsta->isEnabled() && d->Obrigatorio(d->medInscEsta));
        QVERIFY(d->medInscMuni->isEnabled() && d->Obrigatorio(d->medInscMuni));
        d->medInscEsta->SetText(QStringLiteral("1"));
        d->cbbEntrSaid->setCurrentIndex(0); // "Entrada": no registration, whatever the mode
        QVERIFY(!d->medInscEsta->isEnabled() && d->medInscEsta->Text().isEmpty());
        QVERIFY(!d->Obrigatorio(d->medInscEsta) && !d->Obrigatorio(d->medInscMuni));
        d->cbbEntrSaid->setCurrentIndex(2);
        QVERIFY(d->Obrigatorio(d->medInscEsta) && d->Obrigatorio(d->medInscMuni));
        d->rdgTodosSerie->setChecked(true);
        QVERIFY(!d->btpPesqSerie->isEnabled() && !d->medInscEsta->isEnabled());
        QVERIFY(!d->Obrigatorio(d->medInscEsta) && !d->Obrigatorio(d->medInscMuni));
        // "Lista" with no tax: refused, the search stays disabled
        d->medCdImposto->SetText(QString());
        refused([d] { d->rdgListaSerie->setChecked(true); },
                QString::fromUtf8("Imposto deve ser informado."), nullptr);
        QVERIFY(d->rdgListaSerie->isChecked() && !d->btpPesqSerie->isEnabled());
    }

    // Each check refuses with its message and leaves the focus on the field it names.
    void fieldChecks() {
        showDialog();
        TfrmFiltroEmissaodarfDoc* d = dlg();
        // a tax is adjusted, looked up and shown with its abbreviation
        d->medCdImposto->SetText(QStringLiteral("1"));
        moveTo(d->cbbEntrSaid);
        QCOMPARE(d->medCdImposto->Text(), QStringLiteral("01"));
        QCOMPARE(d->edtNmImposto->text(), QStringLiteral("IPI"));
        // leaving it empty brings the last tax found back
        moveTo(d->medCdImposto);
        d->medCdImposto->SetText(QString());
        moveTo(d->cbbEntrSaid);
        QCOMPARE(d->medCdImposto->Text(), QStringLiteral("01"));
        QCOMPARE(d->edtNmImposto->text(), QStringLiteral("IPI"));
        for (const char* code : {"41", "10"}) { // hidden; not federal
            refused(
                [&] {
                    moveTo(d->medCdImposto);
                    d->medCdImposto->SetText(QLatin1String(code));
                    moveTo(d->cbbEntrSaid);
                },
                QString::fromUtf8("Imposto não cadastrado."), d->medCdImposto);
        }
        d->medCdImposto->SetText(QStringLiteral("01"));

        // registrations: another company's, or none, are refused; the company's own passes
        d->cbbEntrSaid->setCurrentIndex(1);
        d->rdgListaSerie->setChecked(true);
        const QString own = strings(m_fx.db(), "SELECT CDINSCESTA FROM INSCRESTAD WHERE "
                                               "CDEMPRESA = '01' ORDER BY 1")
                                .value(0);
        const QString other = strings(m_fx.db(), "SELECT CDINSCESTA FROM INSCRESTAD WHERE "
                                                 "CDEMPRESA = '02'")
                                  .value(0);
        for (const QString& wrong : {other, QStringLiteral("999")}) {
            refused(
                [&] {
                    moveTo(d->medInscEsta);
                    d->medInscEsta->SetText(wrong);
                    moveTo(d->medInscMuni);
                },
                QString::fromUtf8("Inscrição Estadual não cadastrada."), d->medInscEsta);
        }
        refused(
            [&] {
                d->medInscEsta->SetText(own);
                moveTo(d->medInscMuni);
                d->medInscMuni->SetText(QStringLiteral("999"));
                moveTo(d->cbbEntrSaid);
            },
            QString::fromUtf8("Inscrição Municipal não cadastrada."), d->medInscMuni);
        d->medInscMuni->SetText(QString());

        // dates: an empty one on leaving; the order of a pair only at the confirmation
        refused(
            [&] {
                moveTo(d->depEntIni);
                d->depEntIni->SetText(QString());
                moveTo(d->depEntFim);
            },
            QString::fromUtf8("Data inicial de entrada deve ser informada."), d->depEntIni->Edit());
        d->depEntIni->SetDate(PriDiaMes(QDate::currentDate()));
        d->depEmiFim->SetDate(d->depEmiIni->GetDate().addDays(-1));
        refused([&] { confirm(); },
                QString::fromUtf8("Data final deve ser maior ou igual a data inicial."),
                d->depEmiIni->Edit());
        d->depEmiFim->SetDate(d->depEmiIni->GetDate()); // equal passes

        // what the confirmation demands, in its order
        d->medInscEsta->SetText(QString());
        refused([&] { confirm(); }, QString::fromUtf8("Inscrição estadual deve ser informada."),
                d->medInscEsta);
        d->medInscEsta->SetText(own);
        refused([&] { confirm(); }, QString::fromUtf8("Inscrição municipal deve ser informada."),
                d->medInscMuni);
        d->rdgTodosSerie->setChecked(true);
        d->rdgListaTipoOperac->setChecked(true);
        refused([&] { confirm(); }, QString::fromUtf8("Tipo de Operação deve ser informada."),
                d->rdgListaTipoOperac);
        d->rdgTodosTipoOperac->setChecked(true);
        d->cbbCnpj->setCurrentIndex(0);
        QCOMPARE(d->nbkCliente->currentIndex(), 0);
        refused([&] { confirm(); }, QString::fromUtf8("Cliente deve ser informado."),
                d->medCliente);
        d->cbbCnpj->setCurrentIndex(1);
        refused([&] { confirm(); }, QString::fromUtf8("Fornecedor deve ser informado."),
                d->medFornecedor);
        QVERIFY(d->isVisible()); // every refusal leaves the dialog open
        d->reject();
    }

    // Lists: operation types depend on the entry/exit choice alone; entry series need no
    // registration; keys of both kinds sharing a code stay apart up to the notes loaded.
    void pickLists() {
        showDialog();
        TfrmFiltroEmissaodarfDoc* d = dlg();
        QString title, answer;
        QStringList keys;
        dialogs().onPesquisaLista = [&](TDataSource* src, const QString& field, const QString& t,
                                        QString& chosen) {
            title = t;
            keys.clear();
            TDataSet* ds = src->DataSet();
            for (int i = 0; i < ds->RecordCount(); ++i)
                keys << ds->ValueAt(i, ds->FieldByName(field)->Index()).toString();
            chosen = answer;
            return true;
        };
        d->cbbEntrSaid->setCurrentIndex(2);
        d->rdgListaTipoOperac->setChecked(true);
        answer = QStringLiteral("'S01'");
        d->btpTipoOperac->click();
        QCOMPARE(title, QString::fromUtf8("Tipo de Operação"));
        QVERIFY2(keys.contains("E01") && keys.contains("S01"), qPrintable(keys.join(',')));
        QCOMPARE(stCodTipoOper, answer);

        d->medCdImposto->SetText(QStringLiteral("01"));
        d->cbbEntrSaid->setCurrentIndex(0);
        d->rdgListaSerie->setChecked(true);
        answer = QStringLiteral("'E_1'");
        dialogs().clear();
        d->btpPesqSerie->click();
        QCOMPARE(dialogs().errors(), QStringList());
        QCOMPARE(title, QString::fromUtf8("Série"));
        QVERIFY(!keys.isEmpty());
        for (const QString& k : std::as_const(keys))
            QVERIFY2(k.startsWith("E_"), qPrintable(k));
        QCOMPARE(stCodSerie, answer);

        // exit series belong to the company and both registrations
        d->cbbEntrSaid->setCurrentIndex(1);
        refused([&] { d->btpPesqSerie->click(); },
                QString::fromUtf8("Inscrição estadual deve ser informada."), d->medInscEsta);
        QCOMPARE(stCodSerie, QStringLiteral("'E_1'"));
        const QStringList pair = strings(m_fx.db(), "SELECT CDINSCESTA || '/' || CDINSCMUNI FROM "
                                                    "SERIENF WHERE CDEMPRESA = '01' ORDER BY 1")
                                     .value(0)
                                     .split('/');
        d->medInscEsta->SetText(pair.value(0));
        d->medInscMuni->SetText(pair.value(1));
        answer = QStringLiteral("'S_1'");
        d->btpPesqSerie->click();
        QVERIFY(!keys.isEmpty());
        for (const QString& k : std::as_const(keys))
            QVERIFY2(k.startsWith("S_"), qPrintable(k));

        // both kinds, exit operation type 01 only
        d->cbbEntrSaid->setCurrentIndex(2);
        d->rdgTodosSerie->setChecked(true);
        QVERIFY(confirm());
        const QStringList want = expectedNotes(m_fx.db(), "01", "01", "T",
                                               "AND n.IDENTRSAIDOP = 'S' AND n.CDTIPOOPER = '01'");
        QVERIFY(!want.isEmpty());
        QCOMPARE(loadedEntries(), want);
        QCOMPARE(screen()->RecordFilter.stTipoOper, QStringLiteral("'S01'"));
        QCOMPARE(screen()->RecordFilter.stSerie, QString()); // "Todos" sends no series
    }

    // The defaults with a tax: every step in order, the selection kept on the screen.
    void confirmationLoadsTheNotes() {
        showDialog();
        TfrmFiltroEmissaodarfDoc* d = dlg();
        d->medCdImposto->SetText(QStringLiteral("06"));
        stCodSerie = QStringLiteral("'E_1'"); // an earlier list; the mode is "Todos"
        QVERIFY(confirm());
        QVERIFY(!d->isVisible());
        QCOMPARE(BusyDepth(), 0);
        const QStringList want = expectedNotes(m_fx.db(), "01", "06", "E");
        QVERIFY(!want.isEmpty());
        QCOMPARE(loadedEntries(), want);
        const TRecordFilter& rf = screen()->RecordFilter;
        QCOMPARE(rf.stImposto, QStringLiteral("06"));
        QCOMPARE(rf.inEntrSaid, 0);
        QCOMPARE(rf.inCnpj, 2);
        QCOMPARE(rf.stTodos, QStringLiteral("Todos"));
        QCOMPARE(rf.stCliente, QString());
        QCOMPARE(rf.stSerie, QString());
        QCOMPARE(rf.dtEmiIni.date(), PriDiaMes(QDate::currentDate()));
        QCOMPARE(rf.dtEntFim.date(), QDate::currentDate());
        QCOMPARE(stEntrsaid, QStringLiteral("E"));
        QCOMPARE(stCodSerie, QString());
        QCOMPARE(stInscricao, QString());
        QVERIFY(screen()->sbtVerificar->isEnabled());

        // a customer: looked up on leaving the field, shown formatted, sent as digits
        const QStringList customer =
            strings(m_fx.db(),
                    "SELECT c.NRINSJURCLIE || '|' || c.NMRAZSOCCLIE FROM NOTAFISCAL n JOIN "
                    "CLIENTE c ON c.CDCLIENTE = n.CDCLIENTE JOIN IMPOSTONF i ON i.CDFILIAL = "
                    "n.CDFILIAL AND i.NRLANCTONF = n.NRLANCTONF AND i.CDIMPOSTONFE = '06' WHERE "
                    "n.CDEMPRESA = '01' AND n.IDENTRSAIDOP = 'S' AND n.DTEMISSAONF >= ? AND "
                    "n.DTENTRSAID >= ? ORDER BY 1",
                    {PriDiaMes(QDate::currentDate()), PriDiaMes(QDate::currentDate())})
                .value(0)
                .split('|');
        QVERIFY(customer.size() == 2);
        showDialog();
        d->cbbEntrSaid->setCurrentIndex(1);
        d->cbbCnpj->setCurrentIndex(0);
        d->medCliente->SetText(customer[0]);
        moveTo(d->depEmiIni);
        QCOMPARE(d->edtNmCliente->text(), customer[1]);
        QVERIFY(d->medCliente->displayText() != customer[0]); // with its mask
        QCOMPARE(d->medCliente->Text(), customer[0]);
        QVERIFY(confirm());
        QCOMPARE(stInscricao, customer[0]);
        QCOMPARE(screen()->RecordFilter.stCliente, customer[0]);
        QCOMPARE(loadedEntries(),
                 expectedNotes(m_fx.db(), "01", "06", "S",
                               QStringLiteral("AND n.NRINSJUR = '%1'").arg(customer[0])));
    }

    // A refused request: the dialog closes, the selection is the new one, and the worksheet
    // holds no note of the old one.
    void failingServerCallEmptiesTheWorksheet() {
        dlg()->medCdImposto->SetText(QStringLiteral("05"));
        QVERIFY(confirm());
        QVERIFY(notes()->RecordCount() > 0);
        showDialog();
        dlg()->medCdImposto->SetText(QStringLiteral("07"));
        screen()->medCdEmpresa->SetText(QString()); // the server refuses a request without one
        dialogs().clear();
        QVERIFY(!confirm());
        QCOMPARE(dialogs().errors().size(), 1);
        QVERIFY2(dialogs().errors()[0].contains(QStringLiteral("empresa deve ser informada")),
                 qPrintable(dialogs().errors()[0]));
        QVERIFY(!dlg()->isVisible());
        QCOMPARE(BusyDepth(), 0);
        QVERIFY(notes()->Active() && notes()->IsEmpty());
        QCOMPARE(screen()->RecordFilter.stImposto, QStringLiteral("07"));
        QVERIFY(!screen()->sbtVerificar->isEnabled());
    }

    // Cancelling puts the confirmed filter back, so the refresh fetches the same notes; the
    // clerk stays on his row.
    void refreshAfterACancelledEdit() {
        TfrmFiltroEmissaodarfDoc* d = dlg();
        d->medCdImposto->SetText(QStringLiteral("05"));
        d->cbbEntrSaid->setCurrentIndex(2);
        QVERIFY(confirm());
        const QStringList loaded = loadedEntries();
        QVERIFY(loaded.size() >= 2);
        notes()->setRecNo(2);

        showDialog();
        d->medCdImposto->SetText(QStringLiteral("07"));
        d->cbbEntrSaid->setCurrentIndex(0);
        d->cbbCnpj->setCurrentIndex(1);
        d->medFornecedor->SetText(QStringLiteral("123"));
        d->rdgListaTipoOperac->setChecked(true);
        stCodTipoOper = QStringLiteral("'S02'");
        QTest::keyClick(d, Qt::Key_Escape);
        QVERIFY(!d->isVisible());
        QCOMPARE(d->medCdImposto->Text(), QStringLiteral("05"));
        QCOMPARE(d->cbbEntrSaid->currentIndex(), 2);
        QCOMPARE(d->cbbCnpj->currentIndex(), 2);
        QCOMPARE(d->nbkCliente->currentIndex(), 2);
        QVERIFY(d->rdgTodosTipoOperac->isChecked() && !d->btpTipoOperac->isEnabled());
        QCOMPARE(stCodTipoOper, QString());

        screen()->sbtVerificarClick(screen()->sbtVerificar);
        QCOMPARE(dialogs().errors(), QStringList());
        QCOMPARE(screen()->RecordFilter.stImposto, QStringLiteral("05"));
        QCOMPARE(loadedEntries(), loaded);
        QCOMPARE(notes()->RecNo(), 2);
        QCOMPARE(screen()
                     ->dbgPadrao->Columns(IndiceCol(screen()->dbgPadrao, "CDRECEGUIA"))
                     ->ButtonStyle(),
                 cbsEllipsis);
    }

    // The dialog belongs to the module: a closed screen leaves it usable by the next one.
    void dialogOutlivesTheScreen() {
        dlg()->medCdImposto->SetText(QStringLiteral("01"));
        QVERIFY(confirm());
        screen()->CloseScreen();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!frmEmissaoDarfDoc);
        QVERIFY(frmFiltroEmissaodarfDoc);
        dialogs().clear();
        QVERIFY(!confirm()); // no screen to load into
        QCOMPARE(dialogs().errors().size(), 1);

        openScreen(QStringLiteral("02"));
        QVERIFY(confirm());
        const QStringList want = expectedNotes(m_fx.db(), "02", "01", "E");
        QVERIFY(!want.isEmpty());
        QCOMPARE(loadedEntries(), want);
        QCOMPARE(screen()->RecordFilter.stImposto, QStringLiteral("01"));
    }

    // "Filtro", Ctrl+L and leaving the top group open the dialog after the company check;
    // Enter anywhere in it confirms. Focus taken by another window opens nothing.
    void theScreenOpensTheDialog() {
        m_modalWatch.start();
        auto stop = qScopeGuard([this] { m_modalWatch.stop(); });
        screen()->medCdEmpresa->SetText(QString());
        screen()->sbtFiltro->Click();
        QCOMPARE(dialogs().errors(), QStringList{QStringLiteral("Empresa deve ser informada.")});
        QCOMPARE(m_modalShown, 0);

        screen()->medCdEmpresa->SetText(QStringLiteral("01"));
        m_inModal = [](TfrmFiltroEmissaodarfDoc* d) {
            d->medCdImposto->SetText(QStringLiteral("05"));
            QTest::keyClick(d->depEntFim->Edit(), Qt::Key_Return);
        };
        screen()->sbtFiltro->Click();
        QCOMPARE(m_modalShown, 1);
        QCOMPARE(loadedEntries(), expectedNotes(m_fx.db(), "01", "05", "E"));

        dlg()->setProperty("seen", false);
        screen()->mnuFiltro->trigger();
        QCOMPARE(m_modalShown, 2);

        // The clerk tabs from the company to the grid: the dialog opens once the move is done.
        dlg()->setProperty("seen", false);
        m_area->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_area));
        moveTo(screen()->medCdEmpresa);
        moveTo(screen()->dbgPadrao);
        QTRY_COMPARE(m_modalShown, 3);

        // A window taking the focus from the company box and giving it back is no move.
        dlg()->setProperty("seen", false);
        moveTo(screen()->medCdEmpresa);
        QWidget other;
        auto* edit = new QLineEdit(&other);
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        edit->setFocus();
        other.close();
        m_area->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_area));
        QTest::qWait(50);
        QCOMPARE(m_modalShown, 3);
        QCOMPARE(QApplication::focusWidget(), screen()->medCdEmpresa);
    }
};

QTEST_MAIN(TestFilter)
#include "test_filter.moc"
