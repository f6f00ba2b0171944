// Masked edit, date edit and flat button.
#include "Components.h"
#include "HostDialogs.h"
#include "Messages.h"
#include "core/HostExceptions.h"

#include <QCalendarWidget>
#include <QTest>

class TestComponents : public QObject {
    Q_OBJECT
private slots:
    void inputMask_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("qt");
        QTest::newRow("two digits") << "99;0; "
                                    << "00; ";
        QTest::newRow("required digits") << "000;0;_"
                                         << "999;_";
        QTest::newRow("date") << "!99/99/9999;1; "
                              << "00/00/0000; ";
        QTest::newRow("cnpj") << "99.999.999/9999-99;0;_"
                              << "00.000.000/0000-00;_";
        QTest::newRow("letters upper") << ">LL;0;_"
                                       << ">AA;_";
        QTest::newRow("escaped and special literal") << "\\A9-N;1;_"
                                                     << "\\A0-\\N;_";
        QTest::newRow("default blank") << "99"
                                       << "00;_";
        QTest::newRow("empty") << ""
                               << "";
    }
    void inputMask() {
        QFETCH(QString, host);
        QFETCH(QString, qt);
        QCOMPARE(QtInputMask(host), qt);
    }

    void maskEditKeepsDigitsOnly() {
        TMaskEdit e;
        e.SetEditMask(QStringLiteral("99;0; "));
        QCOMPARE(e.EditMask(), QStringLiteral("99;0; "));
        QCOMPARE(e.Text(), QString());
        QCOMPARE(e.displayText(), QStringLiteral("  ")); // blank shown as a space
        QTest::keyClicks(&e, QStringLiteral("1x23"));
        QCOMPARE(e.Text(), QStringLiteral("12"));
        e.SetText(QStringLiteral("7"));
        QCOMPARE(e.Text(), QStringLiteral("7"));
    }

    void maskEditLiterals() {
        TMaskEdit e;
        e.SetEditMask(QStringLiteral("99.999;0;_"));
        e.SetText(QStringLiteral("12345"));
        QCOMPARE(e.Text(), QStringLiteral("12345"));
        e.SetEditMask(QStringLiteral("99.999;1;_"));
        e.SetText(QStringLiteral("12"));
        QCOMPARE(e.Text(), QStringLiteral("12.   "));
    }

    void maskEditHooksRunGuarded() {
        TScriptedDialogs dialogs;
        TScopedDialogs scope(&dialogs);
        QWidget w;
        auto* e = new TMaskEdit(&w);
        auto* other = new TMaskEdit(&w);
        int changes = 0, enters = 0;
        bool afterAbort = false;
        e->OnChange = [&] { ++changes; };
        e->OnEnter = [&] { ++enters; };
        e->OnExit = [&] {
            MensErro(QStringLiteral("Empresa deve ser informada."), true);
            afterAbort = true;
        };
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        e->setFocus();
        QTRY_COMPARE(enters, 1);
        QTest::keyClicks(e, QStringLiteral("4"));
        QCOMPARE(changes, 1);
        other->setFocus(); // leaving runs OnExit; its abort stays inside the hook
        QTRY_COMPARE(dialogs.errors(), QStringList{QStringLiteral("Empresa deve ser informada.")});
        QVERIFY(!afterAbort);
    }

    void dateEdit() {
        TDateEditPlus d;
        QVERIFY(!d.GetDate().isValid());
        d.CheckValidDate(); // blank passes
        d.SetDate(QDate(2026, 12, 8));
        QCOMPARE(d.Text(), QStringLiteral("08/12/2026"));
        QCOMPARE(d.GetDate(), QDate(2026, 12, 8));
        QCOMPARE(d.Edit()->palette().color(QPalette::Text), QColor(Qt::blue));
        QCOMPARE(d.Edit()->toolTip(), QStringLiteral("terça-feira"));
        d.CheckValidDate();
        d.SetDate(QDate());
        QCOMPARE(d.Text(), QStringLiteral("  /  /    "));
        QVERIFY(d.IsBlank());
    }

    void dateEditRefusesBadText_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("no such day") << "31/02/2026";
        QTest::newRow("month 13") << "01/13/2026";
        QTest::newRow("half typed") << "12/05";
    }
    void dateEditRefusesBadText() {
        QFETCH(QString, text);
        TDateEditPlus d;
        d.SetText(text);
        QVERIFY(!d.GetDate().isValid());
        QVERIFY(d.Edit()->palette().color(QPalette::Text) != QColor(Qt::blue));
        try {
            d.CheckValidDate();
            QFAIL("no error raised");
        } catch (const EHostError& e) {
            QCOMPARE(e.text(), QStringLiteral("Não é uma data válida."));
        }
    }

    void calendarIsPortuguese() {
        TDateEditPlus d;
        QCOMPARE(d.Calendar()->locale().language(), QLocale::Portuguese);
        QCOMPARE(TDateEditPlus::WeekdayName(QDate(2026, 12, 6)), QStringLiteral("domingo"));
    }

    void flatButton() {
        TScriptedDialogs dialogs;
        TScopedDialogs scope(&dialogs);
        TButtonFlat b(QStringLiteral("Filtro"), QStringLiteral("Filtro"));
        QVERIFY(b.autoRaise());
        QCOMPARE(b.Caption(), QStringLiteral("Filtro"));
        QCOMPARE(b.Hint(), QStringLiteral("Filtro"));
        int clicks = 0;
        b.OnClick = [&] { ++clicks; };
        QTest::mouseClick(&b, Qt::LeftButton);
        QCOMPARE(clicks, 1);
        b.SetEnabled(false);
        QTest::mouseClick(&b, Qt::LeftButton);
        QVERIFY(!b.Click());
        QCOMPARE(clicks, 1);
        b.SetEnabled(true);
        b.OnClick = [] { throw EHostError(QStringLiteral("falhou")); };
        QVERIFY(!b.Click());
        QCOMPARE(dialogs.errors(), QStringList{QStringLiteral("falhou")});
    }
};

QTEST_MAIN(TestComponents)
#include "test_components.moc"
