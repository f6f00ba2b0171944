// The screen's side of the filter dialog: opening it (the "Filtro" command, Ctrl+L, leaving the
// top group), refreshing the worksheet with the last confirmed filter, and what the dialog reads
// and writes here through IFilterTarget.
#include "Cli_Fis98100.h"
#include "filter/Cli_Fis98101.h"
#include "filter/FiltroEmissaoDarfDoc.h"
#include "host/Components.h"
#include "host/Connection.h"
#include "host/DBGrid.h"
#include "host/DataSet.h"
#include "host/FocusGroup.h"
#include "host/HostGuard.h"

#include <QGroupBox>
#include <QTimer>

using namespace Cli_Fis98100;

void TfrmEmissaoDarfDoc::CreateFilterLink() {
    // The dialog asks for the screen open at that moment, never for this one in particular.
    Cli_Fis98101::SetFilterTargetAccessor(
        [] { return static_cast<IFilterTarget*>(Cli_Fis98100::frmEmissaoDarfDoc); });

    grbDadosRelFocus = new TFocusGroup(grbDadosRel, this);
    // Not inside the focus change itself: the dialog would open while Qt is still moving the
    // focus. When the queued call runs, the focus must still be out of the group (a failed check
    // of the company, say, has put it back).
    grbDadosRelFocus->OnExit = [this] {
        if (m_filterQueued)
            return;
        m_filterQueued = true;
        QTimer::singleShot(0, this, [this] {
            m_filterQueued = false;
            if (grbDadosRelFocus->FocusLeftGroup())
                HostGuard::run([this] { grbDadosRelExit(); });
        });
    };
}

void TfrmEmissaoDarfDoc::sbtFiltroClick(QObject*) {
    Vd_Empresa(true);
    Cli_Fis98101::CriaFiltroEmissaoDarfDoc();
}

void TfrmEmissaoDarfDoc::grbDadosRelExit() {
    sbtFiltroClick(sbtFiltro);
}

void TfrmEmissaoDarfDoc::sbtVerificarClick(QObject*) {
    TfrmFiltroEmissaodarfDoc* dialog = Cli_Fis98101::frmFiltroEmissaodarfDoc;
    if (!dialog)
        return; // no filter was ever confirmed, so there is nothing to fetch again
    const TDataSet::TBookmark mark = cdsNotaFiscal->GetBookmark();
    dialog->sbtConfirmaClick(dialog->sbtConfirma);
    // The clerk stays on the note he was on.
    if (mark && cdsNotaFiscal->BookmarkValid(mark))
        cdsNotaFiscal->GotoBookmark(mark);
    const int col = IndiceCol(dbgPadrao, QStringLiteral("CDRECEGUIA"));
    if (col >= 0)
        dbgPadrao->Columns(col)->setButtonStyle(cbsEllipsis);
}

QString TfrmEmissaoDarfDoc::FilterCompanyCode() const {
    return medCdEmpresa->Text();
}

TSocketConnection& TfrmEmissaoDarfDoc::FilterConnection() {
    return *netEmissaoDarfDoc;
}

TClientDataSet& TfrmEmissaoDarfDoc::FilterNotes() {
    return *cdsNotaFiscal;
}

QString TfrmEmissaoDarfDoc::FilterLoadingCaption() const {
    // The table holds no "Carr_Dad": the caption is this screen's own wording.
    const QString key = QStringLiteral("Carr_Dad");
    return msgPadrao.hasKey(key) ? msgPadrao.Msg(key)
                                 : QString::fromUtf8("Carregando as notas fiscais...");
}

void TfrmEmissaoDarfDoc::FilterLoaded(bool ok) {
    if (!ok) {
        // The selection has changed but its notes did not come: an empty worksheet, so that no
        // note of the old selection can be saved under the new tax.
        if (!cdsNotaFiscal->Active()) {
            cdsNotaFiscal->CreateDataSet();
        } else {
            if (cdsNotaFiscal->State() == dsEdit || cdsNotaFiscal->State() == dsInsert)
                cdsNotaFiscal->Cancel();
            cdsNotaFiscal->EmptyDataSet();
        }
    }
    // Loading or emptying an open dataset keeps its state: the commands would not hear of it.
    dtsPadraoStateChange();
}
