// Bookkeeping of the asynchronous file layer that other parts of vorcore and its tests read.
// Internal to vorcore.
#pragma once
#include "vor_internal.h"
#include <stdint.h>

namespace vor::afile {

// Operation copies alive (queued, under way or completing); 0 before set-up.
int64_t copies_in_use(void);

}  // namespace vor::afile
