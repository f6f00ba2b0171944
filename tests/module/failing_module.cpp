// A module whose start routine fails: the host must refuse it with the module's own text.
#include "core/HostExceptions.h"
#include "host/ModuleLoader.h"

namespace {
void noop() {}
const TPackageUnitEntry kUnits[] = {{"FailingUnit", noop, noop}};
const TPackageInfoTable kTable = {1, kUnits};
} // namespace

extern "C" {
__attribute__((visibility("default"))) void IniProc() {}
__attribute__((visibility("default"))) void Initialize() {
    throw EHostError(QStringLiteral("Configuração do módulo ausente."));
}
__attribute__((visibility("default"))) void Finalize() {}
__attribute__((visibility("default"))) const TPackageInfoTable* GetPackageInfoTable() {
    return &kTable;
}
}
