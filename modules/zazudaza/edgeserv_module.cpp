// The edge server as a daemon module: its descriptor, init and exit, the module-wide state (the
// cached clock, the settings, the pools, the byte totals), the idle sweep, the crash hook and
// the IP-location lookup.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "cu_lib.h"
#include "cu_malloc.h"
#include "cu_module.h"
#include "cu_sock.h"
#include "cu_util.h"
#include "edgeserv_internal.h"
#include "gbk_to_utf8.h"
#include "faultpost_hook.h"
#include "vor_afile.h"
#include "vor_box.h"
#include "vor_kit.h"

namespace edge {
namespace {

constexpr int kArenaLocks = 16;
constexpr uint64_t kGiB = 1ull << 30;

struct State {
  std::atomic<edgeserv_ctx*> ctx{nullptr};
  std::atomic<int64_t> clock{0};
  std::atomic<uint64_t> total_received{0};
  Flags flags;
  cu_sem* arena_locks[kArenaLocks] = {};
  std::once_flag arena_locks_made;
  cu_sem* pool_lock = nullptr;
  std::atomic<cu_xmem*> xjitter_pool{nullptr};  // tests put another in its place while clients run
  cu_xmem* struct_pool = nullptr;
  cu_xmem* hash_pool = nullptr;
  std::once_flag pools_made;
  uint64_t hash_baseline = 0;
  char host_name[64] = "";
  char via[132] = "";
  // The location lookup and the shared GBK converter (safe from every thread).
  std::atomic<edgeserv_location_fn> location{nullptr};
  std::once_flag converter_made;
  gbk_to_utf8* converter = nullptr;
};

State& state() {
  static State s;
  return s;
}

// --- pools ------------------------------------------------------------------------------------

[[noreturn]] void pool_failed(cu_log* log, const char* pool) {
  char line[160];
  snprintf(line, sizeof line,
           "edgeserv__xmem -> __zazudaza_modules__xmem_init() -> cu_xmem_init_ext(%s) -> return NULL -> exit!\r\n",
           pool);
  console(line);
  cu_log_error(log, "%s", line);
  fflush(nullptr);
  _exit(-1);
}

cu_xmem* make_pool(cu_log* log, uint64_t page_size, uint64_t pages, const char* name) {
  cu_xmem* pool = cu_xmem_init_ext(state().pool_lock, page_size, pages, 0, nullptr, nullptr, nullptr);
  if (!pool) pool_failed(log, name);
  return pool;
}

uint64_t physical_memory() {
  uint64_t total = 0;
  cu_GetPhyMemSize(&total, nullptr);
  return total;
}


// --- timers on the master box -----------------------------------------------------------------

void clock_tick(void*, void*, int32_t, int32_t) { set_clock(cu_time()); }

void sweep_tick(void*, void* ud, int32_t, int32_t) {
  idle_sweep(static_cast<edgeserv_ctx*>(ud), edgeserv_mytime(), flags().idle_limit.load(std::memory_order_relaxed));
}

vor_box* master_box(daemon_ctx* daemon) { return daemon ? vor_bigbox_GetMasterBox(daemon->bigbox) : nullptr; }

// --- init steps -------------------------------------------------------------------------------

// Loads the in-process crash hook from the program folder, by path only.
void load_crash_hook() {
  cu_module* hook = cu_module_open("./libfaultpost.so");
  if (!hook) return;
  auto init_mishap = reinterpret_cast<faultpost_InitMishap_fn>(cu_module_symbol(hook, "InitMishap"));
  if (init_mishap && init_mishap("quorind", kVersion, "quorind") == 0) fputs("InitMishap() is fail!\r\n", stderr);
  // The library stays loaded for the life of the process; only the handle record goes.
  hook->library = nullptr;
  cu_module_close(hook);
}

void make_arena_locks() {
  std::call_once(state().arena_locks_made, [] {
    for (cu_sem*& lock : state().arena_locks) lock = cu_sem_malloc();
  });
}

// The context with its lock, log, name tree and empty sub-module list; NULL when
// memory is short.
edgeserv_ctx* make_context(daemon_ctx* daemon) {
  auto* ctx = static_cast<edgeserv_ctx*>(_cu_calloc(1, sizeof(edgeserv_ctx), kUnit, __LINE__));
  if (!ctx) return nullptr;
  ctx->daemon = daemon;
  ctx->lock = cu_sem_malloc();
  ctx->log = cu_log_malloc("../logs/zazudaza.log");
  cu_log_notice(ctx->log, "%s", "[quorin -> zazudaza] setup!\r\n");
  make_pools(ctx->log);
  ctx->clients = nullptr;  // the client table is the module's, indexed by descriptor
  ctx->names = cu_stree_malloc();
  ctx->submodules = nullptr;
  state().hash_baseline = cu_xmem_used_space_size(state().hash_pool);
  return ctx;
}

void missing_file(edgeserv_ctx* ctx, const char* format, const char* what) {
  char line[256];
  snprintf(line, sizeof line, format, what);
  console_error(line);
  cu_log_error(ctx->log, "%s", line);
}

}  // namespace

// --- module-wide state ------------------------------------------------------------------------

Flags& flags() { return state().flags; }

void apply_settings(const Settings& s) {
  Flags& f = flags();
  f.display.store(s.display, std::memory_order_relaxed);
  f.redirect_301.store(s.redirect_301, std::memory_order_relaxed);
  f.idle_limit.store(s.idle_limit, std::memory_order_relaxed);
  f.nodelay.store(s.nodelay, std::memory_order_relaxed);
  f.faster_close.store(s.faster_close, std::memory_order_relaxed);
}

Settings read_settings(cu_config* config) {
  Settings s;
  auto key = [config](const char* name) { return cu_config_GetKey(config, "system", name); };
  if (const char* v = key("display_console")) s.display = cu_atoll(v) == 1;
  if (const char* v = key("redirect_status_code")) {
    if (strstr(v, "301"))
      s.redirect_301 = true;
    else if (strstr(v, "302"))
      s.redirect_301 = false;
  }
  if (const char* v = key("network_refresh")) {
    const int64_t n = cu_atoll(v);
    const uint64_t magnitude = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
    s.idle_limit = static_cast<uint32_t>(std::min<uint64_t>(magnitude, UINT32_MAX));
  }
  if (const char* v = key("tcp_nodelay")) s.nodelay = cu_atoll(v) != 0;
  if (const char* v = key("enable_faster_close")) s.faster_close = strcmp(v, "1") == 0 || cu_stricmp(v, "true") == 0;
  s.hdd_threads = cu_config_GetKeyInt32(config, "system", "async_hdd_io_threads", s.hdd_threads);
  s.ssd_threads = cu_config_GetKeyInt32(config, "system", "async_ssd_io_threads", s.ssd_threads);
  if (s.hdd_threads == 0 && s.ssd_threads == 0) s.hdd_threads = 1;
  return s;
}

uint64_t xjitter_page_limit(uint64_t physical_bytes) {
  if (physical_bytes > 59 * kGiB) return 200;
  if (physical_bytes > 29 * kGiB) return 100;
  if (physical_bytes > 15 * kGiB) return 75;
  return 50;
}

edgeserv_ctx* context() { return state().ctx.load(std::memory_order_acquire); }
void set_context(edgeserv_ctx* ctx) { state().ctx.store(ctx, std::memory_order_release); }
void set_clock(int64_t t) { state().clock.store(t, std::memory_order_relaxed); }
void add_received(uint64_t n) { state().total_received.fetch_add(n, std::memory_order_relaxed); }

cu_sem* arena_lock() {
  make_arena_locks();
  return state().arena_locks[static_cast<unsigned>(rand()) % kArenaLocks];
}

cu_xmem* struct_pool() { return state().struct_pool; }
cu_xmem* xjitter_pool() { return state().xjitter_pool.load(std::memory_order_acquire); }
void set_xjitter_pool(cu_xmem* pool) { state().xjitter_pool.store(pool, std::memory_order_release); }
const char* host_name() { return state().host_name; }

void make_via_token() {
  State& s = state();
  cu_sock_GetLocalHostname(s.host_name, sizeof s.host_name);
  s.host_name[sizeof s.host_name - 1] = '\0';
  const unsigned first = static_cast<unsigned>(rand()) % 999;
  const unsigned second = static_cast<unsigned>(cu_time() % 999);
  char token[160];
  const int len = snprintf(token, sizeof token, "1.1 %.63s (random:%u%u %s)", s.host_name, first,
                           second, kServerToken);
  if (len < 0) token[0] = '\0';
  cu_strncpy(s.via, token, sizeof s.via - 1);
}

void set_identity(const char* host, const char* via) {
  cu_strncpy(state().host_name, host, sizeof state().host_name - 1);
  cu_strncpy(state().via, via, sizeof state().via - 1);
}
cu_xmem* hash_pool() { return state().hash_pool; }

void make_pools(cu_log* log) {
  std::call_once(state().pools_made, [log] {
    State& s = state();
    s.pool_lock = cu_sem_malloc();
    s.xjitter_pool = make_pool(log, 4ull << 20, xjitter_page_limit(physical_memory()), "xjitter");
    s.struct_pool = make_pool(log, 8ull << 20, 1024, "struct");
    s.hash_pool = make_pool(log, 16ull << 10, 1024, "i64hash");
  });
}

void console(const char* text) { vor::console_line("%s", text); }

void console_error(const char* text) {
  fputs(text, stderr);
  fflush(stderr);
}

// --- idle sweep -------------------------------------------------------------------------------

void start_clock(edgeserv_ctx* ctx) { vor_box_NewLoopTimer(master_box(ctx->daemon), 1000, clock_tick, nullptr); }

void start_idle_sweep(edgeserv_ctx* ctx, uint32_t limit) {
  if (limit > 0) vor_box_NewLoopTimer(master_box(ctx->daemon), limit * 1000, sweep_tick, ctx);
}

void idle_sweep(edgeserv_ctx* ctx, int64_t now, uint32_t limit) {
  if (!ctx) return;
  std::vector<int64_t> idle;
  for_each_client(ctx, [&](client_rec* rec) {
    const uint32_t received = std::atomic_ref<uint32_t>(rec->received).load(std::memory_order_relaxed);
    const uint32_t sent = std::atomic_ref<uint32_t>(rec->sent).load(std::memory_order_relaxed);
    const int64_t created = std::atomic_ref<int64_t>(rec->created).load(std::memory_order_relaxed);
    if (now - created > static_cast<int64_t>(limit) && received == rec->received_at_sweep &&
        sent == rec->sent_at_sweep)
      idle.push_back(rec->sid);
    rec->received_at_sweep = received;
    rec->sent_at_sweep = sent;
  });
  // Force-closed after the walk, each under its own record's lock again.
  for (auto it = idle.rbegin(); it != idle.rend(); ++it)
    if (*it > 0) edgeserv_ForceClose(*it);
}

// --- location ---------------------------------------------------------------------------------

void reset_location() { state().location.store(nullptr); }

}  // namespace edge

