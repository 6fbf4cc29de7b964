// The sub-module "filter": settings from filter.ini, the spider list, the plug-ins' disk-cache
// rewrite entries, the hooks other modules hand in, the exports on a record by its sid and the
// classification of each new request.
#include <atomic>
#include <cstdio>
#include <mutex>
#include <strings.h>
#include <string>
#include <vector>

#include "cu_config.h"
#include "cu_lib.h"
#include "cu_log.h"
#include "cu_module.h"
#include "reqgate.h"
#include "reqgate_internal.h"
#include "reqgate_session.h"
#include "seams.h"
#include "vor_bigbox.h"

namespace vor::reqgate {

namespace {

constexpr char kFilterIni[] = "../modules/zazudaza/filter.ini";
constexpr char kSpiderIni[] = "../modules/zazudaza/spider.ini";
constexpr char kPluginsIni[] = "../plugins/plugins.ini";

using RewriteEntry = uint8_t (*)(const char* key, http_parser* request, void* unused, char* key_buffer, uint8_t* skip,
                                 uint32_t* lifetime);

struct Module {
  std::atomic<edgeserv_ctx*> ctx{nullptr};
  std::atomic<reqgate_head_hook> head_hook{nullptr};
  std::atomic<reqgate_body_hook> body_hook{nullptr};
  std::atomic<reqgate_ext_body_hook> ext_body_hook{nullptr};
  std::atomic<uint8_t> connect_by_upstream{0};
  std::atomic<reqgate_session_learned_fn> session_learned{nullptr};
  std::atomic<reqgate_session_deleted_fn> session_deleted{nullptr};
  std::atomic<reqgate_url_purge_fn> url_purge{nullptr};
  std::vector<cu_module*> rewrite_libraries;
  std::vector<RewriteEntry> rewrite_list;
};

Module& module() {
  static Module* instance = new Module();
  return *instance;
}

void console_line(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

cu_log* edge_log() {
  edgeserv_ctx* ctx = module().ctx.load();
  return ctx ? ctx->log : nullptr;
}

bool on_unless_zero(cu_config* ini, const char* key, bool absent) {
  const char* v = cu_config_GetKey(ini, "system", key);
  return v ? cu_atoll(v) != 0 : absent;
}

void read_filter_ini() {
  cu_config* ini = cu_config_make(kFilterIni);
  Settings s;
  if (!ini) {
    constexpr char kMissing[] = "[zazudaza -> filter] cann't open 'modules/zazudaza/filter.ini' file!\r\n";
    std::fputs(kMissing, stderr);
    std::fflush(stderr);
    if (cu_log* log = edge_log()) cu_log_error(log, "%s", kMissing);
    s.max_ssd_cache_file_size = 5242880;
    s.sessioncache_refresh = 0;
    settings() = s;
    return;
  }
  s.debug_http = on_unless_zero(ini, "debug_http", false);
  s.diskcache_rewrite_ext = cu_config_GetKeyBool(ini, "system", "enable_diskcache_rewrite_ext", 1);
  s.fcache_extension = on_unless_zero(ini, "enable_fcache_extension", true);
  s.diskcache_index_txn = on_unless_zero(ini, "enable_diskcache_index_txn", true);
  s.max_ssd_cache_file_size = cu_config_GetKeyUint32(ini, "system", "max_ssd_cache_file_size", 524288);
  s.cache_404_timeout = cu_config_GetKeyUint32(ini, "system", "cache_404_not_found_timeout", 16);
  s.mem_cache_30x = cu_config_GetKeyInt64(ini, "system", "IsMemCacheForResponseStatus30X", 0) != 0;
  if (const char* ext = cu_config_GetKey(ini, "system", "DefaultDiskCacheFileExternName")) s.disk_file_extension = ext;
  s.default_intelligent_timeout =
      static_cast<uint32_t>(cu_config_GetKeyInt64(ini, "system", "default_intelligent_cache_timeout", 1));
  const char* refresh = cu_config_GetKey(ini, "system", "sessioncache_refresh");
  s.sessioncache_refresh = static_cast<int32_t>(cu_atoll(refresh ? refresh : "300"));
  settings() = s;
  cu_config_free(ini);
}

void read_spider_list() {
  spider_list().clear();
  cu_config* ini = cu_config_make(kSpiderIni);
  if (!ini) return;
  for (int i = 0; i < 100; ++i) {
    const std::string key = "spider-" + std::to_string(i);
    const char* v = cu_config_GetKey(ini, "spider", key.c_str());
    if (v && std::string_view(v).size() > 1) spider_list().emplace_back(v);
  }
  cu_config_free(ini);
}

void load_rewrite_list() {
  cu_config* ini = cu_config_make(kPluginsIni);
  if (!ini) return;
  for (int i = 0; i < 256; ++i) {
    const std::string key = "plugin-" + std::to_string(i);
    const char* name = cu_config_GetKey(ini, "plugins", key.c_str());
    if (!name || !*name) continue;
    const std::string path = std::string("../plugins/") + name;
    cu_module* library = cu_module_open(path.c_str());
    if (!library) {
      std::printf("[quorin -> zazudaza -> plugin] plugin '%s' load fail!\r\n", name);
      std::fflush(stdout);
      if (cu_log* log = edge_log()) cu_log_warn(log, "[plugin] plugin '%s' load fail!\r\n", name);
      continue;
    }
    auto entry = reinterpret_cast<RewriteEntry>(cu_module_symbol(library, "quo_plugin_diskcache_rewrite"));
    if (!entry) {
      cu_module_close(library);
      continue;
    }
    module().rewrite_libraries.push_back(library);
    module().rewrite_list.push_back(entry);
    trace("[zazudaza -> plugin -> diskcacherewrite] plugin '%s' load!\r\n", name);
  }
  cu_config_free(ini);
}

bool display_from(cu_config* config) {
  const char* v = config ? cu_config_GetKey(config, "system", "display_console") : nullptr;
  return !v || cu_atoll(v) == 1;
}

}  // namespace

size_t rewrite_entry_count() { return module().rewrite_list.size(); }

bool call_rewrite_list(const char* key, http_parser* request, char* key_buffer, uint8_t* skip, uint32_t* lifetime) {
  for (RewriteEntry entry : module().rewrite_list) {
    if (entry(key, request, nullptr, key_buffer, skip, lifetime) == 1) return true;
  }
  return false;
}

ResponseHooks response_hooks() {
  return {module().head_hook.load(), module().body_hook.load(), module().ext_body_hook.load()};
}
reqgate_url_purge_fn url_purge_hook() { return module().url_purge.load(); }
reqgate_session_learned_fn session_learned_hook() { return module().session_learned.load(); }
bool connect_by_upstream() { return module().connect_by_upstream.load() != 0; }
edgeserv_ctx* edge_context() { return module().ctx.load(); }

RefreshSettings& refresh_settings() {
  static RefreshSettings instance;
  return instance;
}

// The group X-RefreshCacheURL of the edge server's settings: icase ("true" or a number) and rules.
void read_refresh_settings(cu_config* edge_config) {
  RefreshSettings s;
  const char* icase = edge_config ? cu_config_GetKey(edge_config, "X-RefreshCacheURL", "icase") : nullptr;
  if (icase) s.icase = (strcasecmp(icase, "true") == 0 || cu_atoll(icase) != 0) ? 1 : 0;
  const char* rules = edge_config ? cu_config_GetKey(edge_config, "X-RefreshCacheURL", "rules") : nullptr;
  if (rules) {
    const long long r = cu_atoll(rules);
    s.rules = (r >= 0 && r <= 2) ? static_cast<uint8_t>(r) : 2;
  }
  refresh_settings() = s;
}

}  // namespace vor::reqgate

using namespace vor::reqgate;

submodule_desc filter = {371, "filter", reqgate_module_init, reqgate_module_exit, nullptr, reqgate_on_close, nullptr};

uint8_t reqgate_module_init(edgeserv_ctx* ctx) {
  console_line("[zazudaza -> filter] module init!\r\n");
  module().ctx.store(ctx);
  set_console_trace(display_from(ctx ? ctx->config : nullptr));
  session_store_init();
  read_refresh_settings(ctx ? ctx->config : nullptr);
  read_filter_ini();
  if (ctx && ctx->daemon && ctx->daemon->bigbox) {
    start_session_sweep(vor_bigbox_GetMasterBox(ctx->daemon->bigbox), settings().sessioncache_refresh);
  }
  read_spider_list();
  access_init(ctx && ctx->daemon && ctx->daemon->bigbox ? vor_bigbox_GetMasterBox(ctx->daemon->bigbox) : nullptr);
  load_rewrite_list();
  allow_cleaning();
  open_index_stores();
  afile_init();
  if (ctx && ctx->daemon && ctx->daemon->bigbox) arm_index_flush(vor_bigbox_GetMasterBox(ctx->daemon->bigbox));
  return 1;
}

void reqgate_module_exit(edgeserv_ctx*) {
  console_line("[zazudaza -> filter] module exit!\r\n");
  stop_index_scans();
  stop_cleaning();
  index_close();
  content_close();
  access_exit();
  reqgate_CleanSessionCaches();
}

void reqgate_on_close(edgeserv_ctx*, int64_t sid) {
  cancel_disk_read(sid);
  finish_client_record(sid, false);
}

void reqgate_ImportPluginResponseEntry_v2(reqgate_head_hook head, reqgate_body_hook body,
                                          reqgate_ext_body_hook ext_body) {
  module().head_hook.store(head);
  module().body_hook.store(body);
  module().ext_body_hook.store(ext_body);
}

void reqgate_ImportValueOfCONNECTByUpstream(uint8_t value) { module().connect_by_upstream.store(value); }

void reqgate_ImportClusterFunction(reqgate_session_learned_fn learned, reqgate_session_deleted_fn deleted,
                                   reqgate_url_purge_fn purge) {
  module().session_learned.store(learned);
  module().session_deleted.store(deleted);
  module().url_purge.store(purge);
}

uint8_t reqgate_plugin__IsCompleteContent(int64_t response_sid) {
  FilterRecord* record = record_by_response(response_sid);
  return record && integrity_complete(record->integrity) ? 1 : 0;
}

uint8_t reqgate_plugin__CancelDiskCache(int64_t response_sid) {
  FilterRecord* record = record_by_response(response_sid);
  if (!record) return 0;
  record->decision.no_disk = 1;
  if (record->writing) writer_abort(record->cache_file_path.c_str());
  record->writing = 0;
  return 1;
}

uint8_t reqgate_plugin__CancelMemCache(int64_t response_sid) {
  FilterRecord* record = record_by_response(response_sid);
  if (!record) return 0;
  if (record->decision.keep_memory_copy) {
    cu_xjitter_empty(&record->body);
    record->decision.keep_memory_copy = 0;
  }
  return 1;
}

uint64_t reqgate_GetCacheSize(void) {
  return pools_in_use() + disk_pools_in_use() + reqgate_GetSessionCacheSize();
}

uint8_t reqgate_NewRequest_v4(int64_t client_sid, http_parser* request, const char* cache_key, uint8_t* cache_kind,
                              uint8_t* icookie, uint32_t* lifetime, uint8_t* disk_permitted, uint8_t* disk_refused) {
  if (!request || !cache_kind || !icookie || !lifetime || !disk_permitted || !disk_refused) return 0;
  const char* key = cache_key ? cache_key : "";
  if (settings().debug_http) {
    std::printf("[ZazUdaza -> Filter -> Request -> HTTP] %s\r\n%s", key, http_parser_GetStr(request));
    std::fflush(stdout);
  }
  // The disk answer in flight goes out first: a pipelined request must not overtake it.
  if (seams::disk_read_pending(client_sid)) return 0;
  std::string old_key;
  if (finish_client_record(client_sid, true, &old_key) == Lookup::kIncomplete) {
    trace("[zazudaza -> filter -> NoIntegrity] %s -> %s\r\n", old_key.c_str(), key);
    return 0;
  }
  Admission out{*cache_kind, *icookie, *lifetime, *disk_permitted, *disk_refused};
  admit(request, key, out);
  *cache_kind = out.cache_kind;
  *icookie = out.icookie;
  *lifetime = out.lifetime;
  *disk_permitted = out.disk_permitted;
  *disk_refused = out.disk_refused;
  return 1;
}

uint8_t reqgate_NewRequest(int64_t client_sid, http_parser* request, const char* cache_key, uint8_t* cache_kind,
                           uint8_t* icookie, uint32_t* lifetime) {
  uint8_t disk_permitted = 1;
  uint8_t disk_refused = 0;
  return reqgate_NewRequest_v4(client_sid, request, cache_key, cache_kind, icookie, lifetime, &disk_permitted,
                               &disk_refused);
}
