// The data grid as the worksheet drives it: real widgets, offscreen.
#include "DBGrid.h"
#include "HostDialogs.h"
#include "core/HostExceptions.h"
#include "core/Services.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QPainter>
#include <QToolButton>
#include <QtTest>

namespace {

TDataPacket notes(int n) {
    TDataPacket p;
    p.fields = {{QStringLiteral("IDCHECK"), TFieldType::FixedChar, 1},
                {QStringLiteral("NRNOTAFISC"), TFieldType::String, 20},
                {QStringLiteral("VRMULTAGUIA"), TFieldType::Float, 0},
                {QStringLiteral("DTVENCGUIA"), TFieldType::DateTime, 0}};
    for (int i = 1; i <= n; ++i)
        p.rows.append({i == 2 ? QStringLiteral("C") : QStringLiteral("U"), QString::number(i),
                       QVariant(), QVariant()});
    return p;
}

} // namespace

class TestGrid : public QObject {
    Q_OBJECT
private:
    TScriptedDialogs dialogs;
    std::unique_ptr<TScopedDialogs> scoped;
    std::unique_ptr<TClientDataSet> ds;
    std::unique_ptr<TDataSource> src;
    std::unique_ptr<TDBGrid> grid;

    QPoint cellCenter(int row, int col) {
        return grid->visualRect(grid->model()->index(row, col)).center();
    }
    void clickCell(int row, int col) {
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cellCenter(row, col));
    }
    void typeText(const QString& keys) {
        for (QChar c : keys) {
            QWidget* target =
                QApplication::focusWidget() ? QApplication::focusWidget() : grid.get();
            QTest::keyClick(target, c.toLatin1());
        }
    }
    void pressKey(Qt::Key key) {
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : grid.get();
        QTest::keyClick(target, key);
    }
    TField* field(const char* name) { return ds->FieldByName(QString::fromLatin1(name)); }

private slots:
    void init();
    void cleanup();
    void followsDataSetBothWays();
    void cellClickReachesHandlerWithSelectedField();
    void spaceKeyReachesKeyPress();
    void titleClickReachesHandlerWithoutMoving();
    void consumedKeysNeverReachTheCell_data();
    void consumedKeysNeverReachTheCell();
    void insertKeyRefusedByBeforeInsert();
    void leavingEditedRowPostsThroughDataSet();
    void refusedPostKeepsGridOnRow();
    void invalidDateStopsThePost();
    void readOnlyColumnsAndFieldsDoNotEdit();
    void displayUsesFieldText();
    void drawHookAndOliveTransparency();
    void ellipsisButtonRunsHandlerAndCommits();
    void colEnterSwitchesEditingAndSuspendedUpdates();
    void ellipsisShowsWhenRowGoesIntoEdit();
    void focusControlSelectsFieldColumn();
    void maskedEditorKeepsLiteralsByFlag_data();
    void maskedEditorKeepsLiteralsByFlag();
};

void TestGrid::init() {
    dialogs.clear();
    scoped = std::make_unique<TScopedDialogs>(&dialogs);
    ds = std::make_unique<TClientDataSet>();
    ds->AddField(QStringLiteral("IDCHECK"), TFieldType::FixedChar, 1);
    ds->AddField(QStringLiteral("NRNOTAFISC"), TFieldType::String, 20)
        ->setDisplayLabel(QStringLiteral("Nº Nota"));
    ds->AddField(QStringLiteral("VRMULTAGUIA"), TFieldType::Float)
        ->setDisplayFormat(QStringLiteral("#,##0.00"));
    ds->AddField(QStringLiteral("DTVENCGUIA"), TFieldType::DateTime)->setEditMask(DateMask());
    src = std::make_unique<TDataSource>();
    src->setDataSet(ds.get());
    grid = std::make_unique<TDBGrid>();
    grid->setDataSource(src.get());
    grid->AddColumn(QStringLiteral("IDCHECK"), 21, QStringLiteral("4"));
    grid->AddColumn(QStringLiteral("NRNOTAFISC"), 66)->setReadOnly(true);
    grid->AddColumn(QStringLiteral("VRMULTAGUIA"), 80);
    grid->AddColumn(QStringLiteral("DTVENCGUIA"), 90);
    ds->SetData(notes(4));
    grid->resize(500, 300);
    grid->show();
    grid->activateWindow();
    grid->setFocus();
    QVERIFY(QTest::qWaitForWindowExposed(grid.get()));
}

void TestGrid::cleanup() {
    grid.reset();
    src.reset();
    ds.reset();
    scoped.reset();
}

