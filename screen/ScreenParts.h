#pragma once
// Pieces of the main screen shared between the files of screen/.
#include <QColor>
#include <QPixmap>

class QWidget;
class TfrmEmissaoDarfDoc;

namespace Worksheet {

// The colour the cell pictures use as their transparent background.
inline const QColor kOlive(128, 128, 0);

// 16 x 16: a sunken check box, with or without its black tick.
QPixmap PaintCheckBox(bool ticked);
// 17 x 17: a round signal light of the given colour.
QPixmap PaintLight(const QColor& lit);

// The company line in grbDadosRel with its lookup query.
void CreateCompanyControls(TfrmEmissaoDarfDoc* form);
// mnuMenu: "Operação" and "Manutenção".
void CreateMenus(TfrmEmissaoDarfDoc* form);

// Focus moves (Company.cpp). Remembers why w gains or loses the focus, for IsClerkMove.
void TrackFocusReason(QWidget* w);
// Whether w's last focus change was the clerk moving within the screen, not a dialog or another
// window taking the focus and giving it back.
bool IsClerkMove(const QWidget* w);
// True while a failed company check moves the focus out of the code box and back.
bool InFocusDance(const TfrmEmissaoDarfDoc* form);

} // namespace Worksheet
