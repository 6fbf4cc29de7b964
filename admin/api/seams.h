// Calls from the admin API into parts built elsewhere or that tests watch; see seams.cpp.
#pragma once
#include <stdint.h>

namespace vor::adminweb::seams {

// The cluster's purge messages: nothing is sent while this node has no cluster role.
void syncnet_SessionIDEmpty();
void syncnet_ZazudazaEmpty(const char* type);
void syncnet_ZazudazaDelete(const char* text, uint8_t icase, uint8_t rules);

// The live probes a closing connection registered.
void rtp_delete(int64_t sid);
void rtdiskcache_delete(int64_t sid);

// Calls that tests replace to record them; they default to the real ones.
struct Calls {
  void (*close)(int64_t sid, int32_t delay);  // the one close of every command
};
Calls& calls();

}  // namespace vor::adminweb::seams
