// What moving the focus between the top group and the worksheet does: entering the report
// choice or the group discards the loaded notes, entering the grid checks the company first.
#include "Cli_Fis98100.h"
#include "ScreenParts.h"
#include "host/Components.h"
#include "host/DBGrid.h"
#include "host/DataSet.h"
#include "host/FocusGroup.h"
#include "host/HostGuard.h"

#include <QComboBox>
#include <QEvent>
#include <functional>

namespace {

// Runs onEnter under the host guard when the watched widget gains the focus.
class TEnterFilter : public QObject {
public:
    TEnterFilter(QObject* parent, std::function<void()> onEnter)
        : QObject(parent), m_onEnter(std::move(onEnter)) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::FocusIn)
            HostGuard::run(m_onEnter);
        return false;
    }

private:
    std::function<void()> m_onEnter;
};

} // namespace

void TfrmEmissaoDarfDoc::CreateFocusRules() {
    // The rules follow the clerk's moves only: a dialog or another window giving the focus back
    // is no move. Filters run last-installed first: the reason is recorded before it is read.
    cbbReportNames->installEventFilter(new TEnterFilter(cbbReportNames, [this] {
        if (Worksheet::IsClerkMove(cbbReportNames))
            cbbReportNamesEnter();
    }));
    Worksheet::TrackFocusReason(cbbReportNames);
    Worksheet::TrackFocusReason(dbgPadrao);
    dbgPadrao->OnEnter = [this] {
        if (Worksheet::IsClerkMove(dbgPadrao))
            dbgPadraoEnter();
    };
    // The group's helper reports the clerk's own moves only.
    grbDadosRelFocus->OnEnter = [this] { grbDadosRelEnter(); };
}

// Closing saves a changed note first. A failed company check passing through on its way back
// into the code box is no entry: the box's own rule then drops the note unsaved, where saving
// it would run the failing check again.

// Entering the top group. The group hears of the move once it is complete, after the box that
// took the focus ran its own rule: the company box's (an empty worksheet, not a closed one) runs
// again, as it would have come after the group's.
void TfrmEmissaoDarfDoc::grbDadosRelEnter() {
    if (Worksheet::InFocusDance(this))
        return;
    cdsNotaFiscal->Close();
    if (medCdEmpresa->hasFocus())
        medCdEmpresaEnter();
}

void TfrmEmissaoDarfDoc::cbbReportNamesEnter() {
    if (Worksheet::InFocusDance(this))
        return;
    cdsNotaFiscal->Close();
    sbtProcurar->setEnabled(false);
    sbtVerificar->setEnabled(false);
}

void TfrmEmissaoDarfDoc::dbgPadraoEnter() {
    Vd_Empresa(true);
}
