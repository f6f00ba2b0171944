// The module's exported entry points. The host loads the library, checks the unit table, calls
// Initialize once, IniProc at every opening of the screen, and Finalize before unloading.
#include "Units.h"
#include "host/ModuleLoader.h"
#include "screen/Cli_Fis98100.h"

namespace {

// The host units are started by the host itself; the entry keeps the table's order visible.
int hostStarts = 0;
void HostUnitsStart() {
    ++hostStarts;
}
void HostUnitsStop() {
    if (hostStarts > 0)
        --hostStarts;
}

// Start order: host units, the filter unit, the main unit. Stop runs backwards.
const TPackageUnitEntry kUnits[] = {
    {"HostUnits", &HostUnitsStart, &HostUnitsStop},
    {"Cli_Fis98101", &Cli_Fis98101::Start, &Cli_Fis98101::Stop},
    {"Cli_Fis98100", &Cli_Fis98100::Start, &Cli_Fis98100::Stop},
};
const TPackageInfoTable kTable = {int(sizeof kUnits / sizeof kUnits[0]), kUnits};

} // namespace

extern "C" {

FIS_EXPORT const TPackageInfoTable* GetPackageInfoTable() {
    return &kTable;
}

FIS_EXPORT void Initialize() {
    for (int i = 0; i < kTable.unitCount; ++i)
        kTable.units[i].init();
}

FIS_EXPORT void Finalize() {
    for (int i = kTable.unitCount - 1; i >= 0; --i)
        kTable.units[i].finit();
}

FIS_EXPORT void IniProc() {
    Cli_Fis98100::CriaEmissaoDarfDoc();
}
}
