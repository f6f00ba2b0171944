// Saving notes from the worksheet to a real fis98100-server on a fresh demo database: what one
// save sends and stores, what a tick alone sends (nothing), a refused save, the locks of an
// issued guide, the revenue-code check and search against the loaded tax, the company box
// emptying notes of another company, the focus rules and the commands' enabled states.
// With FIS_SCREENSHOT_DIR set it also renders the worksheet with the revenue-code search.
#include "../support/ScreenFixture.h"
#include "contracts/Fis98100Contracts.h"
#include "filter/Cli_Fis98101.h"
#include "host/BaseForms.h"
#include "host/BusyIndicator.h"
#include "host/Components.h"
#include "host/Connection.h"
#include "host/DBGrid.h"
#include "host/DataSet.h"
#include "host/QtHostDialogs.h"
#include "host/core/HostExceptions.h"
#include "screen/Cli_Fis98100.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPainter>
#include <QSqlError>
#include <QSqlQuery>
#include <QTableView>
#include <QTimer>
#include <QToolButton>

namespace {

struct TGuide {
    QVariant multa, juros, venc, hist, receita, status;
};

// Scripted dialogs whose search list can be the clerk's real one, for the picture.
class TWalkDialogs : public TScriptedDialogs {
public:
    bool realSearch = false;
    bool pesquisar(TDataSource* source, const QString& title, bool a, bool b) override {
        if (!realSearch)
            return TScriptedDialogs::pesquisar(source, title, a, b);
        shown.append({QStringLiteral("pesquisar"), title, 0});
        return TQtHostDialogs().pesquisar(source, title, a, b);
    }
};

// The screen with the open search list drawn over it, as the clerk sees them.
QImage screenWithDialog(QWidget* screen, QWidget* dialog) {
    QImage img = screen->grab().toImage();
    const QImage dlg = dialog->grab().toImage();
    QPainter p(&img);
    const QPoint at((img.width() - dlg.width()) / 2, (img.height() - dlg.height()) / 2 + 40);
    const int bar = 24;
    p.fillRect(QRect(at - QPoint(1, bar), QSize(dlg.width() + 2, bar)), QColor(60, 90, 140));
    p.setPen(Qt::white);
    p.drawText(QRect(at - QPoint(-8, bar), QSize(dlg.width(), bar)), Qt::AlignVCenter,
               dialog->windowTitle());
    p.drawImage(at, dlg);
    p.setPen(QColor(60, 90, 140));
    p.drawRect(QRect(at - QPoint(1, bar), QSize(dlg.width() + 1, dlg.height() + bar)));
    return img;
}

} // namespace

class TestSaving : public QObject {
    Q_OBJECT
    TScreenFixture m_fx;
    TFilterCanceller m_cancelFilter;
    TfrmEmissaoDarfDoc* m_form = nullptr;

    TClientDataSet* cds() const { return m_form->cdsNotaFiscal; }
    TDBGrid* grid() const { return m_form->dbgPadrao; }
    TField* field(const char* name) const { return cds()->FieldByName(QLatin1String(name)); }
    void focus(QWidget* w) {
        w->setFocus(Qt::OtherFocusReason);
        QCoreApplication::processEvents();
    }

