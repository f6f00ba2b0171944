// What moving the focus between the top group and the worksheet does: entering the report
// choice or the group discards the loaded notes, entering the grid checks the company first.
#include "Cli_Fis98100.h"
#include "ScreenParts.h"
#include "host/Components.h"
#include "host/DBGrid.h"
#include "host/DataSet.h"
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
    // is no move, and neither is a failed company check taking the focus through these
    // controls back into the code box.
    auto clerkMove = [this](const QWidget* w) {
        return Worksheet::IsClerkMove(w) && !Worksheet::InFocusDance(this);
    };
    // Filters run last-installed first: the reason must be recorded before the rule reads it.
    cbbReportNames->installEventFilter(new TEnterFilter(cbbReportNames, [this, clerkMove] {
        if (clerkMove(cbbReportNames))
            cbbReportNamesEnter();
    }));
    Worksheet::TrackFocusReason(cbbReportNames);
    Worksheet::TrackFocusReason(dbgPadrao);
    dbgPadrao->OnEnter = [this, clerkMove] {
        if (clerkMove(dbgPadrao))
            dbgPadraoEnter();
    };
}

// Entering the top group (its enter is bound where the group's focus is tracked).
void TfrmEmissaoDarfDoc::grbDadosRelEnter() {
    cdsNotaFiscal->Close();
}

void TfrmEmissaoDarfDoc::cbbReportNamesEnter() {
    cdsNotaFiscal->Close();
    sbtProcurar->setEnabled(false);
    sbtVerificar->setEnabled(false);
}

void TfrmEmissaoDarfDoc::dbgPadraoEnter() {
    Vd_Empresa(true);
}
