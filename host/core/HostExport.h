#pragma once

// Classes marked FIS_EXPORT keep one type identity across the host, the client executable and
// the module library, so that a catch in one matches a throw in another.
#define FIS_EXPORT __attribute__((visibility("default")))
