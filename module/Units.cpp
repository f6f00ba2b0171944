#include "Units.h"

#include "filter/Cli_Fis98101.h"
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
    stInscricao.clear();
    stCodTipoOper.clear();
    stEntrsaid.clear();
    stCodSerie.clear();
}

int StartCount() {
    return startCount;
}

} // namespace Cli_Fis98101
