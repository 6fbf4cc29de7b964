#include "cu_lib.h"
#include "quorind.h"
#include "vor_bigbox.h"

namespace {

// A missing key takes its default text; a present but empty one converts to 0.
int32_t setting(cu_config* config, const char* key, const char* default_text) {
  const char* text = cu_config_GetKey(config, "system", key);
  return cu_atol(text ? text : default_text);
}

}  // namespace

int quorind_make_bigbox(daemon_ctx* ctx) {
  const int32_t threads = setting(ctx->config, "max_network_threads", "20");
  const int32_t connections = setting(ctx->config, "max_network_connections", "1000");
  ctx->bigbox = vor_bigbox_make(threads, connections);
  return ctx->bigbox ? 0 : -1;
}
