#include "BusyIndicator.h"

#include "HostGuard.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPainter>
#include <QPointer>
#include <QTimer>
#include <QWidget>

namespace {

class TBusyOverlay : public QWidget {
public:
    explicit TBusyOverlay(QWidget* form) : QWidget(form) {
        setObjectName(QStringLiteral("BusyOverlay"));
        setAttribute(Qt::WA_NoSystemBackground);
        // The overlay blocks mouse input to the screen beneath it.
        setAttribute(Qt::WA_TransparentForMouseEvents, false);
        form->installEventFilter(this);
        setGeometry(form->rect());
        m_timer.setInterval(80);
        guardedConnect(&m_timer, &QTimer::timeout, this, [this](auto&&...) {
            m_step = (m_step + 1) % 12;
            update();
        });
        m_timer.start();
    }
    void setCaption(const QString& text) {
        m_caption = text;
        update();
    }
    QString caption() const { return m_caption; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == parentWidget() && event->type() == QEvent::Resize)
            setGeometry(parentWidget()->rect());
        return false;
    }
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillRect(rect(), QColor(255, 255, 255, 140));
        const QRect box(width() / 2 - 150, height() / 2 - 50, 300, 100);
        p.setPen(QColor(90, 90, 90));
        p.setBrush(QColor(250, 250, 250));
        p.drawRoundedRect(box, 8, 8);
        // Twelve spokes; the current one darkest, the others fading behind it.
        const QPointF c(box.left() + 40, box.center().y());
        for (int i = 0; i < 12; ++i) {
            const int age = (m_step - i + 12) % 12;
            p.save();
            p.translate(c);
            p.rotate(i * 30.0);
            p.setPen(QPen(QColor(30, 80, 160, 255 - age * 18), 3, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(0, -10), QPointF(0, -18));
            p.restore();
        }
        p.setPen(Qt::black);
        p.drawText(box.adjusted(75, 0, -10, 0), Qt::AlignVCenter | Qt::TextWordWrap, m_caption);
    }

private:
    QTimer m_timer;
    QString m_caption;
    int m_step = 0;
};

struct Busy {
    int depth = 0;
    QPointer<TBusyOverlay> overlay;
};

Busy& busy() {
    static Busy b;
    return b;
}

QString captionOf(int kind) {
    switch (kind) {
    case 2:
        return QStringLiteral("Aguarde, consultando...");
    case 3:
        return QStringLiteral("Aguarde, imprimindo...");
    default:
        return QStringLiteral("Aguarde, processando...");
    }
}

} // namespace

void ActiveShowAvi(QWidget* form, int kind, const QString& caption) {
    Busy& b = busy();
    ++b.depth;
    const QString text = caption.isEmpty() ? captionOf(kind) : caption;
    if (!form)
        return; // counted, nothing to cover
    if (b.overlay && b.overlay->parentWidget() != form)
        delete b.overlay.data();
    if (!b.overlay)
        b.overlay = new TBusyOverlay(form);
    b.overlay->setCaption(text);
    b.overlay->show();
    b.overlay->raise();
    b.overlay->repaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void DeactiveShowAvi() {
    Busy& b = busy();
    if (b.depth == 0)
        return;
    if (--b.depth > 0)
        return;
    if (b.overlay) {
        b.overlay->hide();
        b.overlay->deleteLater();
        b.overlay = nullptr;
    }
}

int BusyDepth() {
    return busy().depth;
}

QWidget* BusyOverlay() {
    return busy().overlay;
}

QString BusyCaption() {
    return busy().overlay ? busy().overlay->caption() : QString();
}
