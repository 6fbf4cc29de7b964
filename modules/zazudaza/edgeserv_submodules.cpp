// The web-cache sub-modules: the loader over [modules] of zazudaza.ini and the walks that call
// their slots. The list is only appended to during init, so the walks read it without a lock;
// every slot runs with no client record locked.
#include <dlfcn.h>
#include <stdio.h>

#include <string>

#include "cu_module.h"
#include "edgeserv_internal.h"

namespace edge {
namespace {

constexpr int kSubmoduleIndexes = 1000;

const char* modules_key(cu_config* config, const char* format, int index) {
  char key[32];
  snprintf(key, sizeof key, format, index);
  return cu_config_GetKey(config, "modules", key);
}

// The console line (ending "\n") and the same line as a log warning (ending "\r\n").
void report(edgeserv_ctx* ctx, const std::string& line) {
  console((line + "\n").c_str());
  cu_log_warn(ctx->log, "%s\r\n", line.c_str());
}

std::string format_line(const char* format, const char* a, const char* b) {
  char line[1024];
  snprintf(line, sizeof line, format, a, b);
  return line;
}

// Loads one library and lists its descriptor; every failure is reported and the library unloaded.
void load_one(edgeserv_ctx* ctx, const std::string& module_value, const char* export_name) {
  const std::string path = "../modules/" + module_value;
  cu_module* library = cu_module_open(path.c_str());
  if (!library) {
    report(ctx, format_line("[quorin -> zazudaza] module '%s' load fail!", path.c_str(), nullptr));
    if (const char* reason = dlerror()) report(ctx, reason);
    return;
  }
  auto* desc = static_cast<submodule_desc*>(cu_module_symbol(library, export_name));
  if (!desc) {
    report(ctx, format_line("[quorin -> zazudaza] module '%s' export symbol '%s' error!", path.c_str(), export_name));
    cu_module_close(library);
    return;
  }
  if (desc->version < 300) {
    char line[512];
    snprintf(line, sizeof line, "[quorin -> zazudaza] module '%s' version('%d') error!", module_value.c_str(),
             static_cast<int>(desc->version));
    report(ctx, line);
    cu_module_close(library);
    return;
  }
  if (desc->name && *desc->name) {
    if (cu_stree_find(ctx->names, desc->name, nullptr)) {
      report(ctx, format_line("[quorin -> zazudaza] module '%s' magic ('%s') is already loaded!", module_value.c_str(),
                              desc->name));
      cu_module_close(library);
      return;
    }
    cu_stree_insert(ctx->names, desc->name, desc);
  }
  if (!cu_list_append_s(&ctx->submodules, desc)) {
    if (desc->name && *desc->name) cu_stree_delete(ctx->names, desc->name);
    cu_module_close(library);
    return;
  }
  // Accepted libraries stay loaded for the life of the process; only the handle record goes.
  library->library = nullptr;
  cu_module_close(library);
}

// One step of the init walk (cu_list_foreach_if): 1 stops the walk.
uint8_t call_submodule_init(void* desc, void* ctx) {
  auto* module = static_cast<submodule_desc*>(desc);
  if (!module || !module->init) return 0;
  return module->init(static_cast<edgeserv_ctx*>(ctx)) != 1 ? 1 : 0;
}

template <typename Visit>
void each_submodule(edgeserv_ctx* ctx, Visit visit) {
  expect_unlocked();
  for (cu_list* node = ctx ? ctx->submodules : nullptr; node; node = node->next) {
    if (!visit(static_cast<submodule_desc*>(node->data))) return;
  }
}

}  // namespace

void load_submodules(edgeserv_ctx* ctx) {
  for (int index = 0; index < kSubmoduleIndexes; ++index) {
    const char* module_value = modules_key(ctx->config, "module-%d", index);
    if (!module_value) continue;
    std::string value = module_value;
    for (char& c : value)
      if (c == '\\') c = '/';
    if (value.empty()) continue;
    const char* export_name = modules_key(ctx->config, "export-%d", index);
    if (!export_name || !*export_name) continue;
    load_one(ctx, value, export_name);
  }
}

void init_walk(edgeserv_ctx* ctx) {
  expect_unlocked();
  cu_list_foreach_if(ctx->submodules, call_submodule_init, ctx);
}

void exit_walk(edgeserv_ctx* ctx) {
  each_submodule(ctx, [ctx](submodule_desc* m) {
    if (m->exit) m->exit(ctx);
    return true;
  });
}

void accept_walk(edgeserv_ctx* ctx, int64_t sid, const char* ip, uint16_t port) {
  each_submodule(ctx, [&](submodule_desc* m) { return !m->on_accept || m->on_accept(ctx, sid, ip, port) == 1; });
}

void read_walk(edgeserv_ctx* ctx, int64_t sid, const char* chunk, int32_t len, const char* body, int32_t body_len) {
  each_submodule(ctx, [&](submodule_desc* m) {
    return !m->on_read || m->on_read(ctx, sid, chunk, len, body, body_len) == 1;
  });
}

void close_walk(edgeserv_ctx* ctx, int64_t sid) {
  each_submodule(ctx, [&](submodule_desc* m) {
    if (m->on_close) m->on_close(ctx, sid);
    return true;
  });
}

}  // namespace edge
