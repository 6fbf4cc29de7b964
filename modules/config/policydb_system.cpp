// Node settings: one wc_system row per key, held in memory in relaxed atomics so that the request
// path reads them without a lock. One table describes every key; one loader and one setter
// serve them all.
#include "cu_lib.h"
#include "policydb.h"
#include "policydb_internal.h"
#include "policydb_system.h"

#include <array>
#include <cinttypes>
#include <cstring>
#include <optional>

namespace policydb::settings {

namespace {

// How a key's row value becomes the value held in memory.
enum class Unit : uint8_t {
  kFlag,   // 0 or 1
  kPlain,  // as held, 32 bits
  kByte,   // as held, low byte
  kKb,     // row in KB, held in bytes (32 bits)
  kMb,     // row in MB, held in bytes (32 bits)
  kMb64,   // row in MB, held in bytes (64 bits)
};

// What a setter does with a row value above the key's limit.
enum class High : uint8_t { kNone, kRefuse, kIgnore, kClamp };

struct Def {
  const char* key;
  Unit unit;
  uint64_t initial;  // held before any row is loaded
  uint64_t floor;    // row values below it become it
  uint64_t limit;    // in the row's unit; see high
  High high;
  bool restarts_stat;
};

constexpr uint64_t kUnsetRatio = UINT32_MAX;
constexpr uint32_t kDefaultRatio = 30;

#define PLAIN(key, initial) {#key, Unit::kPlain, initial, 0, 0, High::kNone, false}
#define FLAG(key, initial) {#key, Unit::kFlag, initial, 0, 0, High::kNone, false}

// In the order of Id.
constexpr Def kDefs[] = {
    {"MaxUsableMemSize", Unit::kMb64, 209715200, 0, 0, High::kNone, false},
    {"MaxConnections", Unit::kPlain, 5000, 0, 1000000, High::kRefuse, false},
    FLAG(IsUsedMemCache, 1),
    {"MaxClientSendBuffer", Unit::kKb, 32768, 1, 128, High::kRefuse, false},
    {"MaxClientRecvBuffer", Unit::kKb, 8192, 1, 128, High::kRefuse, false},
    {"MaxCacheBlockSize", Unit::kKb, 524288, 4, 1024, High::kRefuse, false},
    FLAG(IsUsedXForwardedFor, 1),
    FLAG(IsHitCacheForRefresh, 1),
    FLAG(IsUsedMethodCONNECT, 1),
    PLAIN(ClientRequestTimeOut, 15),
    {"IsUsedPageViewStat", Unit::kFlag, 1, 0, 0, High::kNone, true},
    {"PVRCreatingOption", Unit::kPlain, 0, 0, 1, High::kRefuse, true},
    {"PVRCreatingThisTime", Unit::kPlain, 0, 0, 23, High::kRefuse, true},
    {"PVRCreatingPeriodTime", Unit::kPlain, 24, 0, 240, High::kRefuse, true},
    PLAIN(MaxUpstreamConnections, 5000),
    {"MaxSessionCacheSize", Unit::kMb, 104857600, 0, 0, High::kNone, false},
    {"RoleInQuorinCluster", Unit::kByte, 0, 0, 2, High::kIgnore, false},
    FLAG(UnenableZazudazaBySpider, 1),
    FLAG(UnenableStatBySpider, 1),
    FLAG(UnenableAccessLog, 1),
    FLAG(IsDiskCache, 0),
    PLAIN(MinSizeForActivePageByDiskCache, 16384),
    PLAIN(DiskCacheDirectoryDepth, 4),
    {"MinSizeForRSCPByDiskCache", Unit::kKb, 2097152, 0, 0, High::kNone, false},
    PLAIN(MaxOpenedFilesByDiskCache, 5000),
    {"RatioOfDCIMSAndMUMS", Unit::kPlain, kUnsetRatio, 0, 100, High::kClamp, false},
    FLAG(EnableDiskCacheForChunkedPage, 0),
    PLAIN(MinDiskCacheContentSize, 16384),
    FLAG(UseExpiredCacheWhenUpstreamIsFail, 1),
    FLAG(EnableWhiteList, 0),
    FLAG(AddXCacheToHeader, 0),
    FLAG(BlockTransparentProxyAccess, 0),
};
#undef PLAIN
#undef FLAG

constexpr size_t kCount = sizeof kDefs / sizeof kDefs[0];
static_assert(kCount == static_cast<size_t>(Id::kCount), "one definition per setting");

struct Values {
  Values() {
    for (size_t i = 0; i < kCount; ++i) held[i].store(kDefs[i].initial);
  }
  std::array<std::atomic<uint64_t>, kCount> held;
};
Values g_values;
std::atomic<uint8_t> g_running{1};

const Def& def(Id id) { return kDefs[static_cast<size_t>(id)]; }
std::atomic<uint64_t>& slot(Id id) { return g_values.held[static_cast<size_t>(id)]; }

uint64_t scale(Unit unit) {
  switch (unit) {
    case Unit::kKb: return 1024;
    case Unit::kMb:
    case Unit::kMb64: return 1024 * 1024;
    default: return 1;
  }
}

uint64_t held_max(Unit unit) {
  switch (unit) {
    case Unit::kFlag: return 1;
    case Unit::kByte: return UINT8_MAX;
    case Unit::kMb64: return UINT64_MAX;
    default: return UINT32_MAX;
  }
}

bool scaled(Unit unit) { return scale(unit) != 1; }

// The value held for a row value; nothing when the bytes do not fit the held type.
std::optional<uint64_t> to_held(Unit unit, uint64_t row_value) {
  if (unit == Unit::kFlag) return row_value != 0;
  if (unit == Unit::kByte) return row_value & 0xFF;
  const uint64_t factor = scale(unit);
  if (row_value > held_max(unit) / factor) return std::nullopt;
  return row_value * factor;
}

// Update, else insert; the caller holds the database lock.
void write_row(const char* key, uint64_t row_value) {
  Result updated = exec_format("update wc_system set value='%" PRIu64 "' where name='%s'", row_value, key);
  if (updated && rows(updated.get()) > 0) return;
  Result inserted = exec_format("insert into wc_system(name, value) values('%s', '%" PRIu64 "')", key, row_value);
  if (!inserted) report_error("[zazudaza -> config] update 'wc_system' table for '%s' error!\r\n", key);
}

const Def* find(const char* key) {
  for (const Def& d : kDefs) {
    if (std::strcmp(d.key, key) == 0) return &d;
  }
  return nullptr;
}

void load_row(const char* name, const char* text) {
  const Def* d = find(name);
  if (!d) return;
  const int32_t n = cu_strtol(text, nullptr, 10);
  std::optional<uint64_t> held;
  if (d->unit == Unit::kFlag) {
    held = n != 0;
  } else if (scaled(d->unit)) {
    // A negative or oversized size would wrap into a huge or tiny byte count.
    if (n >= 0) held = to_held(d->unit, static_cast<uint64_t>(n));
    if (!held) {
      report_error("[zazudaza -> config] 'wc_system'->'%s=%s' error!\r\n", name, text);
      return;
    }
  } else if (d->unit == Unit::kByte) {
    held = static_cast<uint8_t>(n);
  } else {
    held = static_cast<uint32_t>(n);
  }
  g_values.held[static_cast<size_t>(d - kDefs)].store(*held, std::memory_order_relaxed);
}

bool have_row(const char* key) {
  DbLock lock;
  if (!lock.held()) return false;
  Result r = exec_format("select name, value, subvalue from wc_system where name='%s' limit 1", key);
  return r && rows(r.get()) > 0;
}

}  // namespace

uint64_t get(Id id) { return slot(id).load(std::memory_order_relaxed); }

uint32_t get_ratio() {
  std::atomic<uint64_t>& held = slot(Id::RatioOfDCIMSAndMUMS);
  uint64_t v = held.load(std::memory_order_relaxed);
  if (v <= 100) return static_cast<uint32_t>(v);
  // Unset: answer the default and keep it, unless a setter stored a value meanwhile.
  if (held.compare_exchange_strong(v, kDefaultRatio, std::memory_order_relaxed)) return kDefaultRatio;
  return v <= 100 ? static_cast<uint32_t>(v) : kDefaultRatio;
}

bool set(Id id, uint64_t value) {
  if (!db()) return false;
  const Def& d = def(id);
  uint64_t row_value = d.unit == Unit::kFlag ? value != 0 : value;
  std::optional<uint64_t> held = to_held(d.unit, row_value);
  if (!held) return false;
  if (*held == get(id)) return true;
  if (row_value < d.floor) row_value = d.floor;
  if (d.high != High::kNone && row_value > d.limit) {
    if (d.high == High::kRefuse) return false;
    if (d.high == High::kIgnore) return true;
    row_value = d.limit;
  }
  held = to_held(d.unit, row_value);
  {
    DbLock lock;
    write_row(d.key, row_value);
    // Memory follows even when both writes failed: a node without its database still obeys.
    slot(id).store(*held, std::memory_order_relaxed);
  }
  if (d.restarts_stat) seams::restart_stat();
  return true;
}

uint8_t running() { return g_running.load(std::memory_order_relaxed); }
void set_running(bool on) { g_running.store(on ? 1 : 0, std::memory_order_relaxed); }

void load() {
  if (!db()) return;
  DbLock lock;
  for (const char* rename : {"update wc_system set name='IsUsedXForwardedFor' where name='IsUsedXForwordedFor'",
                             "update wc_system set name='ClientRequestTimeOut' where name='ClientRequstTimeOut'",
                             "update wc_system set name='IsHitCacheForRefresh' where name='IsHitCacheWhenRefresh'"}) {
    exec(rename);
  }
  Result r = exec("select name, value, subvalue from wc_system limit 1000");
  if (!r) {
    report_error("%s", "[zazudaza -> config] read 'wc_system' table error!\r\n");
    return;
  }
  for (int32_t row = 0; row < rows(r.get()); ++row) {
    const char* name = nullptr;
    const char* value = nullptr;
    const char* subvalue = nullptr;
    if (!cell(r.get(), 0, row, &name) || !cell(r.get(), 1, row, &value) || !cell(r.get(), 2, row, &subvalue)) continue;
    if (name && value) load_row(name, value);
  }
}

bool have(Id id) { return have_row(def(id).key); }

void reset() {
  for (size_t i = 0; i < kCount; ++i) g_values.held[i].store(kDefs[i].initial, std::memory_order_relaxed);
  g_running.store(1, std::memory_order_relaxed);
}

const char* key_of(Id id) { return def(id).key; }

}  // namespace policydb::settings

