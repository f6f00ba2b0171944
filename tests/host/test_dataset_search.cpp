// Search list, multi-select list, find dialog and the search button over a dataset.
#include "HostDialogs.h"
#include "QtHostDialogs.h"
#include "SearchButton.h"
#include "SearchDialogs.h"
#include "core/HostExceptions.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTableView>
#include <QTimer>
#include <QtTest>

namespace {

void fill(TClientDataSet& ds) {
    ds.AddField(QStringLiteral("CHAVE"), TFieldType::String, 5)->setVisible(false);
    ds.AddField(QStringLiteral("CODIGO"), TFieldType::String, 2)
        ->setDisplayLabel(QStringLiteral("Código"));
    ds.AddField(QStringLiteral("NOME"), TFieldType::String, 40)
        ->setDisplayLabel(QStringLiteral("Descrição"));
    TDataPacket p;
    p.fields = {{QStringLiteral("CHAVE"), TFieldType::String, 5},
                {QStringLiteral("CODIGO"), TFieldType::String, 2},
                {QStringLiteral("NOME"), TFieldType::String, 40}};
    p.rows = {{QStringLiteral("E_1"), QStringLiteral("01"), QStringLiteral("Alfa Ltda")},
              {QStringLiteral("S_2"), QStringLiteral("02"), QStringLiteral("Beta S.A.")},
              {QStringLiteral("E_3"), QStringLiteral("03"), QStringLiteral("Gama ALFAIATE")},
              {QStringLiteral("O'4"), QStringLiteral("04"), QStringLiteral("Delta")}};
    ds.SetData(p);
}

// Runs fn on the modal dialog once it is showing.
template <typename Dialog> void whenShown(std::function<void(Dialog*)> fn) {
    QTimer::singleShot(0, [fn] {
        auto* d = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        QVERIFY(d);
        fn(d);
    });
}

} // namespace

class TestDataSetSearch : public QObject {
    Q_OBJECT
private slots:
    void keyListFormat_data();
    void keyListFormat();
    void pesquisarFiltersAndChooses();
    void pesquisarCancelLeavesRow();
    void pesquisaListaMarksAndReturnsKeys();
    void procuraFindsNextCaseInsensitive();
    void searchButton();
    void clerkDialogsAreTheDefault();
};

void TestDataSetSearch::keyListFormat_data() {
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QString>("text");
    QTest::newRow("two") << QStringList{"E_1", "S_2"} << "'E_1','S_2'";
    QTest::newRow("none") << QStringList{} << "";
    QTest::newRow("quote inside") << QStringList{"O'4"} << "'O''4'";
    QTest::newRow("comma inside") << QStringList{"A,B", "C"} << "'A,B','C'";
}

void TestDataSetSearch::keyListFormat() {
    QFETCH(QStringList, keys);
    QFETCH(QString, text);
    QCOMPARE(FormatKeyList(keys), text);
    QCOMPARE(ParseKeyList(text), keys);
    // Bare lists are read too.
    QCOMPARE(ParseKeyList(QStringLiteral("E_1, S_2")), (QStringList{"E_1", "S_2"}));
}

void TestDataSetSearch::pesquisarFiltersAndChooses() {
    TClientDataSet ds;
    fill(ds);
    TDataSource src;
    src.setDataSet(&ds);
    TQtHostDialogs qt;
    whenShown<TPesquisaDialog>([](TPesquisaDialog* d) {
        QCOMPARE(d->view()->model()->columnCount(), 2); // the hidden key is not listed
        QTest::keyClicks(d->filterEdit(), QStringLiteral("alfa"));
        QCOMPARE(d->visibleRowCount(), 2);
        QTest::keyClick(d->filterEdit(), Qt::Key_Down); // arrows move the list from the filter
        QCOMPARE(d->chosenPosition(), 2);
        QTest::keyClick(d->filterEdit(), Qt::Key_Return);
    });
    QVERIFY(qt.pesquisar(&src, QStringLiteral("Empresas"), false, true));
    QCOMPARE(ds.RecNo(), 3);
    QCOMPARE(ds.FieldByName(QStringLiteral("CODIGO"))->AsString(), QStringLiteral("03"));
}

