// One edit mask, one meaning: the placeholder table against Qt, the stored text, and the grid's
// editor and the masked edit storing the same text for the same keys.
#include "Components.h"
#include "DBGrid.h"
#include "HostDialogs.h"
#include "core/EditMask.h"
#include "core/Services.h"

#include <QtTest>

namespace {
const QString kCompanyMask = QStringLiteral("99;0; "); // the worksheet's company box
} // namespace

class TestEditMask : public QObject {
    Q_OBJECT
private slots:
    // Each host placeholder, put into a Qt line edit through the table, takes exactly the
    // characters the table says and needs filling exactly when the table says so.
    void placeholdersMeanWhatTheTableSays() {
        for (const TEditMask::TPlaceholder& p : TEditMask::Placeholders()) {
            const QString mask = QString(p.host) + QStringLiteral(";0;_");
            auto accepts = [&](QChar c) {
                QLineEdit e;
                e.setInputMask(TEditMask(mask).QtInputMask());
                QTest::keyClick(&e, c.toLatin1());
                return TEditMask(mask).TypedText(e.displayText()) == QString(c);
            };
            using A = TEditMask::TAccepts;
            const QByteArray what = QByteArray("placeholder ") + char(p.host.unicode());
            QVERIFY2(accepts(QLatin1Char('7')) == (p.accepts != A::Letter), what);
            QVERIFY2(accepts(QLatin1Char('k')) ==
                         (p.accepts == A::Letter || p.accepts == A::LetterOrDigit ||
                          p.accepts == A::Any),
                     what);
            QVERIFY2(accepts(QLatin1Char('-')) ==
                         (p.accepts == A::DigitOrSign || p.accepts == A::Any),
                     what);
            QLineEdit empty;
            empty.setInputMask(TEditMask(mask).QtInputMask());
            QVERIFY2(empty.hasAcceptableInput() == !p.required, what);
        }
        QVERIFY(!TEditMask::PlaceholderOf(QLatin1Char('/')));
    }

    void storedText_data() {
        QTest::addColumn<QString>("mask");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("stored");
        QTest::newRow("date keeps literals") << DateMask() << "12/05/    "
                                             << "12/05/    ";
        QTest::newRow("blank read as a space") << "99.999;1;_"
                                               << "12.___"
                                               << "12.   ";
        QTest::newRow("literal like the blank stays") << "99_99;1;_"
                                                      << "1__2_"
                                                      << "1 _2 ";
        QTest::newRow("typed only") << "000.000-00;0;_"
                                    << "123.456-7_"
                                    << "1234567";
        QTest::newRow("company, blank first") << kCompanyMask << " 4"
                                              << "4";
        QTest::newRow("escaped placeholder is a literal") << "\\A99;0;_"
                                                          << "A1_"
                                                          << "1";
        QTest::newRow("no mask") << ""
                                 << "abc"
                                 << "abc";
    }
    void storedText() {
        QFETCH(QString, mask);
        QFETCH(QString, shown);
        QFETCH(QString, stored);
        QCOMPARE(TEditMask(mask).StoredText(shown), stored);
    }

    void parsesTheThreeFields() {
        const TEditMask date(DateMask());
        QVERIFY(date.SaveLiterals());
        QCOMPARE(date.Blank(), QLatin1Char(' '));
        QCOMPARE(date.Length(), 10);
        QVERIFY(!date.IsPlaceholder(2));
        QCOMPARE(date.FirstPlaceholder(), 0);
        const TEditMask cnpj(PictPess(QStringLiteral("J")));
        QVERIFY(!cnpj.SaveLiterals());
        QCOMPARE(cnpj.Blank(), QLatin1Char('_'));
        QCOMPARE(cnpj.Length(), 18);
        const TEditMask escaped(QStringLiteral("(\\;99);1"));
        QCOMPARE(escaped.Length(), 5);
        QVERIFY(escaped.SaveLiterals());
        QCOMPARE(escaped.FirstPlaceholder(), 2);
        QCOMPARE(escaped.Format(QStringLiteral("(;12)")), QStringLiteral("(;12)"));
        QVERIFY(TEditMask().IsEmpty());
        QVERIFY(TEditMask(QStringLiteral(";1;_")).IsEmpty());
    }

