// The sub-module "proxy": its descriptor, init and exit, the close slot, the download hook and
// the memory reports.
#include <cstdarg>
#include <cstdio>

#include "cu_lib.h"
#include "cu_log.h"
#include "cu_malloc.h"
#include "conduit.h"
#include "cu_sock.h"
#include "nameres.h"
#include "policydb.h"
#include "replier.h"
#include "upfetch.h"
#include "upfetch_internal.h"
#include "upfetch_plugins.h"
#include "upfetch_request.h"
#include "vor_afile.h"
#include "vor_bigbox.h"
#include "vor_box.h"
#include "vor_kit.h"

namespace vor::upfetch {

Module& module() {
  static Module instance;
  return instance;
}

namespace {

constexpr int kMiB = 20;

bool display_from(cu_config* config) {
  const char* v = cu_config_GetKey(config, "system", "display_console");
  return !v || cu_atoll(v) == 1;
}

cu_log* edge_log() {
  edgeserv_ctx* ctx = module().ctx.load();
  return ctx ? ctx->log : nullptr;
}

std::string format_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string format_line(const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

void read_proxy_ini() {
  cu_config* ini = cu_config_make(kProxyIni);
  if (!ini) report_error("[zazudaza -> proxy] cann't open 'modules/zazudaza/proxy.ini' file!\r\n");
  module().settings = read_settings(ini);
  cu_config_free(ini);
}

void write_cache_info(void*, void*, int32_t, int32_t) {
  cu_log* log = edge_log();
  if (!log) return;
  for (const std::string& line : cache_info_report()) cu_log_notice(log, "%s", line.c_str());
}

void start_cache_info_timer(edgeserv_ctx* ctx) {
  if (!module().settings.cache_info_log || !ctx || !ctx->daemon || !ctx->daemon->bigbox) return;
  vor_box* master = vor_bigbox_GetMasterBox(ctx->daemon->bigbox);
  module().cache_info_timer =
      vor_box_NewLoopTimer(master, module().settings.cache_info_period_ms, write_cache_info, nullptr);
}

// Calls of the accept slot in the running node.
int32_t live_connections() { return edgeserv_GetNumOfConnections(); }
bool set_recv(int64_t sid, int32_t bytes) { return cu_sock_set_recv_buff(sid, bytes); }
bool set_send(int64_t sid, int32_t bytes) { return cu_sock_set_send_buff(sid, bytes); }

// Over a limit: the page, the close, and nothing on the connection is read as a request again.
void refuse_503(int64_t sid, const char* text) {
  edgeserv_return503(sid, nullptr, text);
  edgeserv_close(sid, kOverLimitCloseMs);
  // The accept slots run before the connection is read: nothing else touches the record yet.
  if (client_rec* client = edgeserv_GetClient_BySid(sid)) client->state = EDGESERV_STATE_ERROR;
}

constexpr AcceptCalls kLiveAccept = {
    live_connections,
    policydb_system_get_MaxConnections,
    policydb_system_get_MaxClientRecvBuffer,
    policydb_system_get_MaxClientSendBuffer,
    policydb_system_get_ClientRequestTimeOut,
    set_recv,
    set_send,
    refuse_503,
    edgeserv_close,
};

}  // namespace

void display_line(const char* format, ...) {
  if (!module().display.load()) return;
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  vor::console_line("%s", buffer);
}

void report_error(const char* text) {
  std::fputs(text, stderr);
  std::fflush(stderr);
  if (cu_log* log = edge_log()) cu_log_error(log, "%s", text);
}

std::vector<std::string> exit_memory_report() {
  const auto u32 = [](uint64_t v) { return static_cast<uint32_t>(v); };
  uint64_t system_used = 0;
  cu_system__xmem_size(&system_used, nullptr);
  return {
      "quorin -> zazudaza -> proxy -> memory infomation:\r\n",
      format_line("afiles    num of opened: [%u]\r\n", u32(vor_filter_nfiles())),
      format_line("quorin    memcache size: [%u]\r\n", u32(edgeserv_GetCacheSize())),
      format_line("filter    memcache size: [%u]\r\n", u32(seams::reqgate_cache_size())),
      format_line("pipe      memcache size: [%u]\r\n", u32(conduit_GetCacheSize())),
      format_line("response  memcache size: [%u]\r\n", u32(replier_GetCacheSize())),
      format_line("dns       memcache size: [%u]\r\n", u32(nameres_GetCacheSize())),
      format_line("cache     memcache size: [%u]MB\r\n", u32(seams::memstore_cache_size() >> kMiB)),
      format_line("cache     maxcache size: [%u]MB\r\n", u32(seams::memstore_max_cache_size() >> kMiB)),
      format_line("based-system cache size: [%u]MB\r\n", u32(system_used >> kMiB)),
  };
}

std::vector<std::string> cache_info_report() {
  const auto lu = [](uint64_t v) { return static_cast<unsigned long>(v); };
  return {
      "proxy -> debug: memory infomation:\r\n",
      format_line("quorin    memcache size: [%lu]\r\n", lu(edgeserv_GetCacheSize())),
      format_line("filter    memcache size: [%lu]\r\n", lu(seams::reqgate_cache_size())),
      format_line("pipe      memcache size: [%lu]\r\n", lu(conduit_GetCacheSize())),
      format_line("response  memcache size: [%lu]\r\n", lu(replier_GetCacheSize())),
      format_line("dns       memcache size: [%lu]\r\n", lu(nameres_GetCacheSize())),
      format_line("cache     memcache size: [%lu]\r\n", lu(seams::memstore_cache_size())),
      format_line("cache     maxcache size: [%lu]\r\n", lu(seams::memstore_max_cache_size())),
  };
}

}  // namespace vor::upfetch

using namespace vor::upfetch;

submodule_desc proxy = {371, "proxy", upfetch_init, upfetch_exit, upfetch_on_accept, upfetch_on_close, upfetch_on_read};

uint8_t upfetch_init(edgeserv_ctx* ctx) {
  vor::console_line("[zazudaza -> proxy] module init!\r\n");
  module().ctx.store(ctx);
  module().display.store(display_from(ctx ? ctx->config : nullptr));
  // Registered before proxy.ini is read: host statistics are on by default.
  edgeserv_AddWriteHook(upfetch__download_hook);
  read_proxy_ini();
  start_cache_info_timer(ctx);
  plugins::load();
  const plugins::ResponseWalks walks = plugins::response_walks();
  seams::import_plugin_response_entries(walks.head, walks.body, walks.body_x);
  seams::import_connect_by_upstream(module().settings.connect_by_upstream);
  module().addresses.build(local_addresses());
  return 1;
}

void upfetch_exit(edgeserv_ctx*) {
  vor::console_line("[zazudaza -> proxy] module exit!\r\n");
  plugins::exit_all();
  cu_log* log = edge_log();
  for (const std::string& line : exit_memory_report()) {
    if (log) cu_log_notice(log, "%s", line.c_str());
    vor::console_line("%s", line.c_str());
  }
}

uint8_t upfetch_on_accept(edgeserv_ctx*, int64_t sid, const char* ip, uint16_t) {
  // A plug-in that answers 0 takes the connection over: no limits, buffers or time-out here.
  if (!plugins::sock_init(sid, ip)) return 0;
  return accept_connection(kLiveAccept, sid);
}

void upfetch_on_close(edgeserv_ctx*, int64_t sid) {
  plugins::sock_exit(sid);
  if (!module().settings.host_statistics) return;
  std::optional<StatEntry> entry;
  {
    std::lock_guard<std::mutex> hold(module().stats_lock);
    auto it = module().stats.find(sid);
    if (it == module().stats.end()) return;
    entry = it->second;
    module().stats.erase(it);
  }
  // The rules store's counters are called outside the module lock.
  policydb_proxy_stat_SynUserConnectionDel(entry->user_id, entry->host_id);
}

uint64_t upfetch_GetAllUsedMemSize(void) {
  return seams::memstore_cache_size() + edgeserv_GetCacheSize() + seams::reqgate_cache_size() +
         conduit_GetCacheSize() + static_cast<uint64_t>(replier_GetCacheSize()) +
         static_cast<uint64_t>(nameres_GetCacheSize());
}

uint8_t upfetch__download_hook(int64_t sid, const char*, int32_t len) {
  if (!policydb_system_get_IsUsedPageViewStat()) return 1;
  std::optional<StatEntry> entry;
  {
    std::lock_guard<std::mutex> hold(module().stats_lock);
    auto it = module().stats.find(sid);
    if (it != module().stats.end()) entry = it->second;
  }
  if (entry) policydb_proxy_stat_SynDownloadCount(entry->user_id, entry->host_id, static_cast<uint64_t>(len));
  return 1;
}
