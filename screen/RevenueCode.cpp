// Revenue codes of the worksheet: the check of the code of the note being saved and the search
// behind the revenue-code column's button. Both ask the server about the tax the notes were
// loaded for, never about what the filter dialog holds now: a code valid for another tax must
// not be stored for this one.
#include "Cli_Fis98100.h"
#include "contracts/Fis98100Contracts.h"
#include "host/BusyIndicator.h"
#include "host/Connection.h"
#include "host/DBGrid.h"
#include "host/DataSet.h"
#include "host/HostDialogs.h"
#include "host/Messages.h"
#include "host/core/Services.h"

namespace {

const QString kCodRece = QStringLiteral("CDRECEGUIA");
const QString kPadrao = QStringLiteral("CDRECEPADRAO");

TClientDataSet* codReceDataSet(QObject* owner, const char* name, bool labels) {
    auto* ds = new TClientDataSet(owner);
    ds->setObjectName(QLatin1String(name));
    TField* code = ds->AddField(kPadrao, TFieldType::String, 4);
    TField* variation = ds->AddField(QStringLiteral("CDVARIACAO"), TFieldType::String, 2);
    TField* text = ds->AddField(QStringLiteral("DSRECEPADRAO"), TFieldType::String, 1000);
    if (labels) {
        code->setDisplayLabel(QString::fromUtf8("Código"));
        variation->setDisplayLabel(QString::fromUtf8("Variação"));
        text->setDisplayLabel(QString::fromUtf8("Descrição"));
    }
    return ds;
}

} // namespace

void TfrmEmissaoDarfDoc::CreateRevenueCode() {
    cdsVd_CodRece = codReceDataSet(this, "cdsVd_CodRece", false);
    cdsCodRece = codReceDataSet(this, "cdsCodRece", true);
    dtsCodRece = new TDataSource(this);
    dtsCodRece->setObjectName(QStringLiteral("dtsCodRece"));
    dtsCodRece->setDataSet(cdsCodRece);
    dbgPadrao->OnEditButtonClick = [this] { dbgPadraoEditButtonClick(dbgPadrao); };
}

void TfrmEmissaoDarfDoc::Vd_CodRece() {
    const TDataSetState st = cdsNotaFiscal->State();
    TField* code = cdsNotaFiscal->FieldByName(kCodRece);
    if ((st != dsEdit && st != dsInsert) || code->ReadOnly())
        return;
    try {
        if (EmptyString(code->AsString()))
            MensErro(msgPadrao.Msg(QStringLiteral("cod_rece")), true);
        code->setAsString(Ajusta(code->AsString().trimmed(), 4));
        cdsVd_CodRece->SetData(CheckResultServ(
            GetVdCodRece(*netEmissaoDarfDoc, LoadedTax(), code->AsString()), true, 0));
        const QString known = cdsVd_CodRece->FieldByName(kPadrao)->AsString();
        if (EmptyString(known))
            MensErro(msgPadrao.Msg(QStringLiteral("Cod_Inv")), true);
        code->setAsString(known); // the server's form of the code wins
    } catch (...) {
        code->FocusControl();
        DeactiveShowAvi();
        throw;
    }
}

void TfrmEmissaoDarfDoc::dbgPadraoEditButtonClick(QObject*) {
    TField* selected = dbgPadrao->SelectedField();
    if (!selected || selected->FieldName() != kCodRece)
        return;
    // An issued guide keeps its code; an empty worksheet has no note to write it into.
    if (selected->ReadOnly() || cdsNotaFiscal->IsEmpty())
        return;
    bool busy = false;
    try {
        ActiveShowAvi(this, 0);
        busy = true;
        cdsCodRece->SetData(
            CheckResultServ(GetCodRecePad(*netEmissaoDarfDoc, LoadedTax()), true, 0));
        DeactiveShowAvi();
        busy = false;
        if (EmptyString(cdsCodRece->FieldByName(kPadrao)->AsString()))
            MensErro(msgPadrao.Msg(QStringLiteral("Cod_Inv")), true);
        if (Pesquisar(dtsCodRece, msgPadrao.Msg(QString::fromUtf8("Código")), false, true)) {
            cdsNotaFiscal->Edit();
            selected->setAsString(cdsCodRece->FieldByName(kPadrao)->AsString());
        }
    } catch (...) {
        if (busy)
            DeactiveShowAvi();
        throw;
    }
}