    // The same keys typed into the grid's editor and into a masked edit with the same mask
    // store the same text.
    void gridAndBoxStoreTheSame_data() {
        QTest::addColumn<QString>("mask");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("stored");
        QTest::newRow("date whole") << DateMask() << "12052024"
                                    << "12/05/2024";
        QTest::newRow("date half") << DateMask() << "1205"
                                   << "12/05/    ";
        QTest::newRow("date with a blank typed") << DateMask() << "1 052024"
                                                 << "1 /05/2024";
        QTest::newRow("date refuses letters") << DateMask() << "1a2"
                                              << "12/  /    ";
        QTest::newRow("company one digit") << kCompanyMask << "4"
                                           << "4";
        QTest::newRow("company two digits") << kCompanyMask << "45"
                                            << "45";
        QTest::newRow("company too many") << kCompanyMask << "456"
                                          << "45";
        QTest::newRow("company blank first") << kCompanyMask << " 4"
                                             << "4";
    }
    void gridAndBoxStoreTheSame() {
        QFETCH(QString, mask);
        QFETCH(QString, keys);
        QFETCH(QString, stored);

        TMaskEdit box;
        box.SetEditMask(mask);
        QTest::keyClicks(&box, keys);
        QCOMPARE(box.Text(), stored);

        TScriptedDialogs dialogs;
        TScopedDialogs scope(&dialogs);
        TClientDataSet ds;
        ds.AddField(QStringLiteral("TEXTO"), TFieldType::String, 20)->setEditMask(mask);
        ds.CreateDataSet();
        ds.Append();
        ds.Post();
        TDataSource src;
        src.setDataSet(&ds);
        TDBGrid grid;
        grid.setDataSource(&src);
        grid.AddColumn(QStringLiteral("TEXTO"), 120);
        grid.resize(300, 120);
        grid.show();
        grid.activateWindow();
        grid.setFocus();
        QVERIFY(QTest::qWaitForWindowExposed(&grid));
        grid.setSelectedIndex(0);
        for (QChar c : keys)
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &grid,
                            c.toLatin1());
        QVERIFY(grid.EditorOpen(QStringLiteral("TEXTO")));
        QCOMPARE(grid.EditorText(QStringLiteral("TEXTO")), stored);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QTRY_COMPARE(ds.FieldByName(QStringLiteral("TEXTO"))->AsString(), stored);
        QVERIFY(dialogs.errors().isEmpty());
    }

    // A click into the empty company box, wherever it lands, starts typing at the first digit.
    void clickIntoEmptyBoxStartsAtTheFirstPosition_data() {
        QTest::addColumn<int>("clickedPosition");
        QTest::newRow("middle") << 1;
        QTest::newRow("end") << 2;
    }
    void clickIntoEmptyBoxStartsAtTheFirstPosition() {
        QFETCH(int, clickedPosition);
        QWidget w;
        auto* box = new TMaskEdit(&w);
        box->SetEditMask(kCompanyMask);
        box->setGeometry(10, 10, 80, 24);
        auto* other = new QLineEdit(&w);
        other->setGeometry(10, 40, 80, 24);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        other->setFocus();
        const QPoint at = pointOf(box, clickedPosition);
        QTest::mouseClick(box, Qt::LeftButton, {}, at);
        QCOMPARE(box->cursorPosition(), 0);
        QTest::keyClicks(box, QStringLiteral("45"));
        QCOMPARE(box->Text(), QStringLiteral("45"));

        // With something typed the click lands where it was aimed.
        QTest::mouseClick(box, Qt::LeftButton, {}, pointOf(box, 1));
        QCOMPARE(box->cursorPosition(), 1);
    }

private:
    // The middle of the stretch of the box where a click puts the cursor at position pos.
    static QPoint pointOf(TMaskEdit* box, int pos) {
        const int y = box->height() / 2;
        int first = -1, last = -1;
        for (int x = 0; x < box->width(); ++x)
            if (box->cursorPositionAt(QPoint(x, y)) == pos) {
                if (first < 0)
                    first = x;
                last = x;
            }
        return QPoint((first + last) / 2, y);
    }
};

QTEST_MAIN(TestEditMask)
#include "test_editmask.moc"
