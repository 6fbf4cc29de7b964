// The rules store's questions about its cache rule families, asked by the Refresh operations
// with the url alone, so they answer for rules of any class.
#include "memstore_internal.h"
#include "policydb.h"

namespace vor::memstore::seams {

bool icache_hit(const char* url) { return policydb_icache_IsHit(url, nullptr, nullptr) != 0; }
bool fcache_hit(const char* url) { return policydb_fcache_IsHit(url, nullptr, nullptr) != 0; }
bool rcache_hit(const char* url) { return policydb_rcache_IsHit(url, nullptr) != 0; }

}  // namespace vor::memstore::seams
