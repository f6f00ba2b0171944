// The confirmation: checks the whole filter, stores the selection on the main screen and in the
// unit's values, and loads the matching notes into the worksheet. A refresh of the main screen
// runs it again on the hidden dialog.
#include "Cli_Fis98101.h"
#include "FilterTarget.h"
#include "FiltroEmissaoDarfDoc.h"
#include "contracts/Fis98100Contracts.h"
#include "host/BusyIndicator.h"
#include "host/Components.h"
#include "host/DataSet.h"
#include "host/Messages.h"
#include "host/core/Services.h"

#include <QComboBox>
#include <QRadioButton>

using namespace Cli_Fis98101;

namespace {

// A blank date edit stands for the earliest date there is (the date of the day count zero): as
// "Inicial" it limits nothing, as "Final" it comes before any "Inicial".
QDate dateOf(const TDateEditPlus* d) {
    return d->IsBlank() ? QDate(1899, 12, 30) : d->GetDate();
}

QDateTime at0(const QDate& d) {
    return QDateTime(d, QTime(0, 0));
}

void checkRange(const TMessages& msg, TDateEditPlus* from, TDateEditPlus* to) {
    // A text that is no date would otherwise travel as no date at all.
    for (TDateEditPlus* d : {from, to}) {
        try {
            d->CheckValidDate();
        } catch (...) {
            d->setFocus(Qt::OtherFocusReason);
            throw;
        }
    }
    if (dateOf(to) < dateOf(from)) {
        from->setFocus(Qt::OtherFocusReason);
        MensErro(msg.Msg(QStringLiteral("Dt_inv")), true);
    }
}

void refuse(const TMessages& msg, QWidget* focus, const char* key) {
    focus->setFocus(Qt::OtherFocusReason);
    MensErro(msg.Msg(QLatin1String(key)), true);
}

} // namespace

void TfrmFiltroEmissaodarfDoc::sbtConfirmaClick(QObject*) {
    IFilterTarget& target = FilterTarget();

    checkRange(msgPadrao, depEmiIni, depEmiFim);
    checkRange(msgPadrao, depEntIni, depEntFim);
    Vd_Imposto(true);
    Vd_InscMuni();
    Vd_InscEsta();
    if (rdgTodosSerie->isChecked())
        stCodSerie.clear();
    if (rdgTodosTipoOperac->isChecked())
        stCodTipoOper.clear();
    if (Obrigatorio(medInscEsta) && EmptyString(medInscEsta->Text()))
        refuse(msgPadrao, medInscEsta, "Serie_esta");
    if (Obrigatorio(medInscMuni) && EmptyString(medInscMuni->Text()))
        refuse(msgPadrao, medInscMuni, "Serie_muni");
    if (rdgListaTipoOperac->isChecked() && stCodTipoOper.isEmpty())
        refuse(msgPadrao, rdgListaTipoOperac, "TipoOper_inf");
    if (rdgListaSerie->isChecked() && stCodSerie.isEmpty())
        refuse(msgPadrao, rdgListaSerie, "Serie_inf");
    if (cbbCnpj->currentIndex() == 0 && EmptyString(medCliente->Text()))
        refuse(msgPadrao, medCliente, "cliente_inf");
    if (cbbCnpj->currentIndex() == 1 && EmptyString(medFornecedor->Text()))
        refuse(msgPadrao, medFornecedor, "fornecedor_inf");
    stEntrsaid = EntrSaidFlag(cbbEntrSaid->currentIndex());

    // A note still being edited belongs to the selection it was loaded with: it is saved, as
    // leaving its row saves it, before the selection changes under it.
    TClientDataSet& notes = target.FilterNotes();
    if (notes.State() == dsEdit || notes.State() == dsInsert) {
        if (notes.Modified())
            notes.Post();
        else
            notes.Cancel();
    }

    TRecordFilter& rf = target.FilterRecord();
    const int cnpj = cbbCnpj->currentIndex();
    rf.stImposto = medCdImposto->Text();
    rf.stInscEsta = medInscEsta->Text();
    rf.stInscMuni = medInscMuni->Text();
    rf.stSerie = stCodSerie;
    rf.stTipoOper = stCodTipoOper;
    rf.inEntrSaid = cbbEntrSaid->currentIndex();
    rf.inCnpj = cnpj;
    rf.stCliente = cnpj == 0 ? medCliente->Text() : QString();
    rf.stFornecedor = cnpj == 1 ? medFornecedor->Text() : QString();
    rf.stTodos = cnpj == 2 ? medTodos->Text() : QString();
    rf.dtEmiIni = at0(dateOf(depEmiIni));
    rf.dtEmiFim = at0(dateOf(depEmiFim));
    rf.dtEntIni = at0(dateOf(depEntIni));
    rf.dtEntFim = at0(dateOf(depEntFim));
    stInscricao = cnpj == 0 ? medCliente->Text() : cnpj == 1 ? medFornecedor->Text() : QString();
    // From here on a cancel comes back to this selection.
    TakeSnapshot();

    QWidget* busyOver = isVisible() ? this : target.FilterBusyParent();
    ActiveShowAvi(busyOver, 1, target.FilterLoadingCaption());
    try {
        const TServerAnswer answer = GetNotaFiscal(
            target.FilterConnection(), target.FilterCompanyCode(), medInscEsta->Text(),
            medInscMuni->Text(), stEntrsaid, stCodSerie, stCodTipoOper, rf.dtEntIni, rf.dtEntFim,
            rf.dtEmiIni, rf.dtEmiFim, stInscricao, medCdImposto->Text());
        notes.SetData(CheckResultServ(answer, true, 0));
    } catch (...) {
        DeactiveShowAvi();
        accept();
        // The selection is already the new one: no note of the old one may stay to be saved
        // under it.
        target.FilterLoaded(false);
        throw;
    }
    DeactiveShowAvi();
    accept();
    target.FilterLoaded(true);
}
