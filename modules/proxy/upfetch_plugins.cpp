// The plug-in host: loading from plugins.ini, the entry points looked up per library, and the
// walks in load order that stop at the first refusal.
#include "upfetch_plugins.h"

#include "cu_config.h"
#include "cu_log.h"
#include "cu_module.h"
#include "upfetch.h"
#include "upfetch_internal.h"
#include "upfetch_request.h"
#include "vor_kit.h"

#include <dlfcn.h>

#include <atomic>
#include <string>
#include <vector>

namespace vor::upfetch::plugins {

namespace {

constexpr char kPluginsIni[] = "../plugins/plugins.ini";
constexpr char kPluginsDir[] = "../plugins/";
constexpr int kMaxPlugins = 256;

struct Entry {
  quo_plugin_init_fn init = nullptr;
  quo_plugin_exit_fn exit = nullptr;
  quo_plugin_sock_init_fn sock_init = nullptr;
  quo_plugin_sock_exit_fn sock_exit = nullptr;
  quo_plugin_request_http_fn request_http = nullptr;
  quo_plugin_request_content_fn request_content = nullptr;
  quo_plugin_response_http_fn response_http = nullptr;
  quo_plugin_response_content_fn response_content = nullptr;
  quo_plugin_response_content_x_fn response_content_x = nullptr;
};

// Filled once at init on the main thread, read afterwards by every thread: the list is complete
// before the edge server accepts, and never changes later.
struct Host {
  std::vector<Entry> entries;
  int with_sock_init = 0, with_sock_exit = 0, with_request_http = 0, with_request_content = 0;
  int with_response_http = 0, with_response_content = 0, with_response_content_x = 0;
};

Host& host() {
  static Host h;
  return h;
}

template <typename Fn>
void look_up(cu_module* m, const char* name, Fn& field, int& count) {
  field = reinterpret_cast<Fn>(cu_module_symbol(m, name));
  if (field) ++count;
}

Entry entry_of(cu_module* m) {
  Host& h = host();
  int unused = 0;
  Entry e;
  look_up(m, "quo_plugin_init", e.init, unused);
  look_up(m, "quo_plugin_exit", e.exit, unused);
  look_up(m, "quo_plugin_sock_init", e.sock_init, h.with_sock_init);
  look_up(m, "quo_plugin_sock_exit", e.sock_exit, h.with_sock_exit);
  look_up(m, "quo_plugin_request_http", e.request_http, h.with_request_http);
  look_up(m, "quo_plugin_request_content", e.request_content, h.with_request_content);
  look_up(m, "quo_plugin_response_http", e.response_http, h.with_response_http);
  look_up(m, "quo_plugin_response_content", e.response_content, h.with_response_content);
  look_up(m, "quo_plugin_response_content_x", e.response_content_x, h.with_response_content_x);
  return e;
}

void report_load_failure(const char* name) {
  vor::console_line("[quorin -> zazudaza -> plugin] plugin '%s' load fail!\r\n", name);
  const char* why = dlerror();
  if (why) vor::console_line("%s\r\n", why);
  edgeserv_ctx* ctx = module().ctx.load();
  if (ctx && ctx->log) cu_log_warn(ctx->log, "[plugin] plugin '%s' load fail!\r\n", name);
}

// Calls hook(entry) for each plug-in exporting it, in load order, until one answers 0.
template <typename Call>
uint8_t walk(int count, Call&& call) {
  if (count == 0) return 1;
  for (const Entry& e : host().entries) {
    if (!call(e)) return 0;
  }
  return 1;
}

}  // namespace

void load() {
  cu_config* ini = cu_config_make(kPluginsIni);
  if (!ini) return;
  for (int n = 0; n < kMaxPlugins; ++n) {
    const std::string key = "plugin-" + std::to_string(n);
    const char* value = cu_config_GetKey(ini, "plugins", key.c_str());
    if (!value || !*value) continue;
    cu_module* m = cu_module_open((std::string(kPluginsDir) + value).c_str());
    if (!m) {
      report_load_failure(value);
      continue;
    }
    vor::console_line("[zazudaza -> %s] plugin load!\r\n", value);
    host().entries.push_back(entry_of(m));
  }
  cu_config_free(ini);
  for (const Entry& e : host().entries) {
    if (e.init) e.init();
  }
}

void exit_all() {
  for (const Entry& e : host().entries) {
    if (e.exit) e.exit();
  }
}

uint8_t sock_init(int64_t sid, const char* ip) {
  return walk(host().with_sock_init, [&](const Entry& e) { return !e.sock_init || e.sock_init(sid, ip); });
}

void sock_exit(int64_t sid) {
  walk(host().with_sock_exit, [&](const Entry& e) {
    if (e.sock_exit) e.sock_exit(sid);
    return true;
  });
}

uint8_t request_http(int64_t sid, http_parser* request) {
  return walk(host().with_request_http, [&](const Entry& e) { return !e.request_http || e.request_http(sid, request); });
}

ResponseWalks response_walks() {
  const Host& h = host();
  return {h.with_response_http ? upfetch__response_http_hook : nullptr,
          h.with_response_content ? upfetch__response_content_hook : nullptr,
          h.with_response_content_x ? upfetch__response_content_x_hook : nullptr};
}

void reset_for_tests() { host() = Host{}; }

}  // namespace vor::upfetch::plugins

using vor::upfetch::plugins::host;
using vor::upfetch::plugins::walk;
using Entry = vor::upfetch::plugins::Entry;

void upfetch_load_plugins(void) { vor::upfetch::plugins::load(); }

uint8_t upfetch__request_content_hook(int64_t sid, http_parser* request, const char* data, uint32_t len) {
  return walk(host().with_request_content,
              [&](const Entry& e) { return !e.request_content || e.request_content(sid, request, data, len); });
}

uint8_t upfetch__response_http_hook(int64_t sid, http_parser* request, int64_t response_sid, http_parser* response,
                                    uint8_t from_cache) {
  return walk(host().with_response_http, [&](const Entry& e) {
    return !e.response_http || e.response_http(sid, request, response_sid, response, from_cache);
  });
}

uint8_t upfetch__response_content_hook(int64_t sid, http_parser* request, int64_t response_sid, http_parser* response,
                                       uint8_t from_cache, const char* data, int32_t len) {
  return walk(host().with_response_content, [&](const Entry& e) {
    return !e.response_content || e.response_content(sid, request, response_sid, response, from_cache, data, len);
  });
}

// Each plug-in sees the chunk as the plug-ins before it left it: the pointers are shared.
uint8_t upfetch__response_content_x_hook(int64_t sid, http_parser* request, int64_t response_sid,
                                         http_parser* response, uint8_t from_cache, uint8_t last, char** data,
                                         int32_t* len, quo_plugin_free_fn* free_fn, void** free_arg) {
  if (!data || !len) return 0;
  const int count = host().with_response_content_x + host().with_response_content;
  return walk(count, [&](const Entry& e) {
    if (e.response_content_x) {
      return e.response_content_x(sid, request, response_sid, response, from_cache, last, data, len, free_fn,
                                  free_arg) != 0;
    }
    if (e.response_content) return e.response_content(sid, request, response_sid, response, from_cache, *data, *len) != 0;
    return true;
  });
}
