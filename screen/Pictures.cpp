// The four cell pictures, painted once per screen: 16-colour style bitmaps on an olive
// background that the grid draws as transparent.
#include "ScreenParts.h"

#include <QImage>
#include <QPainter>

namespace Worksheet {

QPixmap PaintCheckBox(bool ticked) {
    QImage img(16, 16, QImage::Format_RGB32);
    img.fill(kOlive);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, false);
    // A 13 x 13 box at (1,1) with the classic two-line sunken border.
    const int x0 = 1, y0 = 1, x1 = 13, y1 = 13;
    p.fillRect(QRect(x0 + 2, y0 + 2, 9, 9), Qt::white);
    p.setPen(QColor(128, 128, 128));
    p.drawLine(x0, y0, x1 - 1, y0);
    p.drawLine(x0, y0, x0, y1 - 1);
    p.setPen(Qt::black);
    p.drawLine(x0 + 1, y0 + 1, x1 - 2, y0 + 1);
    p.drawLine(x0 + 1, y0 + 1, x0 + 1, y1 - 2);
    p.setPen(Qt::white);
    p.drawLine(x0, y1, x1, y1);
    p.drawLine(x1, y0, x1, y1);
    p.setPen(QColor(192, 192, 192));
    p.drawLine(x0 + 1, y1 - 1, x1 - 1, y1 - 1);
    p.drawLine(x1 - 1, y0 + 1, x1 - 1, y1 - 1);
    if (ticked) {
        // Three stacked strokes make the 3-pixel thick tick.
        p.setPen(Qt::black);
        for (int i = 0; i < 3; ++i) {
            p.drawLine(x0 + 3, y0 + 5 + i, x0 + 5, y0 + 7 + i);
            p.drawLine(x0 + 5, y0 + 7 + i, x0 + 9, y0 + 3 + i);
        }
    }
    p.end();
    return QPixmap::fromImage(img);
}

QPixmap PaintLight(const QColor& lit) {
    QImage img(17, 17, QImage::Format_RGB32);
    img.fill(kOlive);
    QPainter p(&img);
    // No antialiasing: a blended edge would leave olive-tinted pixels that are not transparent.
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(lit.darker(220));
    p.setBrush(lit);
    p.drawEllipse(QRect(1, 1, 14, 14));
    p.setPen(Qt::NoPen);
    p.setBrush(lit.lighter(150));
    p.drawEllipse(QRect(4, 4, 5, 5));
    p.setBrush(Qt::white);
    p.drawRect(QRect(5, 5, 1, 1));
    p.end();
    return QPixmap::fromImage(img);
}

} // namespace Worksheet
