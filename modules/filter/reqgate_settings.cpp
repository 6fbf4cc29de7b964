// The module's settings and the rules store's questions it asks.
#include "policydb.h"
#include "reqgate_internal.h"

namespace vor::reqgate {

Settings& settings() {
  static Settings instance;
  return instance;
}

RuleQuestions& rules() {
  static RuleQuestions instance{policydb_icache_GetExpire__olimit0_x, policydb_system_get_MaxCacheBlockSize};
  return instance;
}

}  // namespace vor::reqgate
