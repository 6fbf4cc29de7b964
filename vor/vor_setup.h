// vor_setup: the one call a program makes before it uses the runtime library, and its undoing.
#pragma once
#include "vor_export.h"
#include <stdbool.h>

VOR_EXTERN_C_BEGIN

/* Descriptors 0-2 kept open (on /dev/null when closed), SIGPIPE ignored, RLIMIT_NOFILE raised to
   its hard limit; the socket layer, the console file, the pools and the box, live-handle and bigbox
   registries made when missing. Idempotent; true. */
VOR_API bool vor_Setup(void);
/* Frees the live-handle registry, stops the socket layer and shuts the console down. */
VOR_API void vor_Shutdown(void);

VOR_EXTERN_C_END
