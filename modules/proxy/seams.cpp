// Calls from the request handler into parts of the node that are not in this build yet. Each
// is a no-op (or an empty answer) until its part replaces the body with the real call: the
// live request probes and the region lists.
#include "memstore.h"
#include "reqgate.h"
#include "upfetch_internal.h"

namespace vor::upfetch::seams {

void import_plugin_response_entries(quo_plugin_response_http_fn head, quo_plugin_response_content_fn body,
                                    quo_plugin_response_content_x_fn body_x) {
  reqgate_ImportPluginResponseEntry_v2(head, body, body_x);
}
void import_connect_by_upstream(bool value) { reqgate_ImportValueOfCONNECTByUpstream(value ? 1 : 0); }
uint64_t reqgate_cache_size() { return reqgate_GetCacheSize(); }
uint64_t memstore_cache_size() { return memstore_GetCacheSize(); }
uint64_t memstore_max_cache_size() { return memstore_GetMaxCacheSize(); }
void rtp_message(int64_t, uint8_t, uint8_t, uint8_t, http_parser*) {}
bool region_blocks(uint32_t) { return false; }
bool hit_cache(int64_t sid, http_parser* request, const char* key, client_rec* client) {
  return reqgate_HitCache_v4(sid, request, key, client->cache_kind, 1, &client->expired, &client->revalidate,
                             &client->rewritten, client->disk_permission) != 0;
}

}  // namespace vor::upfetch::seams
