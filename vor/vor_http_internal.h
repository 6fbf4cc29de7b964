// Inside vorcore only: time-outs of the HTTP client, server and CONNECT tunnel, settable so
// that tests need not wait for the production values.
#pragma once
#include "vor_internal.h"
#include <stdint.h>

typedef struct vor_http_request vor_http_request;
typedef struct vor_http_server vor_http_server;
typedef struct vor_proxy_http vor_proxy_http;

namespace vor::http_request {
/* Idle time-out of a client (re-armed on every read) for attaches from now on; ms > 0. */
void set_timeout(vor_http_request* r, uint32_t ms);
}  // namespace vor::http_request

namespace vor::http_server {
/* Idle time-out of the connections adopted from now on; ms > 0. */
void set_idle_timeout(vor_http_server* s, uint32_t ms);
}  // namespace vor::http_server

namespace vor::proxy {
/* Time-out of the tunnel's handshake for attaches from now on; ms > 0. */
void set_timeout(vor_proxy_http* p, uint32_t ms);
}  // namespace vor::proxy
