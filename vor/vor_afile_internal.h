// Bookkeeping of the asynchronous file layer that other parts of vorcore and its tests read.
// Internal to vorcore.
#pragma once
#include "vor_internal.h"
#include <stdint.h>

// Operation copies alive (queued, under way or completing); 0 before set-up.
int64_t vor_afile__copies_in_use(void);
