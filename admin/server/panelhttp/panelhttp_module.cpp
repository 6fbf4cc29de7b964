// The server module: its descriptor, init (settings, admin modules, listener) and exit, and the
// record every other file of the server reads.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <new>
#include <string>

#include "cu_config.h"
#include "cu_log.h"
#include "cu_module.h"
#include "panelhttp_internal.h"

namespace vor::panelhttp {

Settings g_settings;
std::atomic<int64_t> g_recv_bytes{0};
std::atomic<int64_t> g_sent_bytes{0};
std::atomic<int64_t> g_charge{0};

namespace {

panelhttp_ctx* g_ctx = nullptr;
thread_local int t_lock_depth = 0;

void vprint(const char* format, va_list args) {
  vfprintf(stdout, format, args);
  fflush(stdout);
}

const char* nonempty(cu_config* config, const char* group, const char* key) {
  const char* value = cu_config_GetKey(config, group, key);
  return value && *value ? value : nullptr;
}

// Numbers of vuved.ini read as decimal text: blanks and a sign first, digits up to the first
// other character, no digits: 0.
int64_t read_number(const char* text) { return strtoll(text, nullptr, 10); }

// A loader line: printed and logged as a warning, whatever display_console says.
void loader_line(const std::string& line) {
  print("%s\n", line.c_str());
  cu_log_warn(g_ctx->log, "%s\r\n", line.c_str());
}

void load_module(int index) {
  char key[32];
  snprintf(key, sizeof key, "module-%d", index);
  const char* module_value = nonempty(g_ctx->settings, "modules", key);
  if (!module_value) return;
  snprintf(key, sizeof key, "export-%d", index);
  const char* export_name = nonempty(g_ctx->settings, "modules", key);
  if (!export_name) return;
  std::string file = module_value;
  for (char& c : file) {
    if (c == '\\') c = '/';
  }
  const std::string path = "../modules/" + file;
  cu_module* module = cu_module_open(path.c_str());
  if (!module) {
    loader_line("[quorin -> vuved] module '" + path + "' load fail!");
    return;
  }
  const auto* desc = static_cast<const vuved_module_desc*>(cu_module_symbol(module, export_name));
  if (!desc) {
    loader_line("[quorin -> vuved] module '" + path + "' export symbol '" + export_name + "' error!");
    cu_module_close(module);
    return;
  }
  if (desc->version < 300) {
    loader_line("[quorin -> vuved] module '" + file + "' version('" + std::to_string(static_cast<int>(desc->version)) +
                "') error!");
    cu_module_close(module);
    return;
  }
  if (!route_module(desc, file)) {
    cu_module_close(module);
    return;
  }
  // Modules stay loaded for the life of the process; only the handle record goes.
  module->library = nullptr;
  cu_module_close(module);
}

// Each walk stops at its own first init that does not answer 1.
void init_modules() {
  panelhttp_server* s = g_ctx->server;
  auto walk = [](auto&& descs) {
    for (const vuved_module_desc* desc : descs) {
      if (desc->init && desc->init(g_ctx) != 1) return;
    }
  };
  for (auto* tree : {&s->uripaths, &s->filenames, &s->extnames}) {
    std::vector<const vuved_module_desc*> descs;
    for (auto& [key, desc] : *tree) descs.push_back(desc);
    walk(descs);
  }
  walk(s->catch_all);
}

void listen_admin_port() {
  cu_config* config = g_ctx->daemon ? g_ctx->daemon->config : nullptr;
  const char* value = cu_config_GetKey(config, "system", "admin_port");
  if (!value) {
    if (cu_config_GetKey(config, "system", "vuved_port")) return;
    print("error: config 'system->admin_port' cann't be found!\n");
    cu_log_printf(g_ctx->log, "config 'system->admin_port' cann't be found!\r\n");
    return;
  }
  const std::string text = value;
  const size_t colon = text.find(':');
  const std::string ip = colon == std::string::npos ? std::string() : text.substr(0, colon);
  const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
  g_ctx->listener = vor_bigbox_attach(bigbox(), ip.empty() ? nullptr : ip.c_str(),
                                      static_cast<uint16_t>(read_number(port.c_str())), on_accept, g_ctx);
  if (g_ctx->listener <= 0) {
    print("[quorin -> vuved] config 'system->admin_port->%s' cann't be listened!\n", value);
    cu_log_printf(g_ctx->log, "[quorin -> vuved] config 'system->admin_port->%s' cann't be listened!\r\n", value);
  }
}

void read_settings() {
  cu_config* ini = g_ctx->settings;
  const char* display = cu_config_GetKey(ini, "system", "display_console");
  g_settings.display_console = !display || read_number(display) == 1;
  filecache_configure(ini);
  if (const char* v = cu_config_GetKey(ini, "system", "max_formsize")) {
    g_settings.max_formsize = static_cast<uint32_t>(read_number(v) * 1024);
  }
  auto text_or = [&](const char* key, const char* def) {
    const char* v = cu_config_GetKey(ini, "system", key);
    return v ? v : def;
  };
  g_settings.tcp_nodelay = read_number(text_or("tcp_nodelay", "1")) != 0;
  g_settings.tcp_send_buff = static_cast<uint16_t>(read_number(text_or("tcp_send_buff", "32"))) * 1024;
  g_settings.tcp_recv_buff = static_cast<uint16_t>(read_number(text_or("tcp_recv_buff", "8"))) * 1024;
}

bool open_file(cu_config** out, const char* path, const char* what, const char* name) {
  *out = cu_config_make(path);
  if (*out) return true;
  print("[quorin -> vuved] %s file '%s' open fail!\n", what, name);
  cu_log_printf(g_ctx->log, "[quorin -> vuved] %s file '%s' open fail!\r\n", what, name);
  return false;
}

uint8_t init(daemon_ctx* daemon) {
  print("[quorin -> vuved] module init!\n");
  if (g_ctx) return 1;
  auto* c = static_cast<panelhttp_ctx*>(calloc(1, sizeof(panelhttp_ctx)));
  auto* server = new (std::nothrow) panelhttp_server;
  if (!c || !server) {
    free(c);
    delete server;
    return 1;
  }
  c->daemon = daemon;
  c->server = server;
  cu_sem_init(&c->lock);
  c->log = cu_log_malloc("../logs/vuved.log");
  g_ctx = c;
  if (!open_file(&c->settings, "../modules/vuved.ini", "config", "vuved.ini")) return 1;
  if (!open_file(&c->mime, "../modules/vuved.mime", "mime", "vuved.mime")) return 1;
  for (int index = 0; index <= 999; ++index) load_module(index);
  init_modules();
  // Settings first, so that the first connection already sees them.
  read_settings();
  listen_admin_port();
  return 1;
}

void exit_server(daemon_ctx*) {
  if (!g_ctx) return;
  print("[quorin -> vuved] module exit!\n");
  if (!g_ctx->server) return;
  for_each_module([](const vuved_module_desc* desc) {
    if (desc->exit) desc->exit(g_ctx);
  });
}

}  // namespace

bool route_module(const vuved_module_desc* desc, const std::string& file) {
  panelhttp_server* s = g_ctx->server;
  struct Route {
    const char* key;
    std::map<std::string, const vuved_module_desc*>* tree;
    const char* name;
  };
  const Route routes[] = {{desc->uripath, &s->uripaths, "uripath"},
                          {desc->filename, &s->filenames, "filename"},
                          {desc->extname, &s->extnames, "extname"}};
  for (const Route& r : routes) {
    if (!r.key || !*r.key) continue;
    if (r.tree->emplace(r.key, desc).second) return true;
    loader_line("[quorin -> vuved] module '" + file + "' " + r.name + "('" + r.key + "') is already loaded!");
    return false;
  }
  s->catch_all.push_back(desc);
  return true;
}

panelhttp_ctx* ctx() { return g_ctx; }
vor_bigbox* bigbox() { return g_ctx && g_ctx->daemon ? g_ctx->daemon->bigbox : nullptr; }

ServerLock::ServerLock() { lock(); }

void ServerLock::lock() {
  if (held_ || !g_ctx) return;
  cu_sem_lock(&g_ctx->lock);
  ++t_lock_depth;
  held_ = true;
}

void ServerLock::unlock() {
  if (!held_) return;
  --t_lock_depth;
  cu_sem_unlock(&g_ctx->lock);
  held_ = false;
}

bool lock_held() { return t_lock_depth > 0; }

void expect_unlocked() {
#ifndef NDEBUG
  if (t_lock_depth > 0) {
    fprintf(stderr, "panelhttp: the server lock is held where a callback runs\n");
    abort();
  }
#endif
}

void console(const char* format, ...) {
  if (!g_settings.display_console) return;
  va_list args;
  va_start(args, format);
  vprint(format, args);
  va_end(args);
}

void print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprint(format, args);
  va_end(args);
}

}  // namespace vor::panelhttp

using namespace vor::panelhttp;

module_desc panelhttp = {"quorin_simple_http_server", 301, panelhttp_init, panelhttp_exit, {}};

uint8_t panelhttp_init(daemon_ctx* ctx) { return init(ctx); }
void panelhttp_exit(daemon_ctx* ctx) { exit_server(ctx); }
panelhttp_ctx* panelhttp_GetHandle(void) { return ctx(); }
const char* panelhttp_VersionString(void) { return "3.4.2"; }
int64_t panelhttp_GetTotalSendBytes(void) { return g_sent_bytes.load(std::memory_order_relaxed); }
int64_t panelhttp_GetTotalRecvBytes(void) { return g_recv_bytes.load(std::memory_order_relaxed); }
int32_t panelhttp_GetReadableLen(void) { return 0; }

int64_t panelhttp_GetCacheSize(void) {
  const int64_t connections = bigbox() ? vor_bigbox_nnodes(bigbox()) : 0;
  return g_charge.load(std::memory_order_relaxed) + connections * 49152 + filecache_data_bytes();
}

void panelhttp_XmemDebug(int64_t* used, int64_t* free_bytes) {
  if (used) *used = filecache_data_bytes() + session_bytes();
  if (free_bytes) *free_bytes = 0;
}
