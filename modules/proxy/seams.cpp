// Calls from the request handler into parts of the node that are not in this build yet. Each
// is a no-op (or an empty answer) until its part replaces the body with the real call: the edge
// server's pages, closes, write hooks and memory writer; the plug-in host (as with no plug-in
// loaded); the memory cache; the pipe; the rules store's proxy statistics.
#include "reqgate.h"
#include "upfetch_internal.h"

namespace vor::upfetch::seams {

// True once return503, close and write_jitter reach the edge server (its daemon tests need them).
bool edge_output_wired() { return false; }

void return503(int64_t, const char*, const char*) {}
void close(int64_t, uint32_t) {}
void add_write_hook(uint8_t (*)(int64_t, const char*, int32_t)) {}
uint8_t write_jitter(int64_t, const char*, int32_t) { return 0; }
void load_plugins() {}
uint8_t plugins_sock_init(int64_t, const char*) { return 1; }
void plugins_sock_exit(int64_t) {}
void plugins_exit() {}
// No plug-in dispatchers yet: the request filter sends every head and chunk as it is.
void import_plugin_response_entries() { reqgate_ImportPluginResponseEntry_v2(nullptr, nullptr, nullptr); }
void import_connect_by_upstream(bool value) { reqgate_ImportValueOfCONNECTByUpstream(value ? 1 : 0); }
uint64_t reqgate_cache_size() { return reqgate_GetCacheSize(); }
uint64_t memstore_cache_size() { return 0; }
uint64_t memstore_max_cache_size() { return 0; }
uint64_t conduit_cache_size() { return 0; }
void conduit_write_to_response(int64_t, const char*, int32_t) {}
void stat_connection_del(uint32_t, uint32_t) {}
void stat_download(uint32_t, uint32_t, int32_t) {}

}  // namespace vor::upfetch::seams
