#include "Cli_Fis98101.h"

#include "FilterTarget.h"
#include "FiltroEmissaoDarfDoc.h"
#include "host/HostApplication.h"
#include "host/HostGuard.h"
#include "host/core/HostExceptions.h"

#include <QPointer>

namespace Cli_Fis98101 {

TfrmFiltroEmissaodarfDoc* frmFiltroEmissaodarfDoc = nullptr;
QString stInscricao;
QString stCodTipoOper;
QString stEntrsaid;
QString stCodSerie;
bool boConfirma = false;
bool boFiltro = false;
bool boIdCriado = false;
bool BoExecut = false;

namespace {
TFilterTargetAccessor& accessor() {
    static TFilterTargetAccessor a;
    return a;
}
} // namespace

void SetFilterTargetAccessor(TFilterTargetAccessor a) {
    accessor() = std::move(a);
}

IFilterTarget& FilterTarget() {
    IFilterTarget* t = accessor() ? accessor()() : nullptr;
    if (!t)
        throw EHostError(
            QString::fromUtf8("A tela \"Emissão da Darf por Documento\" não está aberta."));
    return *t;
}

TfrmFiltroEmissaodarfDoc* FiltroEmissaoDarfDoc() {
    if (!frmFiltroEmissaodarfDoc) {
        // No parent: the dialog belongs to the module, not to a screen that may close first.
        frmFiltroEmissaodarfDoc = CreateForm<TfrmFiltroEmissaodarfDoc>();
        boConfirma = false;
    }
    return frmFiltroEmissaodarfDoc;
}

bool CriaFiltroEmissaoDarfDoc() {
    THostApplication& app = Application();
    app.SetScreenCursor(crHourGlass);
    QPointer<TfrmFiltroEmissaodarfDoc> dialog;
    withRestore([&] { dialog = FiltroEmissaoDarfDoc(); }, [&] { app.SetScreenCursor(crDefault); });
    // The clerk works in the dialog with the ordinary cursor.
    dialog->exec();
    app.SetScreenCursor(crDefault);
    return boConfirma;
}

void DestroiFiltroEmissaoDarfDoc() {
    delete frmFiltroEmissaodarfDoc; // its destructor empties the global
    frmFiltroEmissaodarfDoc = nullptr;
}

QString EntrSaidFlag(int itemIndex) {
    switch (itemIndex) {
    case 0:
        return QStringLiteral("E");
    case 1:
        return QStringLiteral("S");
    default:
        return QStringLiteral("T");
    }
}

} // namespace Cli_Fis98101