void TestDataSetSearch::pesquisarCancelLeavesRow() {
    TClientDataSet ds;
    fill(ds);
    ds.setRecNo(2);
    TDataSource src;
    src.setDataSet(&ds);
    TQtHostDialogs qt;
    whenShown<TPesquisaDialog>([](TPesquisaDialog* d) {
        QCOMPARE(d->chosenPosition(), 1); // starts on the current row
        QTest::keyClick(d->view(), Qt::Key_Down);
        d->reject();
    });
    QVERIFY(!qt.pesquisar(&src, QStringLiteral("x"), false, true));
    QCOMPARE(ds.RecNo(), 2);
}

void TestDataSetSearch::pesquisaListaMarksAndReturnsKeys() {
    TClientDataSet ds;
    fill(ds);
    TDataSource src;
    src.setDataSet(&ds);
    TQtHostDialogs qt;
    QString keys = QStringLiteral("'S_2'");
    whenShown<TPesquisaDialog>([](TPesquisaDialog* d) {
        QCOMPARE(d->keys(), QStringLiteral("'S_2'")); // pre-marked from the text
        d->setChecked(3, true);
        d->setChecked(0, true);
        d->accept();
    });
    QVERIFY(qt.pesquisaLista(&src, QStringLiteral("CHAVE"), QStringLiteral("Séries"), false, keys));
    QCOMPARE(keys, QStringLiteral("'E_1','S_2','O''4'"));
    // Cancel keeps the text.
    whenShown<TPesquisaDialog>([](TPesquisaDialog* d) {
        d->setChecked(2, true);
        d->reject();
    });
    QVERIFY(!qt.pesquisaLista(&src, QStringLiteral("CHAVE"), QString(), false, keys));
    QCOMPARE(keys, QStringLiteral("'E_1','S_2','O''4'"));
    // An unknown key field is refused with its name.
    QVERIFY_THROWS_EXCEPTION(
        EHostError, qt.pesquisaLista(&src, QStringLiteral("NOPE"), QString(), false, keys));

    // A candidate list with its mark column: the marks are the list's and stay in the rows.
    TClientDataSet series;
    series.AddField(QStringLiteral("IDMARCADO"), TFieldType::FixedChar, 1);
    series.AddField(QStringLiteral("CDSERIE"), TFieldType::String, 5);
    series.AddField(QStringLiteral("CHAVE"), TFieldType::String, 7)->setVisible(false);
    TDataPacket p;
    p.fields = {{QStringLiteral("IDMARCADO"), TFieldType::FixedChar, 1},
                {QStringLiteral("CDSERIE"), TFieldType::String, 5},
                {QStringLiteral("CHAVE"), TFieldType::String, 7}};
    p.rows = {{QStringLiteral(" "), QStringLiteral("1"), QStringLiteral("E_1")},
              {QStringLiteral(" "), QStringLiteral("1"), QStringLiteral("S_1")},
              {QStringLiteral(" "), QStringLiteral("2"), QStringLiteral("S_2")}};
    series.SetData(p);
    series.setRecNo(3);
    TDataSource dts;
    dts.setDataSet(&series);
    QString stCodSerie;
    whenShown<TPesquisaDialog>([](TPesquisaDialog* d) {
        QCOMPARE(d->view()->model()->columnCount(), 1); // the code; marks are the check boxes
        d->setChecked(1, true);
        d->accept();
    });
    QVERIFY(qt.pesquisaLista(&dts, QStringLiteral("CHAVE"), QStringLiteral("Série"), false,
                             stCodSerie));
    QCOMPARE(stCodSerie, QStringLiteral("'S_1'"));
    QCOMPARE(series.ValueAt(1, 0).toString(), QStringLiteral("X"));
    QCOMPARE(series.ValueAt(0, 0).toString().trimmed(), QString());
    QCOMPARE(series.RecNo(), 3);
    QCOMPARE(series.State(), dsBrowse);
    // Shown again over the same rows, the stored marks come back.
    stCodSerie.clear();
    whenShown<TPesquisaDialog>([](TPesquisaDialog* d) {
        QCOMPARE(d->keys(), QStringLiteral("'S_1'"));
        d->reject();
    });
    QVERIFY(!qt.pesquisaLista(&dts, QStringLiteral("CHAVE"), QString(), false, stCodSerie));
}

