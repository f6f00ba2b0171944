// Busy animation: shown at once over the form, nesting, extra closes, moving to another form.
#include "BusyIndicator.h"

#include <QTest>
#include <QWidget>

class TestBusy : public QObject {
    Q_OBJECT
private slots:
    void cleanup() {
        while (BusyDepth() > 0)
            DeactiveShowAvi();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void showsAtOnceOverTheForm() {
        QWidget form;
        form.resize(400, 300);
        form.show();
        ActiveShowAvi(&form, 1);
        // No event loop ran here: the overlay must already be up and covering the form.
        QWidget* o = BusyOverlay();
        QVERIFY(o);
        QVERIFY(o->isVisible());
        QCOMPARE(o->parentWidget(), &form);
        QCOMPARE(o->geometry(), form.rect());
        QCOMPARE(BusyCaption(), QStringLiteral("Aguarde, processando..."));
        form.resize(500, 350);
        QCOMPARE(o->geometry(), form.rect());
        DeactiveShowAvi();
        QCOMPARE(BusyOverlay(), nullptr);
    }

    void nestedCallsHideOnlyAtTheLast() {
        QWidget form;
        form.show();
        ActiveShowAvi(&form, 1, QStringLiteral("Gravando nota..."));
        ActiveShowAvi(&form, 1, QStringLiteral("Consultando..."));
        QCOMPARE(BusyDepth(), 2);
        QCOMPARE(BusyCaption(), QStringLiteral("Consultando..."));
        QPointer<QWidget> o = BusyOverlay();
        DeactiveShowAvi();
        QVERIFY(o && o->isVisible());
        DeactiveShowAvi();
        QCOMPARE(BusyDepth(), 0);
        QVERIFY(!BusyOverlay());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!o); // the overlay is gone, not just hidden
        // Hiding twice more is harmless and does not let the count go below zero.
        DeactiveShowAvi();
        DeactiveShowAvi();
        QCOMPARE(BusyDepth(), 0);
        ActiveShowAvi(&form, 1);
        QVERIFY(BusyOverlay() && BusyOverlay()->isVisible());
        DeactiveShowAvi();
        QVERIFY(!BusyOverlay());
    }

    void followsTheFormAsked() {
        QWidget a, b;
        a.show();
        b.show();
        ActiveShowAvi(&a, 1);
        ActiveShowAvi(&b, 1);
        QCOMPARE(BusyOverlay()->parentWidget(), &b);
        DeactiveShowAvi();
        DeactiveShowAvi();
        QVERIFY(!BusyOverlay());
    }

    void formDestroyedWhileShown() {
        auto* form = new QWidget;
        form->show();
        ActiveShowAvi(form, 1);
        delete form; // takes the overlay with it
        QVERIFY(!BusyOverlay());
        DeactiveShowAvi(); // must not touch the dead overlay
        QCOMPARE(BusyDepth(), 0);
    }
};

QTEST_MAIN(TestBusy)
#include "test_busy.moc"