    // The notes of company 01 for tax, as the filter's confirmation loads them; false (with the
    // server's text) when the server refused.
    bool loadNotes(const QString& tax, const QString& company = QStringLiteral("01")) {
        m_form->medCdEmpresa->SetText(company);
        QString es = QStringLiteral("T"), series, types, insc;
        const TServerAnswer a = GetNotaFiscal(*m_form->netEmissaoDarfDoc, company, {}, {}, es,
                                              series, types, {}, {}, {}, {}, insc, tax);
        if (!a.ok) {
            qWarning("%s", qPrintable(a.error));
            return false;
        }
        m_form->RecordFilter.stImposto = tax;
        cds()->SetData(CheckResultServ(a, true, 0));
        m_fx.dialogs.clear();
        return cds()->RecordCount() > 3;
    }
    // Moves to the first note of that status; false when there is none.
    bool goToStatus(const char* status) {
        cds()->First();
        while (!cds()->Eof() && field("IDSTATUSGUIA")->AsString() != QLatin1String(status))
            cds()->Next();
        return !cds()->Eof();
    }
    // The clerk moves the grid to another row (the grid shows what the save raises).
    void leaveRow() {
        const int row = cds()->CurrentPos() == 0 ? 1 : 0;
        grid()->setCurrentIndex(grid()->model()->index(row, IndiceCol(grid(), "NRNOTAFISC")));
        QCoreApplication::processEvents();
    }
    TGuide stored(const QString& filial, const QString& lancto, const QString& tax) {
        QSqlQuery q(m_fx.db());
        q.prepare(QStringLiteral("SELECT VRMULTAGUIA, VRJUROGUIA, DTVENCGUIA, DSHISTGUIAPAGDOC,"
                                 " CDRECEGUIA, IDSTATUSGUIA FROM IMPOSTONF WHERE CDFILIAL = ?"
                                 " AND NRLANCTONF = ? AND CDIMPOSTONFE = ?"));
        q.addBindValue(filial);
        q.addBindValue(lancto);
        q.addBindValue(tax);
        if (!q.exec() || !q.next())
            return {};
        const TGuide g{q.value(0), q.value(1), q.value(2), q.value(3), q.value(4), q.value(5)};
        q.finish();
        return g;
    }
    // Server calls of method so far. A marker call first makes sure the log has caught up.
    int calls(const QString& method) {
        const int markers = m_fx.server.log().count(QStringLiteral(" GetParamFiscal "));
        GetParamFiscal(*m_form->netEmissaoDarfDoc);
        [&] { QTRY_VERIFY(m_fx.server.log().count(" GetParamFiscal ") > markers); }();
        return int(m_fx.server.log().count(QLatin1Char(' ') + method + QLatin1Char(' ')));
    }

private slots:
    void initTestCase() {
        QVERIFY2(m_fx.setUp(60), qPrintable(m_fx.server.log()));
        m_form = CreateForm<TfrmEmissaoDarfDoc>();
        m_cancelFilter.start(m_form);
        m_form->resize(1400, 520);
        m_form->show();
        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form));
        QVERIFY(m_form->netEmissaoDarfDoc->connected());
    }
    void cleanupTestCase() {
        m_cancelFilter.stop();
        Cli_Fis98101::DestroiFiltroEmissaoDarfDoc();
        delete m_form;
        m_fx.tearDown();
    }
    void init() {
        m_fx.dialogs.clear();
        m_fx.dialogs.onPesquisar = nullptr;
        m_fx.dialogs.onProcura = nullptr;
    }

    // ---- saving ----

    // Leaving an edited row stores exactly what the clerk typed, for the loaded tax, in one
    // call; a tick alone calls nothing, even for notes without a revenue code.
    void leavingAnEditedRowStoresItOnce() {
        QVERIFY(loadNotes(QStringLiteral("05")));
        QVERIFY(goToStatus("N"));
        const QString filial = field("CDFILIAL")->AsString(),
                      lancto = field("NRLANCTONF")->AsString();
        const int before = calls(QStringLiteral("setDarfDoc"));
        cds()->Edit();
        field("VRMULTAGUIA")->setText(QStringLiteral("12,3"));
        field("VRJUROGUIA")->setText(QStringLiteral("4,56"));
        field("CDRECEGUIA")->setText(QStringLiteral("6912"));
        field("DSHISTGUIAPAGDOC")->setText(QString::fromUtf8("Multa de março"));
        field("DTVENCGUIA")->setText(QStringLiteral("20/09/2026"));
        leaveRow();
        QVERIFY2(m_fx.dialogs.shown.isEmpty(), qPrintable(m_fx.dialogs.errors().join('|')));
        QCOMPARE(cds()->State(), dsBrowse);
        QCOMPARE(calls(QStringLiteral("setDarfDoc")), before + 1);
        QCOMPARE(BusyDepth(), 0);
        const TGuide g = stored(filial, lancto, QStringLiteral("05"));
        QCOMPARE(g.multa.toDouble(), 12.3);
        QCOMPARE(g.juros.toDouble(), 4.56);
        QCOMPARE(g.venc.toDate(), QDate(2026, 9, 20));
        QCOMPARE(g.hist.toString(), QString::fromUtf8("Multa de março"));
        QCOMPARE(g.receita.toString(), QStringLiteral("6912"));
        QCOMPARE(g.status.toString(), QStringLiteral("N"));

        // Tick all, then untick all: every note posts, none is checked or stored.
        const int afterSave = calls(QStringLiteral("setDarfDoc"));
        QSqlQuery q(m_fx.db());
        QVERIFY(q.exec(QStringLiteral("UPDATE IMPOSTONF SET CDRECEGUIA = NULL WHERE "
                                      "CDIMPOSTONFE = '05' AND IDSTATUSGUIA = 'N'")));
        QVERIFY(loadNotes(QStringLiteral("05")));
        const QPoint tickTitle(grid()->horizontalHeader()->sectionViewportPosition(0) + 5, 5);
        for (int round = 0; round < 2; ++round)
            QTest::mouseClick(grid()->horizontalHeader()->viewport(), Qt::LeftButton, {},
                              tickTitle);
        QCOMPARE(calls(QStringLiteral("setDarfDoc")), afterSave);
        QVERIFY2(m_fx.dialogs.shown.isEmpty(), qPrintable(m_fx.dialogs.errors().join('|')));
        QCOMPARE(cds()->ChangeCount(), cds()->RecordCount());
    }

    // A guide a colleague issued meanwhile: the server refuses the save; the row keeps the
    // clerk's values, the refusal is shown once and the busy animation is gone.
    void refusedSaveKeepsTheRow() {
        QVERIFY(loadNotes(QStringLiteral("01")));
        QVERIFY(goToStatus("N"));
        const QString filial = field("CDFILIAL")->AsString(),
                      lancto = field("NRLANCTONF")->AsString();
        QSqlQuery q(m_fx.db());
        QVERIFY(q.exec(QStringLiteral("SELECT MIN(NRCONTAPAGAR) FROM CONTAPAGAR")) && q.next());
        const int payable = q.value(0).toInt();
        q.finish();
        q.prepare(QStringLiteral("UPDATE IMPOSTONF SET IDSTATUSGUIA = 'S', NRCONTAPAGAR = ?"
                                 " WHERE CDFILIAL = ? AND NRLANCTONF = ? AND CDIMPOSTONFE = '01'"));
        q.addBindValue(payable);
        q.addBindValue(filial);
        q.addBindValue(lancto);
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
        const TGuide before = stored(filial, lancto, QStringLiteral("01"));

        grid()->setCurrentIndex(grid()->model()->index(cds()->CurrentPos(), 1));
        cds()->Edit();
        field("VRMULTAGUIA")->setText(QStringLiteral("7,5"));
        field("CDRECEGUIA")->setText(QStringLiteral("1020"));
        field("DTVENCGUIA")->setText(QStringLiteral("01/10/2026"));
        const int row = cds()->CurrentPos();
        leaveRow();
        QCOMPARE(m_fx.dialogs.errors().size(), 1);
        QVERIFY2(m_fx.dialogs.errors().at(0).contains(QString::fromUtf8("já foi emitida")),
                 qPrintable(m_fx.dialogs.errors().at(0)));
        QCOMPARE(BusyDepth(), 0);
        QCOMPARE(cds()->CurrentPos(), row);
        QCOMPARE(field("VRMULTAGUIA")->AsFloat(), 7.5);
        QCOMPARE(field("CDRECEGUIA")->AsString(), QStringLiteral("1020"));
        QCOMPARE(field("NRLANCTONF")->AsString(), lancto);
        const TGuide after = stored(filial, lancto, QStringLiteral("01"));
        QCOMPARE(after.multa, before.multa);
        QCOMPARE(after.venc, before.venc);
    }

    // Status "S" locks the five guide fields in the dataset and in the grid; "N" frees them.
    void issuedGuideLocksItsFields() {
        QVERIFY(loadNotes(QStringLiteral("01")));
        const char* const guide[] = {"VRMULTAGUIA", "VRJUROGUIA", "CDRECEGUIA", "DSHISTGUIAPAGDOC",
                                     "DTVENCGUIA"};
        for (const char* status : {"S", "N"}) {
            QVERIFY(goToStatus(status));
            const bool issued = QByteArray(status) == "S";
            for (const char* name : guide) {
                QCOMPARE(field(name)->ReadOnly(), issued);
                grid()->setCurrentIndex(
                    grid()->model()->index(cds()->CurrentPos(), IndiceCol(grid(), name)));
                const QModelIndex idx = grid()->currentIndex();
                QCOMPARE(bool(grid()->model()->flags(idx) & Qt::ItemIsEditable), !issued);
            }
            if (issued)
                QVERIFY_THROWS_EXCEPTION(EHostError,
                                         (cds()->Edit(), field("VRJUROGUIA")->setAsFloat(1)));
            cds()->Cancel();
            // The tick is no guide field: an issued note can still be ticked.
            grid()->OnCellClick(grid()->Columns(0));
            QCOMPARE(cds()->State(), dsEdit);
            cds()->Cancel();
        }
    }

    // ---- revenue codes ----

    void revenueCodeCheck_data() {
        QTest::addColumn<QString>("tax");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("kept");
        const QString inv = QString::fromUtf8(
            "Código da Receita deve ser parametrizado para o imposto no Menu  -> Tabelas/ Código "
            "da Receita.");
        const QString inf = QString::fromUtf8("Código da Receita deve ser informado.");
        QTest::newRow("known") << "01"
                               << "1020"
                               << ""
                               << "1020";
        QTest::newRow("short, adjusted") << "07"
                                         << "588"
                                         << ""
                                         << "0588";
        QTest::newRow("short, unknown: adjusted form stays") << "01"
                                                             << "20" << inv << "0020";
        QTest::newRow("another tax's code") << "01"
                                            << "8109" << inv << "8109";
        QTest::newRow("blank") << "01"
                               << "  " << inf << "";
    }
    // The code is checked against the tax the notes were loaded for.
    void revenueCodeCheck() {
        QFETCH(QString, tax);
        QFETCH(QString, typed);
        QFETCH(QString, error);
        QFETCH(QString, kept);
        QVERIFY(loadNotes(tax));
        QVERIFY(goToStatus("N"));
        grid()->setCurrentIndex(grid()->model()->index(cds()->CurrentPos(), 1));
        const int before = calls(QStringLiteral("GetVdCodRece"));
        cds()->Edit();
        field("CDRECEGUIA")->setAsString(typed);
        bool refused = false;
        try {
            m_form->Vd_CodRece();
        } catch (const EAbort&) {
            refused = true;
        }
        QCOMPARE(refused, !error.isEmpty());
        QCOMPARE(m_fx.dialogs.errors(), error.isEmpty() ? QStringList() : QStringList{error});
        QCOMPARE(field("CDRECEGUIA")->AsString().trimmed(), kept);
        QCOMPARE(calls(QStringLiteral("GetVdCodRece")), before + (kept.isEmpty() ? 0 : 1));
        if (refused)
            QCOMPARE(grid()->SelectedField(), field("CDRECEGUIA"));
        cds()->Cancel();
    }

    // Nothing pending, or an issued guide: nothing to check, the server is not asked.
    void revenueCodeCheckSkipped() {
        QVERIFY(loadNotes(QStringLiteral("01")));
        const int before = calls(QStringLiteral("GetVdCodRece"));
        QVERIFY(goToStatus("N"));
        m_form->Vd_CodRece();
        QVERIFY(goToStatus("S"));
        cds()->Edit();
        m_form->Vd_CodRece();
        cds()->Cancel();
        QCOMPARE(calls(QStringLiteral("GetVdCodRece")), before);
        QVERIFY(m_fx.dialogs.shown.isEmpty());
    }

    void revenueCodeSearch() {
        QVERIFY(loadNotes(QStringLiteral("01")));
        QVERIFY(goToStatus("N"));
        const QString start = field("CDRECEGUIA")->AsString();
        grid()->setCurrentIndex(
            grid()->model()->index(cds()->CurrentPos(), IndiceCol(grid(), "CDRECEGUIA")));
        QStringList listed;
        m_fx.dialogs.onPesquisar = [&](TDataSource* src, const QString&) {
            TDataSet* ds = src->DataSet();
            for (ds->First(); !ds->Eof(); ds->Next())
                listed << ds->FieldByName(QStringLiteral("CDRECEPADRAO"))->AsString();
            ds->First();
            return false;
        };
        m_form->dbgPadraoEditButtonClick(grid());
        QCOMPARE(listed, (QStringList{"1020", "5123"}));
        QCOMPARE(m_fx.dialogs.shown.at(0).text, QString::fromUtf8("Código"));
        QCOMPARE(cds()->State(), dsBrowse); // cancelled: untouched (a choice: clerkWalk)
        QCOMPARE(field("CDRECEGUIA")->AsString(), start);
        QCOMPARE(BusyDepth(), 0);

        // Another column's button does nothing; notes of a tax without codes (IRPJ) show no
        // search.
        grid()->setCurrentIndex(grid()->model()->index(cds()->CurrentPos(), 1));
        m_fx.dialogs.clear();
        m_form->dbgPadraoEditButtonClick(grid());
        QVERIFY(m_fx.dialogs.shown.isEmpty());
        m_form->RecordFilter.stImposto = QStringLiteral("41");
        grid()->setCurrentIndex(
            grid()->model()->index(cds()->CurrentPos(), IndiceCol(grid(), "CDRECEGUIA")));
        QVERIFY_THROWS_EXCEPTION(EAbort, m_form->dbgPadraoEditButtonClick(grid()));
        QCOMPARE(m_fx.dialogs.count(QStringLiteral("pesquisar")), 0);
        QCOMPARE(m_fx.dialogs.errors().size(), 1);
        QVERIFY(
            m_fx.dialogs.errors().at(0).startsWith(QString::fromUtf8("Código da Receita deve")));
        QCOMPARE(BusyDepth(), 0);
    }

    // ---- company and focus ----

    // The code box changed while notes of another company show: they go, unsaved.
    void companyChangeEmptiesTheWorksheet() {
        QVERIFY(loadNotes(QStringLiteral("01")));
        const int before = calls(QStringLiteral("setDarfDoc"));
        m_form->medCdEmpresa->SetText(QStringLiteral("1")); // the same company
        QVERIFY(!cds()->IsEmpty());
        QVERIFY(goToStatus("N"));
        cds()->Edit();
        field("VRMULTAGUIA")->setAsFloat(3);
        m_form->medCdEmpresa->SetText(QStringLiteral("02"));
        QVERIFY(cds()->IsEmpty());
        QCOMPARE(cds()->State(), dsBrowse);
        QVERIFY(!m_form->sbtVerificar->isEnabled());
        QCOMPARE(calls(QStringLiteral("setDarfDoc")), before);
        QVERIFY(m_fx.dialogs.shown.isEmpty());
    }

    // A save whose company check fails (the company has gone from the database) shows one
    // message, drops the note and never re-enters the save.
    void failedCompanyCheckOnSave() {
        QVERIFY(loadNotes(QStringLiteral("01")));
        focus(grid());
        QVERIFY(goToStatus("N"));
        const int before = calls(QStringLiteral("setDarfDoc"));
        cds()->Edit();
        field("VRMULTAGUIA")->setAsFloat(4);
        {
            const QSignalBlocker gone(m_form->medCdEmpresa);
            m_form->medCdEmpresa->SetText(QStringLiteral("97"));
        }
        leaveRow();
        QCOMPARE(m_fx.dialogs.errors(), QStringList{QString::fromUtf8("Empresa não cadastrada.")});
        QCOMPARE(QApplication::focusWidget(), m_form->medCdEmpresa);
        QVERIFY(cds()->IsEmpty());
        QCOMPARE(cds()->State(), dsBrowse);
        QCOMPARE(calls(QStringLiteral("setDarfDoc")), before);
    }

    void focusRules() {
        // Entering the grid checks the company.
        QVERIFY(loadNotes(QStringLiteral("01")));
        focus(m_form->cbbReportNames);
        QVERIFY(!cds()->Active());
        QVERIFY(!m_form->sbtProcurar->isEnabled() && !m_form->sbtVerificar->isEnabled());
        m_form->medCdEmpresa->SetText(QString());
        m_fx.dialogs.clear();
        focus(grid());
        QCOMPARE(m_fx.dialogs.errors(),
                 QStringList{QString::fromUtf8("Empresa deve ser informada.")});
        QCOMPARE(QApplication::focusWidget(), m_form->medCdEmpresa);

        // Going to the report choice saves a changed note, then discards the notes.
        QVERIFY(loadNotes(QStringLiteral("01")));
        focus(grid());
        // A note whose save passes its checks: not issued, with a revenue code.
        QVERIFY(goToStatus("N"));
        while (!cds()->Eof() && (field("IDSTATUSGUIA")->AsString() != QLatin1String("N") ||
                                 field("CDRECEGUIA")->AsString().isEmpty()))
            cds()->Next();
        QVERIFY(!cds()->Eof());
        const QString filial = field("CDFILIAL")->AsString(),
                      lancto = field("NRLANCTONF")->AsString();
        cds()->Edit();
        field("VRJUROGUIA")->setAsFloat(9.87);
        focus(m_form->cbbReportNames);
        QVERIFY2(m_fx.dialogs.shown.isEmpty(), qPrintable(m_fx.dialogs.errors().join('|')));
        QVERIFY(!cds()->Active());
        QCOMPARE(stored(filial, lancto, QStringLiteral("01")).juros.toDouble(), 9.87);
    }

    // ---- the clerk's walk ----

    // Through the real widgets: a fine typed with a comma, a revenue code picked in the list
    // behind the column's button, a due date typed, another row; fetched again, the values come
    // back from the server.
    void clerkWalk() {
        QVERIFY(loadNotes(QStringLiteral("01")));
        focus(grid());
        QVERIFY(goToStatus("N"));
        const int row = cds()->CurrentPos();
        const QString lancto = field("NRLANCTONF")->AsString();
        auto cell = [&](const char* name) {
            return grid()->model()->index(row, IndiceCol(grid(), name));
        };
        auto type = [&](const char* name, const QString& keys) {
            grid()->setCurrentIndex(cell(name));
            for (const QChar c : keys) // the first key opens the editor
                QTest::keyClick(QApplication::focusWidget(), c.toLatin1());
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            QCoreApplication::processEvents();
        };
        type("VRMULTAGUIA", QStringLiteral("3,75"));
        QCOMPARE(cds()->State(), dsEdit);

        grid()->setCurrentIndex(cell("CDRECEGUIA"));
        grid()->edit(cell("CDRECEGUIA"));
        QCoreApplication::processEvents();
        QToolButton* button = nullptr;
        for (QToolButton* b : grid()->viewport()->findChildren<QToolButton*>())
            if (b->isVisible() && b->text() == QLatin1String("..."))
                button = b;
        QVERIFY(button);

        const QString shots = qEnvironmentVariable("FIS_SCREENSHOT_DIR");
        TWalkDialogs walk;
        walk.realSearch = !shots.isEmpty();
        walk.onPesquisar = [](TDataSource* src, const QString&) {
            TDataSet* ds = src->DataSet();
            for (ds->First(); !ds->Eof(); ds->Next())
                if (ds->FieldByName(QStringLiteral("CDRECEPADRAO"))->AsString() == "5123")
                    return true;
            return false;
        };
        bool pictured = false;
        if (walk.realSearch)
            QTimer::singleShot(300, this, [&] {
                QWidget* dlg = QApplication::activeModalWidget();
                auto* view = dlg ? dlg->findChild<QTableView*>() : nullptr;
                if (!view)
                    return;
                dlg->resize(560, 230);
                for (int r = 0; r < view->model()->rowCount(); ++r)
                    if (view->model()->index(r, 0).data().toString() == QLatin1String("5123"))
                        view->selectRow(r);
                QCoreApplication::processEvents();
                pictured =
                    screenWithDialog(m_form, dlg).save(shots + QStringLiteral("/saving.png"));
                QMetaObject::invokeMethod(dlg, "accept");
            });
        SetHostDialogs(&walk);
        QTest::mouseClick(button, Qt::LeftButton);
        SetHostDialogs(&m_fx.dialogs);
        if (walk.realSearch) { // the closed dialog does not hand the focus back offscreen
            m_form->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(m_form));
            grid()->setFocus(Qt::ActiveWindowFocusReason);
        }
        QCOMPARE(walk.count(QStringLiteral("pesquisar")), 1);
        QCOMPARE(pictured, walk.realSearch);
        QCOMPARE(field("CDRECEGUIA")->AsString(), QStringLiteral("5123"));

        type("DTVENCGUIA", QStringLiteral("30092026"));
        QCOMPARE(field("DTVENCGUIA")->AsDateTime().date(), QDate(2026, 9, 30));
        leaveRow();
        QVERIFY2(m_fx.dialogs.shown.isEmpty(), qPrintable(m_fx.dialogs.errors().join('|')));
        QCOMPARE(cds()->State(), dsBrowse);

        QVERIFY(loadNotes(QStringLiteral("01")));
        for (cds()->First(); !cds()->Eof() && field("NRLANCTONF")->AsString() != lancto;)
            cds()->Next();
        QVERIFY(!cds()->Eof());
        QCOMPARE(field("VRMULTAGUIA")->DisplayText(), QStringLiteral("3,75"));
        QCOMPARE(field("CDRECEGUIA")->AsString(), QStringLiteral("5123"));
        QCOMPARE(field("DTVENCGUIA")->DisplayText(), QStringLiteral("30/09/2026"));
    }

    // ---- commands ----

    void commands_data() {
        QTest::addColumn<QString>("status"); // "": empty worksheet
        QTest::newRow("empty") << "";
        QTest::newRow("not issued") << "N";
        QTest::newRow("issued") << "S";
    }
    void commands() {
        QFETCH(QString, status);
        QVERIFY(loadNotes(QStringLiteral("01")));
        if (status.isEmpty()) { // a filter that matched no note
            TDataPacket none = cds()->GetData();
            none.rows.clear();
            cds()->SetData(none);
        } else
            QVERIFY(goToStatus(status.toLatin1().constData()));
        const bool notes = !status.isEmpty();
        struct {
            QAction* item;
            QWidget* button;
            const char* caption;
            const char* key;
            bool enabled;
        } const table[] = {
            {m_form->mnuImprimir, m_form->sbtPrint, "&Imprimir", "Ctrl+I", notes},
            {m_form->mnuVisualizar, m_form->sbtPreview, "&Visualizar Impressão", "Ctrl+P", notes},
            {m_form->mnuSalvarComo, m_form->sbtSalvarComo, "&Salvar Como", "Ctrl+S",
             notes && status != "N"},
            {m_form->mnuConfigImpress, m_form->sbtConfigImpr, "&Configurar Impressora", "Ctrl+F",
             notes},
            {m_form->mnuFechar, nullptr, "Fecha&r", "Ctrl+F4", true},
            {m_form->mnuAtualizar, m_form->sbtVerificar, "&Atualizar", "F5", notes},
            {m_form->mnuProcurar, m_form->sbtProcurar, "&Procurar", "F6", notes},
            {m_form->mnuFiltro, m_form->sbtFiltro, "&Filtrar Notas", "Ctrl+L", true},
        };
        for (const auto& c : table) {
            QCOMPARE(c.item->text(), QString::fromUtf8(c.caption));
            QCOMPARE(c.item->shortcut(), QKeySequence(QString::fromLatin1(c.key)));
            QVERIFY2(c.item->isEnabled() == c.enabled, c.caption);
            if (c.button)
                QVERIFY2(c.button->isEnabled() == c.enabled, c.caption);
        }
        QCOMPARE(m_form->sbtReportEdit->isEnabled(), notes);

        // The menu items run their buttons' handlers, while enabled.
        TDataSet* searched = nullptr;
        m_fx.dialogs.onProcura = [&](TDataSet* ds) { searched = ds; };
        m_form->mnuProcurar->trigger();
        QCOMPARE(searched, notes ? static_cast<TDataSet*>(cds()) : nullptr);
        m_form->mnuConfigImpress->trigger();
        QCOMPARE(m_fx.dialogs.count(QStringLiteral("printSetup")), notes ? 1 : 0);
        m_form->medCdEmpresa->SetText(QString());
        m_fx.dialogs.clear();
        m_form->mnuFiltro->trigger();
        QCOMPARE(m_fx.dialogs.errors(),
                 QStringList{QString::fromUtf8("Empresa deve ser informada.")});
    }
};

QTEST_MAIN(TestSaving)
#include "test_saving.moc"
