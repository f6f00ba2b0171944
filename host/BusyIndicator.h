#pragma once
// The busy animation: an overlay over a screen with a turning glyph and a caption, shown and
// painted at once (user input stays queued meanwhile). Calls nest: only the last
// DeactiveShowAvi hides it; an extra DeactiveShowAvi is harmless.
#include "core/HostExport.h"

#include <QString>

class QWidget;

// kind selects the caption when none is given (1: "Aguarde, processando...").
FIS_EXPORT void ActiveShowAvi(QWidget* form, int kind, const QString& caption = {});
FIS_EXPORT void DeactiveShowAvi();

// Open calls not yet closed (0 when hidden).
FIS_EXPORT int BusyDepth();
// The overlay widget while shown, else nullptr.
FIS_EXPORT QWidget* BusyOverlay();
// The caption shown.
FIS_EXPORT QString BusyCaption();
