#pragma once
// Unit Cli_Fis98101: the filter dialog's module-level values. The dialog class itself lives in
// filter/.
#include "host/core/HostExport.h"

#include <QString>

class TfrmFiltroEmissaodarfDoc;

namespace Cli_Fis98101 {
// Created on first use, afterwards hidden and shown again.
FIS_EXPORT extern TfrmFiltroEmissaodarfDoc* frmFiltroEmissaodarfDoc;
FIS_EXPORT extern QString stInscricao;
FIS_EXPORT extern QString stCodTipoOper;
FIS_EXPORT extern QString stEntrsaid;
FIS_EXPORT extern QString stCodSerie;
FIS_EXPORT extern bool boConfirma;
FIS_EXPORT extern bool boFiltro;
FIS_EXPORT extern bool boIdCriado;
FIS_EXPORT extern bool BoExecut;
} // namespace Cli_Fis98101
