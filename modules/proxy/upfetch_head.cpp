// The request head on its way: canonical form, cache key, and forwarding upstream.
#include <cstring>

#include "conduit.h"
#include "cu_lib.h"
#include "policydb.h"
#include "upfetch.h"
#include "upfetch_internal.h"
#include "upfetch_request.h"

using namespace vor::upfetch;

namespace {
constexpr char kConnectEstablished[] = "HTTP/1.1 200 OK\r\nConnection: Keep-Alive\r\n\r\n";
}  // namespace

uint8_t upfetch_normalize_request(edgeserv_ctx*, int64_t sid, http_parser* parser) {
  RequestContext context;
  context.tls_on = edgeserv_ClientSSLOn(sid) != 0;
  context.use_forwarded_for = policydb_system_get_IsUsedXForwardedFor() != 0;
  context.connect_allowed = policydb_system_get_IsUsedMethodCONNECT() != 0;
  context.display = module().display.load();
  std::optional<std::string> client;
  if (context.use_forwarded_for) client = client_address(sid);
  context.client_ip = client ? client->c_str() : nullptr;
  return normalize_request(parser, context) ? 1 : 0;
}

uint8_t upfetch_cache_key(http_parser* parser, char* key, char* host, const char* method) {
  return cache_key(parser, key, host, method) ? 1 : 0;
}

void upfetch_forward_head(int64_t client_sid, int64_t upstream_sid, http_parser* parser) {
  char method[8];
  if (!parser || !http_parser_GetMothod(parser, method)) return;
  if (cu_stricmp(method, "CONNECT") == 0) {
    char host[kHostSize] = "";
    http_parser_GetKey(parser, "Host", host, kHostSize);
    display_line("[Proxy -> Method -> CONNECT] %s\r\n", host);
    if (!module().settings.connect_by_upstream) {
      // The later bytes of the connection are tunnel bytes for the upstream.
      edgeserv_WriteJitter(client_sid, kConnectEstablished, static_cast<int32_t>(std::strlen(kConnectEstablished)));
      return;
    }
  }
  conduit_WriteToResponse(upstream_sid, http_parser_GetStr(parser), static_cast<uint32_t>(http_parser_GetLen(parser)));
}
