// Calls from the request handler into parts of the node that are not in this build yet. Each
// is a no-op (or an empty answer) until its part replaces the body with the real call: the
// plug-in host (as with no plug-in loaded); the pipe; the rules store's proxy statistics.
#include "memstore.h"
#include "reqgate.h"
#include "upfetch_internal.h"

namespace vor::upfetch::seams {

void load_plugins() {}
uint8_t plugins_sock_init(int64_t, const char*) { return 1; }
void plugins_sock_exit(int64_t) {}
void plugins_exit() {}
// No plug-in dispatchers yet: the request filter sends every head and chunk as it is.
void import_plugin_response_entries() { reqgate_ImportPluginResponseEntry_v2(nullptr, nullptr, nullptr); }
void import_connect_by_upstream(bool value) { reqgate_ImportValueOfCONNECTByUpstream(value ? 1 : 0); }
uint64_t reqgate_cache_size() { return reqgate_GetCacheSize(); }
uint64_t memstore_cache_size() { return memstore_GetCacheSize(); }
uint64_t memstore_max_cache_size() { return memstore_GetMaxCacheSize(); }
uint64_t conduit_cache_size() { return 0; }
void conduit_write_to_response(int64_t, const char*, int32_t) {}
void stat_connection_del(uint32_t, uint32_t) {}
void stat_download(uint32_t, uint32_t, int32_t) {}

}  // namespace vor::upfetch::seams
