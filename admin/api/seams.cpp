// Calls from the admin API into parts built elsewhere. The cluster's purge messages and the
// probe registry do nothing until their parts replace the bodies.
#include "seams.h"

#include "panelhttp.h"

namespace vor::adminweb::seams {

void syncnet_SessionIDEmpty() {}
void syncnet_ZazudazaEmpty(const char*) {}
void syncnet_ZazudazaDelete(const char*, uint8_t, uint8_t) {}

void rtp_delete(int64_t) {}
void rtdiskcache_delete(int64_t) {}

Calls& calls() {
  static Calls c{panelhttp_close};
  return c;
}

}  // namespace vor::adminweb::seams
