#include "Cli_Fis98101.h"

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
int startCount = 0;
}

void Start() {
    ++startCount;
}

void Stop() {
    if (startCount == 0 || --startCount > 0)
        return;
    stInscricao.clear();
    stCodTipoOper.clear();
    stEntrsaid.clear();
    stCodSerie.clear();
}

int StartCount() {
    return startCount;
}

} // namespace Cli_Fis98101