void TestGrid::followsDataSetBothWays() {
    ds->setRecNo(3);
    QCOMPARE(grid->currentIndex().row(), 2);
    clickCell(0, 1);
    QCOMPARE(ds->RecNo(), 1);
    QCOMPARE(grid->SelectedField()->FieldName(), QStringLiteral("NRNOTAFISC"));
    // A walk with controls disabled does not drag the grid along.
    ds->DisableControls();
    ds->Last();
    QCOMPARE(grid->currentIndex().row(), 0);
    ds->EnableControls();
    QCOMPARE(grid->currentIndex().row(), 3);
}

void TestGrid::cellClickReachesHandlerWithSelectedField() {
    QStringList seen;
    grid->OnCellClick = [&](TColumn* column) {
        seen << column->FieldName() + QLatin1Char('/') + grid->SelectedField()->FieldName() +
                    QLatin1Char('/') + QString::number(ds->RecNo());
        if (column->FieldName() == QLatin1String("IDCHECK")) {
            ds->Edit();
            field("IDCHECK")->setAsString(field("IDCHECK")->AsString() == "U" ? "C" : "U");
        }
    };
    clickCell(2, 0);
    QCOMPARE(seen, QStringList{"IDCHECK/IDCHECK/3"});
    QCOMPARE(field("IDCHECK")->AsString(), QStringLiteral("C"));
    QCOMPARE(grid->model()->index(2, 0).data().toString(), QStringLiteral("C"));
    clickCell(3, 1); // leaving posts the tick
    QCOMPARE(ds->ChangeCount(), 1);
    QCOMPARE(seen.last(), QStringLiteral("NRNOTAFISC/NRNOTAFISC/4"));
}

void TestGrid::spaceKeyReachesKeyPress() {
    QStringList seen;
    grid->OnKeyPress = [&](QChar& key) {
        TField* f = grid->SelectedField();
        seen << QString(key) + QLatin1Char('/') + (f ? f->FieldName() : QStringLiteral("-"));
        if (key == QLatin1Char(' ') && f && f->FieldName() == QLatin1String("IDCHECK")) {
            grid->BeginUpdate();
            ds->Edit();
            f->setAsString(f->AsString() == "U" ? "C" : "U");
            grid->EndUpdate();
        }
    };
    grid->setOptions(grid->Options() & ~dgEditing); // the tick column is never typed into
    grid->setSelectedIndex(0);
    ds->First();
    pressKey(Qt::Key_Space);
    QCOMPARE(seen, QStringList{" /IDCHECK"});
    QCOMPARE(field("IDCHECK")->AsString(), QStringLiteral("C"));
    grid->setSelectedIndex(1);
    pressKey(Qt::Key_Space);
    QCOMPARE(seen.last(), QStringLiteral(" /NRNOTAFISC"));
    QCOMPARE(field("IDCHECK")->AsString(), QStringLiteral("C"));
}

void TestGrid::titleClickReachesHandlerWithoutMoving() {
    ds->setRecNo(3);
    QStringList seen;
    grid->OnTitleClick = [&](TColumn* c) { seen << c->FieldName(); };
    QHeaderView* h = grid->horizontalHeader();
    const int x = h->sectionViewportPosition(0) + h->sectionSize(0) / 2;
    QTest::mouseClick(h->viewport(), Qt::LeftButton, {}, QPoint(x, h->height() / 2));
    QCOMPARE(seen, QStringList{"IDCHECK"});
    QCOMPARE(ds->RecNo(), 3);
    QCOMPARE(grid->currentIndex().row(), 2);
}

void TestGrid::consumedKeysNeverReachTheCell_data() {
    QTest::addColumn<QVariant>("before"); // the cell's amount before typing
    QTest::addColumn<QString>("typed");
    QTest::addColumn<double>("stored");
    QTest::newRow("full stop dropped") << QVariant() << "1.5" << 15.0;
    QTest::newRow("second comma dropped") << QVariant() << "1,2,5" << 1.25;
    QTest::newRow("letters dropped") << QVariant() << "7a,b5" << 7.5;
    // The first key replaces the cell's text: the stored decimals do not hold a comma back.
    QTest::newRow("comma first over decimals") << QVariant(12.5) << ",5" << 0.5;
}