using namespace edge;

extern "C" {

module_desc edgeserv = {"quorin_zazudaza_server", 301, edgeserv_init, edgeserv_exit, {}};

uint8_t edgeserv_init(daemon_ctx* daemon) {
  load_crash_hook();
  console("[quorin -> zazudaza] module init!\r\n");
  make_arena_locks();
  if (context()) return 1;  // one context per process
  edgeserv_ctx* ctx = make_context(daemon);
  if (!ctx) return 1;
  set_context(ctx);
  // The clock runs whatever happens later in init: other modules read it as their clock.
  start_clock(ctx);

  ctx->config = cu_config_make("../modules/zazudaza.ini");
  if (!ctx->config) {
    missing_file(ctx, "[quorin -> zazudaza] config file '%s' open fail!\r\n", "modules/zazudaza.ini");
    return 1;
  }
  const Settings settings = read_settings(ctx->config);
  vor_afile_setupx(settings.hdd_threads, settings.ssd_threads);
  fileop_pool();
  srand(static_cast<unsigned>(cu_time()));
  make_via_token();
  load_submodules(ctx);
  init_walk(ctx);

  if (!cu_config_GetKey(daemon ? daemon->config : nullptr, "system", "proxy_port")) {
    missing_file(ctx, "[quorin -> zazudaza] config '%s' cann't be found!\r\n", "quorind.ini -> system -> proxy_port");
    return 1;
  }
  apply_settings(settings);
  attach_listeners(ctx);
  tls_start(ctx);
  start_idle_sweep(ctx, settings.idle_limit);
  return 1;
}

void edgeserv_exit(daemon_ctx*) {
  console("[quorin -> zazudaza] module exit!\r\n");
  edgeserv_ctx* ctx = context();
  if (!ctx) return;
  exit_walk(ctx);
  if (flags().display.load(std::memory_order_relaxed)) {
    char line[128];
    snprintf(line, sizeof line, "[quorin -> zazudaza] number of opened files is %d!\r\n", edgeserv_fnnodes());
    console(line);
  }
  cu_log_notice(ctx->log, "%s", "[quorin -> zazudaza] exit!\r\n");
}

edgeserv_ctx* edgeserv_GetHandle(void) { return context(); }

int64_t edgeserv_mytime(void) {
  int64_t now = state().clock.load(std::memory_order_relaxed);
  if (now != 0) return now;
  now = cu_time();
  set_clock(now);
  return now;
}

const char* edgeserv_VersionString(void) { return kVersion; }

const char* edgeserv_XFlag(void) { return state().via; }

void edgeserv_XmemDebug(uint64_t* used, uint64_t* free_bytes) {
  State& s = state();
  uint64_t in_use = 0;
  uint64_t spare = 0;
  for (cu_xmem* pool : {s.xjitter_pool.load(), s.struct_pool, s.hash_pool, fileop_pool()}) {
    in_use += cu_xmem_used_space_size(pool);
    spare += cu_xmem_free_space_size(pool);
  }
  in_use -= std::min(in_use, s.hash_baseline);
  if (used) *used = in_use;
  if (free_bytes) *free_bytes = spare;
}

uint64_t edgeserv_GetCacheSize(void) {
  uint64_t used = 0;
  edgeserv_XmemDebug(&used, nullptr);
  return used;
}

uint64_t edgeserv_GetTotalSendBytes(void) { return total_sent(); }
uint64_t edgeserv_GetTotalRecvBytes(void) { return state().total_received.load(std::memory_order_relaxed); }
uint32_t edgeserv_GetReadableLen(void) { return 0; }

void edgeserv_SetLocationOfIP(edgeserv_location_fn fn) {
  State& s = state();
  if (fn) {
    std::call_once(s.converter_made, [&s] { s.converter = gbk_to_utf8_make(); });
  }
  s.location.store(fn);
}

uint8_t edgeserv_GetLocationOfIP(const char* ip, char* area, int32_t area_len, char* detail, int32_t detail_len) {
  State& s = state();
  edgeserv_location_fn fn = s.location.load();
  if (!fn) return 0;
  expect_unlocked();
  if (!s.converter) return fn(ip, area, area_len, detail, detail_len);
  // The lookup writes up to the length it is given and a NUL: one byte more than the length.
  char area_gbk[64 + 1] = "";
  char detail_gbk[256 + 1] = "";
  const uint8_t found = fn(ip, area ? area_gbk : nullptr, 64, detail ? detail_gbk : nullptr, 256);
  if (!found) return found;
  if (area && area_len > 0) gbk_to_utf8_static(s.converter, area_gbk, -1, area, area_len, 0);
  if (detail && detail_len > 0) gbk_to_utf8_static(s.converter, detail_gbk, -1, detail, detail_len, 0);
  return found;
}

}  // extern "C"
