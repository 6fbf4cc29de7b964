// conduit: the pipe to the upstream. This part of it chooses the local address an upstream
// connection is bound to, from ../config/ext/WAN-HTTP.ini (or WAN.ini).
#pragma once
#include "vor_export.h"
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* Reads the local addresses, the balancing rule and the refused upstream ranges; once at init. */
VOR_API void conduit_wan_load(void);
/* The local address to bind for a connection to upstream (an address text) on behalf of the
   client; writes it into out (21 bytes) and answers 1, or answers 0 (no address to bind). */
VOR_API uint8_t conduit_wan_pick(int64_t client_sid, const char* upstream, char* out);

VOR_EXTERN_C_END
