// Set-up of the bigbox for the framework. Internal to vorcore.
#pragma once
#include "vor_internal.h"

// Makes the process-wide bigbox registry when missing (cheap afterwards).
void vor_bigbox__xmem_init(void);
