// The disk-cache index stores under ../config/dcindex: one key-value store per cache class
// (public, member, visitor) of 170-byte index records keyed by cache-file name, and the content
// store of 60-byte records keyed by body MD5. Opening (with recreation of a bad store), the
// one-time conversion of old stores, the record operations, the flush and the exports.
//
// Threads: every operation may run on any thread at once; the store component takes concurrent
// calls. A handle is read once per call; exit empties it before the store is half-closed, so
// later callers find the store absent.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cu_lib.h"
#include "cu_log.h"
#include "cu_util.h"
#include "policydb.h"
#include "reqgate.h"
#include "reqgate_internal.h"
#include "vor_kit.h"
#include "vor_kv2.h"

namespace vor::reqgate {

namespace {

namespace fs = std::filesystem;

constexpr char kFolder[] = "../config/dcindex";
constexpr char kPlaceholderName[] = "12345678901234567890123456789012";
constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint32_t kFlushPeriodMs = 10800000;  // three hours
constexpr int32_t kFlushStack = 512 * 1024;
constexpr uint64_t kAbsent = ~uint64_t{0};
constexpr int32_t kConversionOptions = 210;

struct StoreLayout {
  const char* name;
  int32_t options;
  uint64_t placeholder_below;  // a store holding fewer records gets the placeholder
  int32_t value_size;
};
constexpr std::array<StoreLayout, 4> kLayouts = {{
    {"public", 218, 1, kIndexRecordSize},
    {"member", 218, 100, kIndexRecordSize},
    {"visitor", 218, 100, kIndexRecordSize},
    {"content", 108, 100, kContentRecordSize},
}};
constexpr std::array<IndexStore, 3> kClassStores = {IndexStore::kPublic, IndexStore::kMember, IndexStore::kVisitor};
constexpr std::array<IndexStore, 4> kAllStores = {IndexStore::kPublic, IndexStore::kMember, IndexStore::kVisitor,
                                                  IndexStore::kContent};

struct Stores {
  std::array<std::atomic<vor_kv2*>, 4> handles{};
  std::mutex retired_mu;
  std::vector<vor_kv2*> retired;  // half-closed handles stay valid for the life of the process
};

Stores& stores() {
  static Stores* instance = new Stores();
  return *instance;
}

const StoreLayout& layout(IndexStore id) { return kLayouts[static_cast<size_t>(id)]; }
std::atomic<vor_kv2*>& handle(IndexStore id) { return stores().handles[static_cast<size_t>(id)]; }

std::string store_path(IndexStore id, const char* suffix) {
  return std::string(kFolder) + "/" + layout(id).name + suffix;
}

void log_error(const std::string& text) {
  edgeserv_ctx* ctx = edge_context();
  if (ctx && ctx->log) cu_log_error(ctx->log, "%s", text.c_str());
}

bool txn() { return settings().diskcache_index_txn; }

// The smaller of MaxUsableMemSize and the machine's memory less what the system keeps.
uint64_t usable_memory() {
  uint64_t physical = 0;
  cu_GetPhyMemSize(&physical, nullptr);
  if (physical > 3072 * kMiB) {
    physical -= kMiB;
  } else if (physical > 1024 * kMiB) {
    physical -= 512 * kMiB;
  } else if (physical > 256 * kMiB) {
    physical -= 256 * kMiB;
  }
  return std::min(policydb_system_get_MaxUsableMemSize(), physical);
}

int32_t whole_mib(uint64_t bytes) { return static_cast<int32_t>(std::min<uint64_t>(bytes >> 20, INT32_MAX)); }

// A share of the memory budget: parts per 10000 of memory times the ratio setting, at least floor.
int32_t memory_share_mib(uint64_t parts, uint64_t floor) {
  const uint64_t bytes = usable_memory() * policydb_system_get_RatioOfDCIMSAndMUMS() * parts / 10000;
  return whole_mib(std::max(bytes, floor));
}

int32_t cache_mib(IndexStore id) {
  switch (id) {
    case IndexStore::kPublic:
      return memory_share_mib(82, 32 * kMiB);
    case IndexStore::kContent:
      return memory_share_mib(4, 4 * kMiB);
    default:
      return 2;
  }
}

int32_t conversion_cache_mib(IndexStore id) {
  if (id != IndexStore::kPublic) return 200;
  return whole_mib(std::max(policydb_system_get_MaxUsableMemSize() / 2, 200 * kMiB));
}

vor_kv2* open_as_configured(IndexStore id) {
  return vor_kv2_open_ext(store_path(id, ".idx2").c_str(), txn(), txn(), layout(id).options, cache_mib(id), 1);
}

// The store file and every file of the component's journal folder beside it.
void remove_store_files(IndexStore id) {
  std::error_code ec;
  fs::remove(store_path(id, ".idx2"), ec);
  const fs::path journal = store_path(id, ".idx-journal");
  if (!fs::is_directory(journal, ec)) return;
  for (const fs::directory_entry& entry : fs::directory_iterator(journal, ec)) {
    std::error_code entry_ec;
    if (!entry.is_directory(entry_ec)) fs::remove(entry.path(), entry_ec);
  }
}

void put_placeholder(vor_kv2* store) {
  char value[kIndexRecordSize] = "TEST";
  vor_kv2_put(store, 0, kPlaceholderName, 32, value, sizeof value);
}

// Opens a store as configured, recreating it once when it is bad; NULL when it stays bad.
vor_kv2* open_checked(IndexStore id) {
  const char* name = layout(id).name;
  vor::console_line("checking disk cache index for %s ...", name);
  vor_kv2* store = open_as_configured(id);
  if (!store) {
    vor::console_line("[zazudaza -> index] %s index is bad, recreate it ...", name);
    log_error(std::string("[zazudaza -> index] ") + name + " index is bad, recreate it!\r\n");
    cu_sleep(1000);
    remove_store_files(id);
    cu_sleep(1000);
    store = open_as_configured(id);
  }
  if (store) {
    vor_kv2_defrag(store);
    if (vor_kv2_count(store) < layout(id).placeholder_below) {
      put_placeholder(store);
      vor_kv2_close(store);
      store = open_as_configured(id);
    }
  }
  if (!store) {
    vor::console_line(" ERROR!\r\n");
    return nullptr;
  }
  std::error_code ec;
  fs::remove(store_path(id, ".idx2.tmpkch"), ec);
  vor::console_line(" OK!\r\n");
  return store;
}

// Half-closes a store whose handle is no longer published; the handle is kept, as later
// callers that read it before may still use it.
void halfclose(vor_kv2* store) {
  if (!store) return;
  vor_kv2_halfclose(store);
  std::lock_guard<std::mutex> hold(stores().retired_mu);
  stores().retired.push_back(store);
}

// Publishes a store's new handle (NULL: absent); one held before is half-closed.
void install(IndexStore id, vor_kv2* store) { halfclose(handle(id).exchange(store)); }

// Copies an old store into the new one; the old file goes once every record is copied, or
// when it cannot be read as a store. Kept otherwise, so that the next start tries again.
void convert_store(IndexStore id) {
  const std::string old_path = store_path(id, ".idx");
  std::error_code ec;
  if (!fs::exists(old_path, ec)) return;
  vor::console_line("convert %s from idx to idx2 ...", layout(id).name);
  vor_kv* old = vor_kv_open_ext(old_path.c_str(), txn(), txn(), kConversionOptions, 200, 0);
  vor_kv2* fresh = vor_kv2_open_ext(store_path(id, ".idx2").c_str(), txn(), txn(), kConversionOptions,
                                    conversion_cache_mib(id), 0);
  uint64_t copied = 0;
  bool done = old == nullptr;
  if (old && fresh && vor_kv_Foreach_Rewind(old, 0)) {
    done = true;
    char key[32];
    char value[kIndexRecordSize];
    int32_t len = layout(id).value_size;
    while (vor_kv_Foreach_GetNext(old, key, sizeof key, value, &len)) {
      if (vor_kv2_put(fresh, 0, key, sizeof key, value, len)) {
        ++copied;
      } else {
        done = false;
      }
      len = layout(id).value_size;
    }
  }
  vor_kv_close(old);
  if (fresh) vor_kv2_close(fresh);
  if (done) fs::remove(old_path, ec);
  vor::console_line(" %llu records!\r\n", static_cast<unsigned long long>(copied));
}

// One put in eight looks whether the store outgrew its buckets and starts its cleaning.
void clean_check(IndexStore id) {
  if (cu_RandomValue() % 8 == 0) iclean_if_over(id);
}

std::optional<IndexStore> class_store(uint8_t kind) {
  switch (kind) {
    case kIntelligent:
    case kPublic:
      return IndexStore::kPublic;
    case kMember:
      return IndexStore::kMember;
    case kVisitor:
      return IndexStore::kVisitor;
    default:
      return std::nullopt;
  }
}

bool put_in(IndexStore id, const char* name, const char* record, int32_t size) {
  char key[32];
  if (!record || !index_key(name, key)) return false;
  vor_kv2* store = handle(id).load();
  if (!store) return false;
  const bool stored = vor_kv2_put(store, 0, key, sizeof key, record, size);
  clean_check(id);
  return stored;
}

bool get_from(IndexStore id, const char* name, char* record, int32_t size) {
  char key[32];
  vor_kv2* store = handle(id).load();
  if (!record || !store || !index_key(name, key)) return false;
  int32_t len = size;
  return vor_kv2_get(store, 0, key, sizeof key, record, &len);
}

bool del_from(IndexStore id, const char* name) {
  char key[32];
  vor_kv2* store = handle(id).load();
  return store && index_key(name, key) && vor_kv2_del(store, 0, key, sizeof key);
}

void flush_thread(void*) { index_flush(); }
void flush_tick(void*, void*, int32_t, int32_t) { index_flush_start(); }

// A figure summed over the class stores; an absent store or one answering all ones adds 0.
uint64_t class_store_sum(uint64_t (*figure)(vor_kv2*)) {
  uint64_t sum = 0;
  for (IndexStore id : kClassStores) {
    vor_kv2* store = handle(id).load();
    const uint64_t value = store ? figure(store) : kAbsent;
    if (value != kAbsent) sum += value;
  }
  return sum;
}

}  // namespace

bool index_key(const char* name_or_path, char key[32]) {
  if (!name_or_path) return false;
  const char* start = name_or_path;
  for (const char* p = name_or_path; *p; ++p) {
    if (*p == '/' || *p == '\\') start = p + 1;
  }
  if (strnlen(start, 32) < 32) return false;
  std::memcpy(key, start, 32);
  return true;
}

bool index_put(uint8_t kind, const char* name, const char* record) {
  const std::optional<IndexStore> id = class_store(kind);
  return id && put_in(*id, name, record, kIndexRecordSize);
}

bool index_get(uint8_t kind, const char* name, char* record) {
  const std::optional<IndexStore> id = class_store(kind);
  return id && get_from(*id, name, record, kIndexRecordSize);
}

bool index_del(uint8_t kind, const char* name) {
  if (kind == kPublic || kind == kMember || kind == kVisitor) return del_from(*class_store(kind), name);
  bool removed = false;
  for (IndexStore id : kClassStores) removed = del_from(id, name) || removed;
  return removed;
}

void index_defrag(uint8_t kind) {
  const std::optional<IndexStore> id = class_store(kind);
  if (!id) return;
  if (vor_kv2* store = handle(*id).load()) vor_kv2_defrag(store);
}

bool content_put(const char* md5, const char* record) {
  return md5 && *md5 && put_in(IndexStore::kContent, md5, record, kContentRecordSize);
}

bool content_get(const char* md5, char* record) {
  return md5 && *md5 && get_from(IndexStore::kContent, md5, record, kContentRecordSize);
}

bool content_del(const char* md5) { return md5 && *md5 && del_from(IndexStore::kContent, md5); }

void index_convert() {
  for (IndexStore id : kAllStores) convert_store(id);
}

void index_open() {
  for (IndexStore id : kClassStores) install(id, open_checked(id));
}

void content_open() { install(IndexStore::kContent, open_checked(IndexStore::kContent)); }

void open_index_stores() {
  std::error_code ec;
  fs::create_directories(kFolder, ec);
  index_convert();
  index_open();
  content_open();
}

vor_kv2* index_store(IndexStore id) { return handle(id).load(); }

void index_close() {
  for (IndexStore id : kClassStores) install(id, nullptr);
}

void content_close() { install(IndexStore::kContent, nullptr); }

int32_t arm_index_flush(vor_box* box) {
  if (!box) return 0;
  const int32_t id = vor_box_NewLoopTimer(box, kFlushPeriodMs, flush_tick, nullptr);
  return id > 0 ? id : 0;
}

bool index_flush_start() {
  uint32_t thread_id = 0;
  return cu_CreateThread(&thread_id, kFlushStack, flush_thread, nullptr);
}

void index_flush() {
  for (IndexStore id : kAllStores) {
    vor_kv2* store = handle(id).load();
    if (!store) continue;
    if (txn()) {
      vor_kv2_checkpoint(store, 0, 0);
    } else {
      vor_kv2_flush(store);
    }
  }
}

}  // namespace vor::reqgate

using namespace vor::reqgate;

uint8_t reqgate_EmptyDCIndex(void) {
  for (IndexStore id : kAllStores) {
    vor_kv2* store = handle(id).load();
    vor_kv2_clear(store);
    vor_kv2_defrag(store);
  }
  return 1;
}

uint64_t reqgate_DiskCacheCount(void) { return class_store_sum(vor_kv2_count); }

uint64_t reqgate_DiskCacheSize(void) { return class_store_sum(vor_kv2_size); }
