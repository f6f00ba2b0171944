#include "OliveTransparent.h"

#include <QBitmap>
#include <QCache>
#include <QPainter>

QPixmap OliveTransparent(const QPixmap& pixmap) {
    static QCache<qint64, QPixmap> cache(64);
    if (pixmap.isNull())
        return pixmap;
    if (QPixmap* hit = cache.object(pixmap.cacheKey()))
        return *hit;
    auto* masked = new QPixmap(pixmap);
    masked->setMask(pixmap.createMaskFromColor(QColor(128, 128, 0), Qt::MaskInColor));
    const QPixmap result = *masked;
    cache.insert(pixmap.cacheKey(), masked);
    return result;
}

void DrawOliveTransparent(QPainter* painter, const QRect& target, const QPixmap& pixmap,
                          const QRect& source) {
    if (!painter || pixmap.isNull())
        return;
    painter->drawPixmap(target, OliveTransparent(pixmap), source);
}
