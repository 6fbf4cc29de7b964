// conduit: the pipe to the upstream, the web-cache sub-module "netpipe". It pairs a client
// connection with one connection to its upstream, carries request bytes up and response bytes
// back through the request filter, throttles the side that runs ahead, retries a failed connect
// once, and chooses the local address an upstream connection is bound to, from
// ../config/ext/WAN-HTTP.ini (or WAN.ini).
#pragma once
#include "edgeserv.h"
#include "vor_bigbox.h"
#include "vor_export.h"
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* The sub-module descriptor: version 371, name "netpipe". */
VOR_API extern submodule_desc netpipe;
/* Init: settings, tables, pools, outgoing addresses; 1. */
VOR_API uint8_t conduit_module_init(edgeserv_ctx* ctx);
/* Prints the exit line. */
VOR_API void conduit_module_exit(edgeserv_ctx* ctx);
/* The client closed: its pipe and upstream connections go. */
VOR_API void conduit_on_close(edgeserv_ctx* ctx, int64_t sid);

/* Builds or reuses the client's pipe to host ("name" or "name:port"): the upstream sid; 0 or -1
   on failure (the client then has its 502 or 503 page queued). */
VOR_API int64_t conduit_BuildResponseSid_v2(vor_bigbox* bb, const char* host, int64_t client_sid, uint32_t user_id,
                                            uint32_t host_id);
/* conduit_BuildResponseSid_v2 without proxy-host and upstream ids. */
VOR_API int64_t conduit_BuildResponseSid(vor_bigbox* bb, const char* host, int64_t client_sid);
/* The other end: the client of an upstream or retry sid, the upstream sid of a client; 0 without a pipe. */
VOR_API int64_t conduit_GetAnotherSid(int64_t sid);
/* Whether the client's pipe speaks TLS to its upstream. */
VOR_API uint8_t conduit_ResponseSSLOn(int64_t client_sid);
/* Response bytes to the client; len, or 0 when the client has no pipe. */
VOR_API uint32_t conduit_WriteToRequest(int64_t client_sid, const char* data, uint32_t len);
/* Request bytes to the upstream; len, or 0 when the sid has no pipe. */
VOR_API uint32_t conduit_WriteToResponse(int64_t upstream_sid, const char* data, uint32_t len);
/* Bytes in use in the pipe's pools beyond those at init. */
VOR_API uint64_t conduit_GetCacheSize(void);
/* Upstream connections (retry connections included). */
VOR_API uint32_t conduit_GetNumOfConnections(void);
/* Bytes sent to and received from upstreams. */
VOR_API uint64_t conduit_GetTotalSendBytes(void);
VOR_API uint64_t conduit_GetTotalRecvBytes(void);

/* Reads the local addresses, the balancing rule and the refused upstream ranges; once at init. */
VOR_API void conduit_wan_load(void);
/* The local address to bind for a connection to upstream (an address text) on behalf of the
   client; writes it into out (21 bytes) and answers 1, or answers 0 (no address to bind). */
VOR_API uint8_t conduit_wan_pick(int64_t client_sid, const char* upstream, char* out);

VOR_EXTERN_C_END
