#pragma once
// Pictures drawn with their olive (128,128,0) background transparent, as the host's bitmaps
// are made.
#include "core/HostExport.h"

#include <QPixmap>

class QPainter;
class QRect;

// pixmap with olive (128,128,0) transparent; built once per pixmap and cached.
FIS_EXPORT QPixmap OliveTransparent(const QPixmap& pixmap);
// Copies source (a part of pixmap) to target, olive transparent, scaled when sizes differ.
FIS_EXPORT void DrawOliveTransparent(QPainter* painter, const QRect& target, const QPixmap& pixmap,
                                     const QRect& source);
