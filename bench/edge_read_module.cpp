// edge_read: a sub-module for the edge server's load test. Every complete request is answered
// at once with a fixed 200 "ok" through vor_bigbox_write (the same bytes bench/bigbox_http
// sends); a request asking to close is answered with "Connection: close" and force-closed.
#include <string.h>

#include "cu_lib.h"

#include "edgeserv.h"
#include "vor_bigbox.h"

namespace {

constexpr char kKeepAlive[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
constexpr char kClose[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";

uint8_t on_read(edgeserv_ctx* ctx, int64_t sid, const char*, int32_t, const char*, int32_t) {
  client_rec* rec = edgeserv_GetClient_BySid(sid);
  if (!rec || rec->state != EDGESERV_STATE_COMPLETE) return 1;
  char connection[16] = "";
  const bool close = http_parser_GetKey(rec->parser, "Connection", connection, sizeof connection) &&
                     cu_stricmp(connection, "close") == 0;
  const char* answer = close ? kClose : kKeepAlive;
  vor_bigbox_write(ctx->daemon->bigbox, sid, answer, static_cast<int32_t>(strlen(answer)));
  if (close) edgeserv_ForceClose(sid);
  return 1;
}

}  // namespace

extern "C" {
__attribute__((visibility("default"))) submodule_desc edge_read = {371, "edge_read", nullptr, nullptr,
                                                                   nullptr, nullptr, on_read};
}