void TestDataSetSearch::procuraFindsNextCaseInsensitive() {
    TClientDataSet ds;
    fill(ds);
    TProcuraDialog d(&ds);
    d.fieldBox()->setCurrentIndex(d.fieldBox()->findData(QStringLiteral("NOME")));
    d.textEdit()->setText(QStringLiteral("ALFA"));
    QVERIFY(d.findNext()); // from row 1: the next match is row 3
    QCOMPARE(ds.RecNo(), 3);
    QVERIFY(d.findNext()); // wraps to row 1
    QCOMPARE(ds.RecNo(), 1);
    d.textEdit()->setText(QStringLiteral("zeta"));
    QVERIFY(!d.findNext());
    QCOMPARE(ds.RecNo(), 1);
}

void TestDataSetSearch::searchButton() {
    TScriptedDialogs dialogs;
    TScopedDialogs scoped(&dialogs);
    TClientDataSet ds;
    fill(ds);
    TDataSource src;
    src.setDataSet(&ds);
    TBtnPesquisa btn;
    btn.setDataSource(&src);
    btn.setTitle(QStringLiteral("Empresas"));
    btn.setEmptyError(QStringLiteral("Não há empresa cadastrada"));
    int before = 0, after = 0;
    btn.OnBeforePesq = [&] { ++before; };
    btn.OnAfterPesq = [&] {
        ++after;
        QCOMPARE(ds.RecNo(), 4); // the chosen row is current
    };
    dialogs.onPesquisar = [&](TDataSource* s, const QString&) {
        s->DataSet()->Last();
        return true;
    };
    btn.click();
    QCOMPARE(before, 1);
    QCOMPARE(after, 1);
    QCOMPARE(dialogs.count(QStringLiteral("pesquisar")), 1);
    QCOMPARE(dialogs.shown.last().text, QStringLiteral("Empresas"));
    dialogs.onPesquisar = [](TDataSource*, const QString&) { return false; };
    btn.click();
    QCOMPARE(after, 1);
    // An empty list shows the text and never opens the search.
    btn.OnBeforePesq = [&] { ds.EmptyDataSet(); };
    dialogs.clear();
    btn.click();
    QCOMPARE(dialogs.errors(), QStringList{"Não há empresa cadastrada"});
    QCOMPARE(dialogs.count(QStringLiteral("pesquisar")), 0);
    // A failing OnBeforePesq (a query error) is shown and nothing else happens.
    btn.OnBeforePesq = [] { throw EHostError(QStringLiteral("falha no banco")); };
    dialogs.clear();
    btn.click();
    QCOMPARE(dialogs.errors(), QStringList{"falha no banco"});
    // A click handler of its own replaces the search (the pick-list buttons work that way).
    int clicks = 0;
    btn.OnClick = [&] { ++clicks; };
    dialogs.clear();
    btn.click();
    QCOMPARE(clicks, 1);
    QVERIFY(dialogs.shown.isEmpty());
}

// The host library's own dialogs stand in whenever a test or tool has installed none.
void TestDataSetSearch::clerkDialogsAreTheDefault() {
    IHostDialogs* byDefault = &HostDialogs();
    QVERIFY(dynamic_cast<TQtHostDialogs*>(byDefault));
    TScriptedDialogs scripted;
    {
        TScopedDialogs scope(&scripted);
        QCOMPARE(&HostDialogs(), &scripted);
        HostDialogs().showError(QStringLiteral("x"));
    }
    QCOMPARE(&HostDialogs(), byDefault);
    QCOMPARE(scripted.errors(), QStringList{QStringLiteral("x")});
    TScriptedDialogs other;
    SetDefaultHostDialogs(&other);
    QCOMPARE(&HostDialogs(), &other);
    SetDefaultHostDialogs(byDefault);
    QCOMPARE(&HostDialogs(), byDefault);
}

QTEST_MAIN(TestDataSetSearch)
#include "test_dataset_search.moc"