void TestGrid::consumedKeysNeverReachTheCell() {
    QFETCH(QVariant, before);
    QFETCH(QString, typed);
    QFETCH(double, stored);
    // The worksheet's rule for amounts: digits, backspace and one comma.
    grid->OnKeyPress = [&](QChar& key) {
        TField* f = grid->SelectedField();
        if (!f || f->FieldName() != QLatin1String("VRMULTAGUIA"))
            return;
        if (!key.isDigit() && key != QChar(8) && key != QLatin1Char(','))
            key = QChar();
        else if (key == QLatin1Char(',') &&
                 GridText(grid.get(), QStringLiteral("VRMULTAGUIA"), false).contains(','))
            key = QChar();
    };
    ds->First();
    if (before.isValid()) {
        ds->Edit();
        field("VRMULTAGUIA")->setValue(before);
        ds->Post();
    }
    grid->setSelectedIndex(2);
    typeText(typed);
    QCOMPARE(ds->State(), dsEdit); // typing starts the edit
    pressKey(Qt::Key_Return);
    QTRY_COMPARE(field("VRMULTAGUIA")->AsFloat(), stored);
    int posts = 0;
    ds->AfterPost = [&](TDataSet*) { ++posts; };
    clickCell(1, 2);
    QCOMPARE(posts, 1);
    QVERIFY(dialogs.errors().isEmpty());
}

void TestGrid::insertKeyRefusedByBeforeInsert() {
    ds->BeforeInsert = [](TDataSet*) { throw EAbort(); };
    ds->Last();
    pressKey(Qt::Key_Insert);
    pressKey(Qt::Key_Down);
    QCOMPARE(ds->RecordCount(), 4);
    QCOMPARE(grid->model()->rowCount(), 4);
    QVERIFY(dialogs.shown.isEmpty());
    // Without the refusal the same keys add rows.
    ds->BeforeInsert = nullptr;
    pressKey(Qt::Key_Down);
    QCOMPARE(ds->State(), dsInsert);
    QCOMPARE(grid->model()->rowCount(), 5);
    QCOMPARE(grid->currentIndex().row(), 4);
}

void TestGrid::leavingEditedRowPostsThroughDataSet() {
    QStringList posted;
    field("DTVENCGUIA")->OnSetText = [&](TField* f, const QString& text) {
        if (text == EmptyDateText())
            f->Clear();
        else if (!text.isEmpty())
            DateSetText(f, text);
    };
    ds->AfterPost = [&](TDataSet* d) {
        posted << d->FieldByName(QStringLiteral("DTVENCGUIA"))->AsString();
    };
    ds->setRecNo(2);
    grid->setSelectedIndex(3);
    typeText(QStringLiteral("05032026"));
    clickCell(0, 3); // leaving the cell and the row commits and posts
    QCOMPARE(posted, QStringList{"05/03/2026"});
    QCOMPARE(ds->RecNo(), 1);
}

void TestGrid::refusedPostKeepsGridOnRow() {
    // The check that refuses puts the focus on its field, as the worksheet's checks do.
    ds->BeforePost = [&](TDataSet*) {
        field("DTVENCGUIA")->FocusControl();
        throw EHostError(QStringLiteral("Vencimento deve ser informado."));
    };
    QStringList entered;
    grid->OnColEnter = [&] { entered << grid->SelectedField()->FieldName(); };
    ds->setRecNo(2);
    grid->setSelectedIndex(2);
    typeText(QStringLiteral("3"));
    pressKey(Qt::Key_Return);
    QTRY_COMPARE(field("VRMULTAGUIA")->AsFloat(), 3.0);
    clickCell(3, 2);
    QTRY_COMPARE(grid->currentIndex().row(), 1);
    QCOMPARE(ds->RecNo(), 2);
    QCOMPARE(ds->State(), dsEdit);
    QCOMPARE(dialogs.errors(), QStringList{"Vencimento deve ser informado."});
    QCOMPARE(grid->currentIndex().column(), 3);
    QCOMPARE(entered.last(), QStringLiteral("DTVENCGUIA"));
}

void TestGrid::invalidDateStopsThePost() {
    ds->setRecNo(1);
    grid->setSelectedIndex(3);
    typeText(QStringLiteral("31022026"));
    // The code posts while the editor is still open: the typed text goes in first, and a date
    // that does not exist stops the post with the clear message.
    QVERIFY_THROWS_EXCEPTION(EHostError, ds->Post());
    QVERIFY(field("DTVENCGUIA")->IsNull());
    try {
        ds->Post();
    } catch (const EHostError& e) {
        QCOMPARE(e.text(), QStringLiteral("Não é uma data válida."));
    }
}

