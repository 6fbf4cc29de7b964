// proxy.ini: how its values read.
#include <cstring>
#include <limits>

#include "cu_lib.h"
#include "upfetch_internal.h"

namespace vor::upfetch {
namespace {

constexpr int64_t kDefaultCacheInfoSeconds = 3600;
// The longest period a 32-bit millisecond timer holds.
constexpr int64_t kLongestCacheInfoSeconds = std::numeric_limits<uint32_t>::max() / 1000 - 1;

bool is_true_text(const char* value) { return cu_stricmp(value, "true") == 0; }

// On when the value reads as a non-zero number or is "true".
bool read_flag(cu_config* ini, const char* group, const char* key, bool fallback) {
  const char* value = cu_config_GetKey(ini, group, key);
  if (!value) return fallback;
  return cu_atoll(value) != 0 || is_true_text(value);
}

int32_t read_x_quorin_mode(cu_config* ini, int32_t fallback) {
  const char* value = cu_config_GetKey(ini, "system", "Enable_HTTP_X_Quorin");
  if (!value) return fallback;
  for (int32_t mode : {0, 1, 2}) {
    const char text[2] = {static_cast<char>('0' + mode), '\0'};
    if (std::strcmp(value, text) == 0) return mode;
  }
  return fallback;
}

// A period that is not positive or would not fit the timer keeps the default.
uint32_t read_cache_info_period(cu_config* ini) {
  const char* value = cu_config_GetKey(ini, "debug", "CacheInfoLogTimeOut");
  int64_t seconds = value ? cu_atoll(value) : kDefaultCacheInfoSeconds;
  if (seconds < 0 || seconds > kLongestCacheInfoSeconds) seconds = kDefaultCacheInfoSeconds;
  return static_cast<uint32_t>((seconds + 1) * 1000);
}

}  // namespace

Settings read_settings(cu_config* ini) {
  Settings s;
  if (!ini) return s;
  s.connect_by_upstream = read_flag(ini, "system", "CONNECTByUpstream", s.connect_by_upstream);
  s.host_statistics = read_flag(ini, "system", "ProxyHostStat", s.host_statistics);
  s.x_quorin_mode = read_x_quorin_mode(ini, s.x_quorin_mode);
  s.open_proxy = read_flag(ini, "debug", "IsOpenProxy", s.open_proxy);
  s.show_invalid_requests = read_flag(ini, "debug", "IsDisplayInvalidRequest", s.show_invalid_requests);
  // Only a non-zero number starts the report: "true" does not.
  const char* log = cu_config_GetKey(ini, "debug", "IsWriteCacheInfoLog");
  s.cache_info_log = log && cu_atoll(log) != 0 && cu_stricmp(log, "false") != 0;
  s.cache_info_period_ms = read_cache_info_period(ini);
  return s;
}

}  // namespace vor::upfetch