using namespace policydb::settings;

// The exports: one getter and one setter per key.
#define POLICYDB_SETTING_EXPORTS(name, type)                                                  \
  type policydb_system_get_##name(void) { return static_cast<type>(get(Id::name)); }         \
  uint8_t policydb_system_set_##name(type value) { return set(Id::name, value) ? 1 : 0; }

POLICYDB_SETTINGS_BUT_RATIO(POLICYDB_SETTING_EXPORTS)

uint32_t policydb_system_get_RatioOfDCIMSAndMUMS(void) { return get_ratio(); }
uint8_t policydb_system_set_RatioOfDCIMSAndMUMS(uint32_t value) {
  return set(Id::RatioOfDCIMSAndMUMS, value) ? 1 : 0;
}

uint8_t policydb_system_get_IsRunning(void) { return running(); }
uint8_t policydb_system_set_IsRunning(uint8_t value) {
  set_running(value != 0);
  return 1;
}

void policydb_system_load(void) { load(); }
uint8_t policydb_system_have_RatioOfDCIMSAndMUMS(void) { return have(Id::RatioOfDCIMSAndMUMS) ? 1 : 0; }
uint8_t policydb_system_have_MinDiskCacheContentSize(void) { return have(Id::MinDiskCacheContentSize) ? 1 : 0; }