void TestGrid::readOnlyColumnsAndFieldsDoNotEdit() {
    ds->First();
    grid->setSelectedIndex(1); // read-only column
    typeText(QStringLiteral("9"));
    QCOMPARE(ds->State(), dsBrowse);
    field("VRMULTAGUIA")->setReadOnly(true);
    grid->setSelectedIndex(2);
    typeText(QStringLiteral("9"));
    QCOMPARE(ds->State(), dsBrowse);
    field("VRMULTAGUIA")->setReadOnly(false);
    grid->setOptions(grid->Options() & ~dgEditing);
    typeText(QStringLiteral("9"));
    QCOMPARE(ds->State(), dsBrowse);
    QVERIFY(!(grid->model()->flags(grid->model()->index(0, 2)) & Qt::ItemIsEditable));
}

void TestGrid::displayUsesFieldText() {
    ds->First();
    ds->Edit();
    field("VRMULTAGUIA")->setAsFloat(1234.5);
    field("NRNOTAFISC")->OnGetText = [](TField* f, QString& text, bool) {
        text = QStringLiteral("NF ") + f->AsString();
    };
    ds->Post();
    QAbstractItemModel* m = grid->model();
    QCOMPARE(m->index(0, 2).data().toString(), QStringLiteral("1.234,50"));
    QCOMPARE(m->index(0, 2).data(Qt::EditRole).toString(), QStringLiteral("1234,5"));
    // The handler sees the row being drawn, not the current one.
    ds->Last();
    QCOMPARE(m->index(1, 1).data().toString(), QStringLiteral("NF 2"));
    QCOMPARE(m->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Nº Nota"));
    QCOMPARE(IndiceCol(grid.get(), QStringLiteral("dtvencguia")), 3);
    QCOMPARE(IndiceCol(grid.get(), QStringLiteral("NOPE")), -1);
}

void TestGrid::drawHookAndOliveTransparency() {
    QPixmap pic(16, 16);
    pic.fill(QColor(128, 128, 0));
    {
        QPainter p(&pic);
        p.fillRect(4, 4, 8, 8, Qt::black);
    }
    QMap<int, QString> drawn; // tick read through the column's field, by the cell's top
    grid->OnDrawColumnCell = [&](QPainter* canvas, const QRect& rect, int, TColumn* column,
                                 TGridDrawState) {
        if (column->FieldName() != QLatin1String("IDCHECK"))
            return;
        drawn[rect.top()] = column->Field()->AsString();
        canvas->fillRect(rect, canvas->brush());
        DrawOliveTransparent(canvas, QRect(rect.left() + 4, rect.top(), 16, rect.height()), pic,
                             QRect(0, 0, 16, rect.height()));
    };
    ds->Last(); // the hook reads the drawn row, not the current one
    grid->viewport()->repaint();
    QCOMPARE(drawn.values(), (QStringList{"U", "C", "U", "U"}));
    const QPixmap masked = OliveTransparent(pic);
    QCOMPARE(OliveTransparent(pic).cacheKey(), masked.cacheKey()); // built once
    const QImage img = masked.toImage();
    QCOMPARE(qAlpha(img.pixel(0, 0)), 0);
    QCOMPARE(img.pixelColor(6, 6), QColor(Qt::black));
    // The olive background does not reach the cell: grab row 1 where the picture sits.
    const QImage shot = grid->viewport()->grab().toImage();
    const QRect cell = grid->visualRect(grid->model()->index(0, 0));
    const QColor corner = shot.pixelColor(cell.left() + 5, cell.top() + 1);
    QVERIFY(corner != QColor(128, 128, 0));
}

void TestGrid::ellipsisButtonRunsHandlerAndCommits() {
    grid->Columns(2)->setButtonStyle(cbsEllipsis);
    int clicks = 0;
    grid->OnEditButtonClick = [&] {
        ++clicks;
        ds->Edit();
        field("VRMULTAGUIA")->setAsFloat(42);
    };
    ds->First();
    grid->setSelectedIndex(2);
    grid->edit(grid->currentIndex());
    QToolButton* button = grid->viewport()->findChild<QToolButton*>();
    QVERIFY(button);
    QCOMPARE(button->text(), QStringLiteral("..."));
    button->click();
    QCOMPARE(clicks, 1);
    QTRY_VERIFY(!grid->viewport()->findChild<QToolButton*>());
    QCOMPARE(field("VRMULTAGUIA")->AsFloat(), 42.0);
    QCOMPARE(ds->State(), dsEdit);
}

void TestGrid::colEnterSwitchesEditingAndSuspendedUpdates() {
    // The worksheet's rule: editing only in the editable amount and date columns.
    QStringList entered;
    grid->OnColEnter = [&] {
        TField* f = grid->SelectedField();
        entered << (f ? f->FieldName() : QStringLiteral("-"));
        const bool editable = f && (f->FieldName() == QLatin1String("VRMULTAGUIA") ||
                                    f->FieldName() == QLatin1String("DTVENCGUIA"));
        grid->setOptions(editable ? grid->Options() | dgEditing : grid->Options() & ~dgEditing);
    };
    ds->First();
    grid->setSelectedIndex(0);
    grid->setSelectedIndex(2);
    pressKey(Qt::Key_Left);
    // Column 0 was already selected: only real column changes enter.
    QCOMPARE(entered, (QStringList{"VRMULTAGUIA", "NRNOTAFISC"}));
    QVERIFY(!(grid->Options() & dgEditing));
    typeText(QStringLiteral("7"));
    QCOMPARE(ds->State(), dsBrowse);
    // Typing in a cell that does not edit never moves to another row.
    QTest::qWait(QApplication::keyboardInputInterval() + 50);
    typeText(QStringLiteral("3"));
    QCOMPARE(ds->RecNo(), 1);
    QCOMPARE(grid->currentIndex().row(), 0);
    // While suspended the grid does not follow; on resume it shows the dataset's row.
    grid->BeginUpdate();
    grid->BeginUpdate();
    ds->Last();
    QCOMPARE(grid->currentIndex().row(), 0);
    grid->EndUpdate();
    QCOMPARE(grid->currentIndex().row(), 0);
    grid->EndUpdate();
    QCOMPARE(grid->currentIndex().row(), 3);
    QCOMPARE(grid->SelectedField()->FieldName(), QStringLiteral("NRNOTAFISC"));
}

void TestGrid::ellipsisShowsWhenRowGoesIntoEdit() {
    // The worksheet's rule: the button only while the row is being edited.
    src->OnStateChange = [&](TDataSource*) {
        const bool editing = ds->State() == dsEdit || ds->State() == dsInsert;
        grid->Columns(2)->setButtonStyle(editing ? cbsEllipsis : cbsNone);
    };
    int clicks = 0;
    grid->OnEditButtonClick = [&] { ++clicks; };
    ds->First();
    grid->setSelectedIndex(2);
    typeText(QStringLiteral("5")); // opens the editor, the row goes into edit
    QCOMPARE(ds->State(), dsEdit);
    QToolButton* button = grid->viewport()->findChild<QToolButton*>();
    QVERIFY(button);
    QVERIFY(!button->isHidden());
    button->click();
    QCOMPARE(clicks, 1);
    QTRY_VERIFY(!grid->viewport()->findChild<QToolButton*>());
    // Back in browse the next editor of the column opens without the button.
    ds->Post();
    QCOMPARE(grid->Columns(2)->ButtonStyle(), cbsNone);
    grid->edit(grid->currentIndex());
    button = grid->viewport()->findChild<QToolButton*>();
    QVERIFY(button);
    QVERIFY(button->isHidden());
}

void TestGrid::focusControlSelectsFieldColumn() {
    ds->First();
    grid->setSelectedIndex(0);
    grid->clearFocus();
    QVERIFY(!grid->hasFocus());
    field("DTVENCGUIA")->FocusControl();
    QTRY_VERIFY(grid->hasFocus());
    QCOMPARE(grid->SelectedField()->FieldName(), QStringLiteral("DTVENCGUIA"));
    QCOMPARE(grid->currentIndex().row(), 0);
    // Also during a walk with the controls disabled: the column of the dataset's row.
    ds->DisableControls();
    ds->Next();
    ds->Edit();
    field("VRMULTAGUIA")->FocusControl();
    QCOMPARE(grid->SelectedField()->FieldName(), QStringLiteral("VRMULTAGUIA"));
    QCOMPARE(grid->currentIndex().row(), 1);
    QCOMPARE(ds->State(), dsEdit); // the grid's move was no move: the edit stays
    ds->EnableControls();
    QCOMPARE(grid->currentIndex().row(), 1);
}

void TestGrid::maskedEditorKeepsLiteralsByFlag_data() {
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QString>("stored");
    QTest::newRow("literals dropped") << "000.000.000-00;0;_"
                                      << "12345678901";
    QTest::newRow("literals kept") << "000.000.000-00;1;_"
                                   << "123.456.789-01";
}

void TestGrid::maskedEditorKeepsLiteralsByFlag() {
    QFETCH(QString, mask);
    QFETCH(QString, stored);
    field("NRNOTAFISC")->setEditMask(mask);
    grid->Columns(1)->setReadOnly(false);
    ds->First();
    grid->setSelectedIndex(1);
    typeText(QStringLiteral("12345678901"));
    pressKey(Qt::Key_Return);
    QTRY_COMPARE(field("NRNOTAFISC")->AsString(), stored);
}

QTEST_MAIN(TestGrid)
#include "test_grid.moc"
