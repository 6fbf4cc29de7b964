// Calls from the admin API into parts built elsewhere or that tests watch; see seams.cpp.
#pragma once
#include <stdint.h>

namespace vor::adminweb::seams {

// The live probes a closing connection registered.
void rtp_delete(int64_t sid);
void rtdiskcache_delete(int64_t sid);

// The purges of one memory cache (public, member, visitor).
struct CacheCalls {
  void (*clean_fcache)();
  void (*clean_icache)();
  void (*refresh_fcache)();
  void (*refresh_icache)();
  void (*refresh_rcache)();
  void (*clean_all)();
  uint8_t (*clean_rules)(const char* text, uint8_t icase, uint8_t rules);
};

// Every call a command makes into another module; tests replace entries to record them.
struct Calls {
  void (*close)(int64_t sid, int32_t delay);  // the one close of every command
  // The cluster's purge messages: nothing is sent while this node has no cluster role.
  void (*cluster_session_empty)();
  void (*cluster_empty)(const char* type);
  void (*cluster_delete)(const char* text, uint8_t icase, uint8_t rules);
  void (*mark_in_flight)(const char* text, uint8_t icase, uint8_t rules);
  void (*clean_sessions)();
  uint8_t (*disk_cache_on)();
  uint8_t (*clean_disk)(const char* url);
  CacheCalls caches[3];  // in purge order: public, member, visitor
};
Calls& calls();

}  // namespace vor::adminweb::seams
