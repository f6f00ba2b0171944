// Saving a note: the checks before the worksheet keeps an edited note, storing its guide fields
// on the server afterwards, and the locks an issued guide puts on them.
#include "Cli_Fis98100.h"
#include "contracts/Fis98100Contracts.h"
#include "host/BusyIndicator.h"
#include "host/Components.h"
#include "host/Connection.h"
#include "host/DataSet.h"
#include "host/Messages.h"
#include "host/core/Services.h"

#include <utility>

namespace {

// The fields a guide carries; an issued guide ("S") keeps them all as they were issued, since
// the payable and its barcode were built from them.
const char* const kGuideFields[] = {"VRMULTAGUIA", "VRJUROGUIA", "CDRECEGUIA", "DSHISTGUIAPAGDOC",
                                    "DTVENCGUIA"};

QVariantList guideValues(const TDataSet* ds) {
    QVariantList out;
    for (const char* name : kGuideFields)
        out.append(ds->FieldByName(QLatin1String(name))->Value());
    return out;
}

// A box holding "1" names the same company as one holding "01".
bool sameCompany(const QString& a, const QString& b) {
    if (EmptyString(a) || EmptyString(b))
        return EmptyString(a) == EmptyString(b);
    return Ajusta(a.trimmed(), 2) == Ajusta(b.trimmed(), 2);
}

} // namespace

QString TfrmEmissaoDarfDoc::LoadedTax() const {
    return RecordFilter.stImposto;
}

void TfrmEmissaoDarfDoc::CreateSaving() {
    cdsNotaFiscal->BeforePost = [this](TDataSet* ds) { cdsNotaFiscalBeforePost(ds); };
    cdsNotaFiscal->AfterPost = [this](TDataSet* ds) { cdsNotaFiscalAfterPost(ds); };
    cdsNotaFiscal->AfterScroll = [this](TDataSet* ds) { cdsNotaFiscalAfterScroll(ds); };
    cdsNotaFiscal->AfterEdit = [this](TDataSet* ds) { m_guideBeforeEdit = guideValues(ds); };
    // Notes are loaded for the company the box names at that moment.
    cdsNotaFiscal->AfterOpen = [this](TDataSet*) { m_notesCompany = medCdEmpresa->Text(); };
}

bool TfrmEmissaoDarfDoc::guideChanged() const {
    return m_guideBeforeEdit.size() != int(std::size(kGuideFields)) ||
           guideValues(cdsNotaFiscal) != m_guideBeforeEdit;
}

void TfrmEmissaoDarfDoc::cdsNotaFiscalBeforePost(TDataSet*) {
    // A failing check moves the focus, and the focus rules may try to save this same note
    // again from inside its checks: refuse that silently, the running save reports once.
    if (m_checking)
        Abort();
    m_storeGuide = guideChanged();
    // The tick is no guide field: a tick alone stays in the worksheet, where the issue run
    // reads it, and asks nothing of the server.
    if (!m_storeGuide)
        return;
    TField* venc = cdsNotaFiscal->FieldByName(QStringLiteral("DTVENCGUIA"));
    if (!venc->ReadOnly()) {
        if (venc->Text() == QLatin1String("  /  /"))
            venc->Clear();
        if (!EmptyString(venc->Text())) {
            DateSetText(venc, venc->Text());
            // The guide's due date is a day: no time travels with it.
            venc->setAsDateTime(QDateTime(ParseDateText(venc->Text()), QTime(0, 0)));
        }
    }
    m_checking = true;
    try {
        Vd_Empresa(true);
        Vd_CodRece();
    } catch (...) {
        m_checking = false;
        m_storeGuide = false;
        throw;
    }
    m_checking = false;
}

void TfrmEmissaoDarfDoc::cdsNotaFiscalAfterPost(TDataSet*) {
    if (!std::exchange(m_storeGuide, false) || cdsNotaFiscal->ChangeCount() == 0)
        return;
    auto field = [this](const char* name) {
        return cdsNotaFiscal->FieldByName(QLatin1String(name));
    };
    auto text = [&](const char* name) { return field(name)->Text(); };
    ActiveShowAvi(this, 1);
    try {
        CheckResultServ(setDarfDoc(*netEmissaoDarfDoc, text("CDFILIAL"), text("NRLANCTONF"),
                                   RecordFilter.stImposto, text("IDSTATUSGUIA"),
                                   field("VRMULTAGUIA")->AsFloat(), field("VRJUROGUIA")->AsFloat(),
                                   text("DTVENCGUIA"), text("DSHISTGUIAPAGDOC"),
                                   text("NRLANCTONFDARF"), text("CDRECEGUIA")),
                        true, 0);
    } catch (...) {
        // The note stays in the worksheet as the clerk left it, and shows so even when the
        // caller suspended the grid's updates around the save.
        DeactiveShowAvi();
        if (cdsNotaFiscal->ControlsDisabled())
            cdsNotaFiscal->EnableControls();
        throw;
    }
    DeactiveShowAvi();
}

void TfrmEmissaoDarfDoc::cdsNotaFiscalAfterScroll(TDataSet*) {
    dtsPadraoStateChange();
    const bool issued = cdsNotaFiscal->FieldByName(QStringLiteral("IDSTATUSGUIA"))->AsString() ==
                        QLatin1String("S");
    for (const char* name : kGuideFields)
        cdsNotaFiscal->FieldByName(QLatin1String(name))->setReadOnly(issued);
}

void TfrmEmissaoDarfDoc::dropNotesOfAnotherCompany() {
    if (!cdsNotaFiscal->Active() || cdsNotaFiscal->IsEmpty() ||
        sameCompany(m_notesCompany, medCdEmpresa->Text()))
        return;
    // Neither checked nor stored: the pending note belongs to the company the box no longer
    // names, and its save would be checked against the new one.
    if (cdsNotaFiscal->State() == dsEdit || cdsNotaFiscal->State() == dsInsert)
        cdsNotaFiscal->Cancel();
    cdsNotaFiscal->EmptyDataSet();
    // Emptying keeps the dataset's state, so the commands would not hear of it.
    dtsPadraoStateChange();
}
