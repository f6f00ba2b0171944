#pragma once
// Unit Cli_Fis98101: the filter dialog's module-level values and its factory. The dialog class
// is in FiltroEmissaoDarfDoc.h; what it needs of the main screen in FilterTarget.h.
#include "host/core/HostExport.h"

#include <QString>

class TfrmFiltroEmissaodarfDoc;

namespace Cli_Fis98101 {
// Created on first use, afterwards hidden and shown again; destroyed when the module stops.
FIS_EXPORT extern TfrmFiltroEmissaodarfDoc* frmFiltroEmissaodarfDoc;
FIS_EXPORT extern QString stInscricao;
FIS_EXPORT extern QString stCodTipoOper;
FIS_EXPORT extern QString stEntrsaid;
FIS_EXPORT extern QString stCodSerie;
FIS_EXPORT extern bool boConfirma;
FIS_EXPORT extern bool boFiltro;
FIS_EXPORT extern bool boIdCriado;
FIS_EXPORT extern bool BoExecut;

// Opens the dialog modally, creating it on first use (hourglass meanwhile). Returns boConfirma,
// which callers ignore.
FIS_EXPORT bool CriaFiltroEmissaoDarfDoc();
// The dialog, created (not shown) on first use.
FIS_EXPORT TfrmFiltroEmissaodarfDoc* FiltroEmissaoDarfDoc();
// Destroys the dialog; the module's stop runs it before the library goes.
FIS_EXPORT void DestroiFiltroEmissaoDarfDoc();
// "E" for item 0 of the entry/exit choice, "S" for item 1, "T" for any other.
FIS_EXPORT QString EntrSaidFlag(int itemIndex);
} // namespace Cli_Fis98101
