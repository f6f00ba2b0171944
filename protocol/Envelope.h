#pragma once
// The envelope keys belong to the contract but are spelled in host/core, where the client's
// connection and the packet codec that speak them live.
#include "core/Envelope.h"
