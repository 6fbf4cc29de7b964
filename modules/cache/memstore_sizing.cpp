// The memory budget of the cache, computed once at init from the machine and the rules store's
// settings, and the two settings of cache.ini.
#include "cu_config.h"
#include "memstore_internal.h"

namespace vor::memstore {

namespace {

constexpr uint64_t kGiB = 1073741824;

// The operating system keeps part of a small machine's memory for itself.
uint64_t after_reserve(uint64_t physical) {
  if (physical > 3 * kGiB) return physical - 1048576;
  if (physical > kGiB) return physical - 536870912;
  if (physical > 268435456) return physical - 268435456;
  return physical;
}

// Parts per million of the remaining memory the cache may use; larger machines give more.
uint64_t factor_of(uint64_t mem) {
  struct Step {
    uint64_t up_to;
    uint64_t factor;
  };
  constexpr Step kSteps[] = {
      {7 * kGiB, 8100}, {15 * kGiB, 8370}, {30 * kGiB, 8649}, {60 * kGiB, 9120}, {120 * kGiB, 9405},
  };
  for (const Step& step : kSteps)
    if (mem <= step.up_to) return step.factor;
  return 9702;
}

}  // namespace

uint32_t public_slots_of(uint64_t budget) {
  const uint64_t n = budget / 1048576 * 50 + budget % 1048576 * 50 / 1048576;  // 50 per MiB
  if (n > 2097152) return 1048576;
  if (n > 524288) return 524288;
  if (n < 16384) return 16384;
  return static_cast<uint32_t>(n);
}

Sizing size_cache(std::optional<uint64_t> physical, uint64_t usable, uint32_t ratio) {
  Sizing s;
  const uint64_t ram = physical ? after_reserve(*physical) : usable;
  s.mem = usable < ram ? usable : ram;
  const uint64_t share = ratio > 100 ? 0 : 100 - ratio;
  // 128 bits: the product passes 2^64 on machines of a few hundred terabytes.
  s.budget = static_cast<uint64_t>(static_cast<unsigned __int128>(share) * s.mem * factor_of(s.mem) / 1000000);
  s.page_limit = s.budget / kBodyPageSize + (s.budget % kBodyPageSize ? 1 : 0);
  s.public_slots = public_slots_of(s.budget);
  return s;
}

Settings read_cache_ini(cu_config* ini, Settings base) {
  Settings s = base;
  s.priority = 0;
  s.protect = 60;
  if (!ini) return s;
  // The low byte, kept signed: "258" is 2 and "-1" is -1, which is out of range like "3".
  const auto priority = static_cast<int8_t>(cu_config_GetKeyInt32(ini, "system", "cache_replacement_priority", 0));
  s.priority = priority < 0 || priority > 2 ? 0 : priority;
  const uint32_t protect = cu_config_GetKeyUint32(ini, "system", "newcache_protecttime_when_overload", 60) & 0xFFFF;
  s.protect = protect == 0 ? 1 : protect;
  return s;
}

}  // namespace vor::memstore
