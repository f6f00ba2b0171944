#include "Units.h"

#include "filter/Cli_Fis98101.h"
#include "filter/FilterTarget.h"
#include "screen/Cli_Fis98100.h"

namespace Cli_Fis98100 {

namespace {
int startCount = 0;
}

void Start() {
    if (startCount++ == 0)
        boIdCriado = false;
}

void Stop() {
    if (startCount == 0 || --startCount > 0)
        return;
    stChecked.clear();
    stGuiaEmit.clear();
    stRegistro.clear();
    Cli_Fis98101::SetFilterTargetAccessor(nullptr);
}

int StartCount() {
    return startCount;
}

} // namespace Cli_Fis98100

namespace Cli_Fis98101 {

namespace {
int startCount = 0;
}

void Start() {
    ++startCount;
}

void Stop() {
    if (startCount == 0 || --startCount > 0)
        return;
    // The dialog's code goes with the library: the dialog goes first.
    DestroiFiltroEmissaoDarfDoc();
    stInscricao.clear();
    stCodTipoOper.clear();
    stEntrsaid.clear();
    stCodSerie.clear();
}

int StartCount() {
    return startCount;
}

} // namespace Cli_Fis98101
