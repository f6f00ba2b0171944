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

} // namespace Cli_Fis98101
