// Draws the emblem the DARF report prints in its header (database/reports/RelFTP/armasbra.bmp):
// a round seal with a star, a ring of stars and two branches, in grey so that it prints on any
// printer. The project's own drawing; rebuild it with
//   g++ -std=c++20 -fPIC make-emblem.cpp $(pkg-config --cflags --libs Qt6Gui) -o make-emblem
//   QT_QPA_PLATFORM=offscreen ./make-emblem ../reports/RelFTP/armasbra.bmp
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>

namespace {

QPainterPath star(QPointF c, double outer, double inner, double turn = -90) {
    QPainterPath p;
    for (int i = 0; i < 10; ++i) {
        const double r = i % 2 ? inner : outer;
        const double a = qDegreesToRadians(turn + i * 36.0);
        const QPointF pt(c.x() + r * std::cos(a), c.y() + r * std::sin(a));
        if (i == 0)
            p.moveTo(pt);
        else
            p.lineTo(pt);
    }
    p.closeSubpath();
    return p;
}

// One branch: leaves along an arc from the bottom of the seal up one side.
void branch(QPainter& p, QPointF c, double radius, int side) {
    for (int i = 0; i < 9; ++i) {
        const double a = qDegreesToRadians(90.0 + side * (25.0 + i * 14.0));
        const QPointF at(c.x() + radius * std::cos(a), c.y() + radius * std::sin(a));
        p.save();
        p.translate(at);
        p.rotate(qRadiansToDegrees(a) + 90 + side * 35);
        p.drawEllipse(QPointF(0, 0), 5.5, 13);
        p.restore();
    }
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("armasbra.bmp");
    const int size = 240;
    QImage img(size, size, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF c(size / 2.0, size / 2.0);

    // Branches behind the seal.
    p.setPen(QPen(QColor(60, 60, 60), 1.2));
    p.setBrush(QColor(150, 150, 150));
    branch(p, c, 104, 1);
    branch(p, c, 104, -1);

    // The seal: dark ring with a ring of small stars, light field, central star.
    p.setPen(QPen(Qt::black, 3));
    p.setBrush(QColor(40, 40, 40));
    p.drawEllipse(c, 88, 88);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    for (int i = 0; i < 20; ++i) {
        const double a = qDegreesToRadians(i * 18.0);
        p.drawPath(star(QPointF(c.x() + 77 * std::cos(a), c.y() + 77 * std::sin(a)), 6, 2.4));
    }
    p.setPen(QPen(Qt::black, 2));
    p.setBrush(QColor(225, 225, 225));
    p.drawEllipse(c, 66, 66);
    p.setPen(QPen(Qt::black, 2.5));
    p.setBrush(QColor(90, 90, 90));
    p.drawPath(star(c, 58, 24));
    p.setPen(QPen(Qt::black, 1.5));
    p.setBrush(Qt::white);
    p.drawEllipse(c, 20, 20);
    // A band across the inner disc.
    p.setPen(QPen(Qt::black, 1.5));
    p.setBrush(QColor(200, 200, 200));
    QPainterPath band;
    band.moveTo(c.x() - 19, c.y() - 4);
    band.quadTo(c.x(), c.y() - 12, c.x() + 19, c.y() - 4);
    band.lineTo(c.x() + 19, c.y() + 3);
    band.quadTo(c.x(), c.y() - 5, c.x() - 19, c.y() + 3);
    band.closeSubpath();
    p.drawPath(band);

    // Ribbon under the seal.
    p.setPen(QPen(Qt::black, 2));
    p.setBrush(QColor(240, 240, 240));
    QPainterPath ribbon;
    ribbon.moveTo(c.x() - 78, c.y() + 86);
    ribbon.quadTo(c.x(), c.y() + 104, c.x() + 78, c.y() + 86);
    ribbon.lineTo(c.x() + 74, c.y() + 104);
    ribbon.quadTo(c.x(), c.y() + 122, c.x() - 74, c.y() + 104);
    ribbon.closeSubpath();
    p.drawPath(ribbon);
    p.end();

    // Eight bits of grey keep the file small.
    QImage grey = img.convertToFormat(QImage::Format_Grayscale8)
                      .convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither);
    return grey.save(out, "BMP") ? 0 : 1;
}
