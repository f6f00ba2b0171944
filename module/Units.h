#pragma once
// Start and stop of the module's two units. Each keeps a start counter: its start work runs on
// the first start only and its stop work on the last stop only.
#include "host/core/HostExport.h"

namespace Cli_Fis98100 {
// First start: the screen is not created yet. Last stop: the unit's texts are emptied.
FIS_EXPORT void Start();
FIS_EXPORT void Stop();
FIS_EXPORT int StartCount();
} // namespace Cli_Fis98100

namespace Cli_Fis98101 {
// Last stop: the filter's texts are emptied.
FIS_EXPORT void Start();
FIS_EXPORT void Stop();
FIS_EXPORT int StartCount();
} // namespace Cli_Fis98101
