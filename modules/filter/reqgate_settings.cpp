// The module's settings and the rules store's questions it asks.
#include "policydb.h"
#include "reqgate_internal.h"

namespace vor::reqgate {

Settings& settings() {
  static Settings instance;
  return instance;
}

RuleQuestions& rules() {
  static RuleQuestions instance{
      policydb_icache_GetExpire__olimit0_x,
      policydb_system_get_MaxCacheBlockSize,
      policydb_system_get_IsUsedMemCache,
      policydb_scache_IsHit,
      policydb_scache_IsExist,
      {policydb_fcache_GetExpire__olimit0_x, policydb_fcache_GetExpire__olimit1_x, policydb_fcache_GetExpire__olimit2_x},
      {policydb_rcache_IsHit__olimit0_x, policydb_rcache_IsHit__olimit1_x, policydb_rcache_IsHit__olimit2_x},
  };
  return instance;
}

}  // namespace vor::reqgate
