// Calls from the admin API into parts built elsewhere. The cluster's purge messages and the
// probe registry do nothing until their parts replace the bodies.
#include "seams.h"

#include "memstore.h"
#include "panelhttp.h"
#include "policydb.h"
#include "reqgate.h"

namespace vor::adminweb::seams {
namespace {

void syncnet_SessionIDEmpty() {}
void syncnet_ZazudazaEmpty(const char*) {}
void syncnet_ZazudazaDelete(const char*, uint8_t, uint8_t) {}

}  // namespace

void rtp_delete(int64_t) {}
void rtdiskcache_delete(int64_t) {}

Calls& calls() {
  static Calls c{
      panelhttp_close,
      syncnet_SessionIDEmpty,
      syncnet_ZazudazaEmpty,
      syncnet_ZazudazaDelete,
      reqgate_RefreshRequestingURL,
      reqgate_CleanSessionCaches,
      policydb_system_get_IsDiskCache,
      reqgate_CleanDiskCache,
      {{wc_publiccache_CleanFcache, wc_publiccache_CleanIcache, wc_publiccache_RefreshFcache,
        wc_publiccache_RefreshIcache, wc_publiccache_RefreshRcache, wc_publiccache_CleanAllCache,
        wc_publiccache_CleanRulesCache},
       {wc_membercache_CleanFcache, wc_membercache_CleanIcache, wc_membercache_RefreshFcache,
        wc_membercache_RefreshIcache, wc_membercache_RefreshRcache, wc_membercache_CleanAllCache,
        wc_membercache_CleanRulesCache},
       {wc_visitorcache_CleanFcache, wc_visitorcache_CleanIcache, wc_visitorcache_RefreshFcache,
        wc_visitorcache_RefreshIcache, wc_visitorcache_RefreshRcache, wc_visitorcache_CleanAllCache,
        wc_visitorcache_CleanRulesCache}}};
  return c;
}

}  // namespace vor::adminweb::seams
