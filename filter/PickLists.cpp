// The series and operation-type pick lists: "Todos" or "Lista", and the list the server fills
// and the clerk ticks.
#include "Cli_Fis98101.h"
#include "FilterTarget.h"
#include "FiltroEmissaoDarfDoc.h"
#include "contracts/Fis98100Contracts.h"
#include "host/BusyIndicator.h"
#include "host/DataSet.h"
#include "host/HostGuard.h"
#include "host/Messages.h"
#include "host/SearchButton.h"
#include "host/core/Services.h"

#include <QComboBox>
#include <QLabel>
#include <QRadioButton>

using namespace Cli_Fis98101;

namespace {

TClientDataSet*
pickList(QObject* owner, const char* name, TDataSource*& source, const char* sourceName,
         std::initializer_list<std::tuple<const char*, TFieldType, int, const char*>> fields) {
    auto* ds = new TClientDataSet(owner);
    ds->setObjectName(QLatin1String(name));
    for (const auto& [field, type, size, label] : fields) {
        TField* f = ds->AddField(QLatin1String(field), type, size);
        if (label)
            f->setDisplayLabel(QString::fromUtf8(label));
        f->setVisible(QLatin1String(field) != QLatin1String("CHAVE"));
    }
    source = new TDataSource(owner);
    source->setObjectName(QLatin1String(sourceName));
    source->setDataSet(ds);
    return ds;
}

// One remote call under the busy animation over the main screen; its packet replaces the
// rows of target.
template <typename Call> void loadList(TClientDataSet* target, Call call) {
    ActiveShowAvi(FilterTarget().FilterBusyParent(), 6);
    withRestore([&] { target->SetData(CheckResultServ(call(), true, 0)); },
                [] { DeactiveShowAvi(); });
}

} // namespace

void TfrmFiltroEmissaodarfDoc::CreatePickLists() {
    using T = TFieldType;
    cdsSerie = pickList(this, "cdsSerie", dtsSerie, "dtsSerie",
                        {{"IDMARCADO", T::FixedChar, 1, nullptr},
                         {"CDSERIE", T::String, 5, "Código"},
                         {"DSSERIE", T::String, 20, "Descrição"},
                         {"TIPO", T::FixedChar, 1, "E/S"},
                         {"CHAVE", T::String, 7, nullptr}});
    cdsTipoOper = pickList(this, "cdsTipoOper", dtsTipoOper, "dtsTipoOper",
                           {{"IDMARCADO", T::FixedChar, 1, nullptr},
                            {"CDTIPOOPER", T::String, 2, "Código"},
                            {"NMTIPOOPER", T::String, 30, "Descrição"},
                            {"IDENTRSAIDOP", T::String, 1, "E/S"},
                            {"CHAVE", T::String, 3, nullptr}});

    // A radio button's handler runs when it becomes selected.
    auto onSelected = [this](QRadioButton* b, std::function<void()> fn) {
        connect(b, &QRadioButton::toggled, this, [f = handler(std::move(fn))](bool on) {
            if (on)
                HostGuard::run(f);
        });
    };
    onSelected(rdgTodosTipoOperac, [this] { rdgTodosTipoOperacClick(); });
    onSelected(rdgListaTipoOperac, [this] { rdgListaTipoOperacClick(); });
    onSelected(rdgTodosSerie, [this] { rdgTodosSerieClick(); });
    onSelected(rdgListaSerie, [this] { rdgListaSerieClick(); });
    btpTipoOperac->OnClick = [this] { btpTipoOperacClick(); };
    btpPesqSerie->OnClick = [this] { btpPesqSerieClick(); };
}

void TfrmFiltroEmissaodarfDoc::rdgTodosTipoOperacClick() {
    btpTipoOperac->setEnabled(false);
}

void TfrmFiltroEmissaodarfDoc::rdgListaTipoOperacClick() {
    btpTipoOperac->setEnabled(true);
}

void TfrmFiltroEmissaodarfDoc::btpTipoOperacClick() {
    stEntrsaid = EntrSaidFlag(cbbEntrSaid->currentIndex());
    loadList(cdsTipoOper,
             [] { return GetTipoOper(FilterTarget().FilterConnection(), stEntrsaid); });
    PesquisaLista(dtsTipoOper, QStringLiteral("CHAVE"), msgPadrao.Msg(QStringLiteral("TipoOper")),
                  false, stCodTipoOper);
}

void TfrmFiltroEmissaodarfDoc::rdgTodosSerieClick() {
    Vd_Imposto(false);
    btpPesqSerie->setEnabled(false);
    SetObrigatorio(medInscEsta, false);
    SetObrigatorio(medInscMuni, false);
}

void TfrmFiltroEmissaodarfDoc::rdgListaSerieClick() {
    Vd_Imposto(true);
    btpPesqSerie->setEnabled(true);
    const bool entrada = cbbEntrSaid->currentIndex() == 0;
    if (!entrada) {
        enableInscricao(lblInscEsta, medInscEsta, btpPesqInscEsta, true);
        enableInscricao(lblInscMuni, medInscMuni, btpPesqInscMuni, true);
    }
    SetObrigatorio(medInscEsta, !entrada);
    SetObrigatorio(medInscMuni, !entrada);
}

void TfrmFiltroEmissaodarfDoc::btpPesqSerieClick() {
    Vd_Imposto(true);
    // Entry series belong to no company or registration: the list of "Entrada" asks for none
    // (the registration rules have just emptied and disabled both fields).
    if (cbbEntrSaid->currentIndex() != 0) {
        enableInscricao(lblInscEsta, medInscEsta, btpPesqInscEsta, true);
        enableInscricao(lblInscMuni, medInscMuni, btpPesqInscMuni, true);
        if (EmptyString(medInscEsta->Text())) {
            medInscEsta->setFocus(Qt::OtherFocusReason);
            MensErro(msgPadrao.Msg(QStringLiteral("Serie_esta")), true);
        }
        if (EmptyString(medInscMuni->Text())) {
            medInscMuni->setFocus(Qt::OtherFocusReason);
            MensErro(msgPadrao.Msg(QStringLiteral("Serie_muni")), true);
        }
    }
    stEntrsaid = EntrSaidFlag(cbbEntrSaid->currentIndex());
    loadList(cdsSerie, [this] {
        IFilterTarget& target = FilterTarget();
        return GetSerie(target.FilterConnection(), target.FilterCompanyCode(), medInscEsta->Text(),
                        medInscMuni->Text(), stEntrsaid);
    });
    PesquisaLista(dtsSerie, QStringLiteral("CHAVE"), msgPadrao.Msg(QStringLiteral("Serie")), false,
                  stCodSerie);
}
