// The sub-module "cache": its descriptor, init and exit, the settings of cache.ini and the one
// process-wide store the exports act on.
#include <cstdio>
#include <cstdlib>

#include "cu_lib.h"
#include "cu_util.h"
#include "memstore.h"
#include "memstore_internal.h"
#include "policydb.h"

namespace vor::memstore {

namespace {

constexpr char kCacheIni[] = "../modules/zazudaza/cache.ini";

std::atomic<Store*> g_store{nullptr};

void to_stdout(const char* line) {
  std::fputs(line, stdout);
  std::fflush(stdout);
}

bool cache_on() { return policydb_system_get_IsUsedMemCache() != 0; }

// Errors go to standard error and to the edge server's log.
void report_error(edgeserv_ctx* ctx, const char* line) {
  std::fputs(line, stderr);
  std::fflush(stderr);
  if (ctx && ctx->log) cu_log_error(ctx->log, "%s", line);
}

bool verbose_of(edgeserv_ctx* ctx) {
  const char* v = cu_config_GetKey(ctx ? ctx->config : nullptr, "system", "display_console");
  return !v || cu_atoll(v) == 1;
}

std::optional<uint64_t> physical_memory() {
  uint64_t total = 0;
  if (!cu_GetPhyMemSize(&total, nullptr)) return std::nullopt;
  return total;
}

}  // namespace

Environment live_environment() {
  Environment env;
  env.now = edgeserv_mytime;
  env.mem_cache_on = cache_on;
  env.icache_hit = seams::icache_hit;
  env.fcache_hit = seams::fcache_hit;
  env.rcache_hit = seams::rcache_hit;
  env.random = cu_RandomValue;
  env.console = to_stdout;
  return env;
}

Store* instance() { return g_store.load(std::memory_order_acquire); }

Store* make_module_store(edgeserv_ctx* ctx, const Environment& env, const Geometry& geometry) {
  env.console("[zazudaza -> cache] module init!\r\n");
  Settings settings;
  settings.verbose = verbose_of(ctx);
  const Sizing sizing =
      size_cache(physical_memory(), policydb_system_get_MaxUsableMemSize(), policydb_system_get_RatioOfDCIMSAndMUMS());
  auto* store = new Store(sizing, env, geometry);
  const PoolFailure failure = store->setup();
  if (failure != PoolFailure::kNone) {
    env.console(pool_failure_line(failure));
    if (ctx && ctx->log) cu_log_error(ctx->log, "%s", pool_failure_line(failure));
    std::exit(-1);
  }
  cu_config* ini = cu_config_make(kCacheIni);
  if (!ini) report_error(ctx, "[zazudaza -> response] cann't open 'modules/zazudaza/cache.ini' file!\r\n");
  store->configure(read_cache_ini(ini, settings));
  cu_config_free(ini);
  return store;
}

uint8_t memstore_init(edgeserv_ctx* ctx) {
  // Made once and never freed: slave threads may still call in while the process ends.
  if (!instance()) g_store.store(make_module_store(ctx, live_environment()), std::memory_order_release);
  return 1;
}

void memstore_exit(edgeserv_ctx*) {
  to_stdout("[zazudaza -> cache] module exit!\r\n");
  if (Store* store = instance()) store->dump();
}

}  // namespace vor::memstore

using vor::memstore::instance;
using vor::memstore::Store;

submodule_desc cache = {371,     "cache", vor::memstore::memstore_init, vor::memstore::memstore_exit, nullptr,
                        nullptr, nullptr};

uint64_t memstore_GetCacheSize(void) {
  Store* s = instance();
  return s ? s->cache_size() : 0;
}

uint64_t memstore_GetMaxCacheSize(void) {
  Store* s = instance();
  return s ? s->budget() : 0;
}

void memstore_SetMaxCacheSize(void) {}

uint32_t memstore_GetNumOfCaches(void) {
  Store* s = instance();
  return s ? s->entry_total() : 0;
}

uint64_t memstore_GetLockTakes(void) { return vor::memstore::tl_lock_takes; }
