#include <dlfcn.h>
#include <stdio.h>

#include <string>

#include "cu_module.h"
#include "quorind.h"

namespace {

constexpr int kModuleIndexes = 256;
// The library path is formed in 208 bytes with its terminator.
constexpr size_t kModulePathSize = 208;

const char* nonempty_key(cu_config* config, const char* format, int index) {
  char key[32];
  snprintf(key, sizeof key, format, index);
  const char* value = cu_config_GetKey(config, "modules", key);
  return value && *value ? value : nullptr;
}

void report(daemon_ctx* ctx, const char* line) {
  fputs(line, stdout);
  fflush(stdout);
  cu_log_warn(ctx->log, "%s", line);
}

void load_fail(daemon_ctx* ctx, const char* path) {
  char line[512];
  snprintf(line, sizeof line, "[Quorin] module '%s' load fail!\r\n", path);
  report(ctx, line);
  if (const char* reason = dlerror()) {
    snprintf(line, sizeof line, "%s\r\n", reason);
    report(ctx, line);
  }
}

void load_one(daemon_ctx* ctx, const char* module_value, const char* export_name) {
  char path[kModulePathSize];
  const int n = snprintf(path, sizeof path, "../modules/%s", module_value);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
    load_fail(ctx, (std::string("../modules/") + module_value).c_str());
    return;
  }
  cu_module* module = cu_module_open(path);
  if (!module) {
    load_fail(ctx, path);
    return;
  }
  char line[640];
  const module_desc* desc = static_cast<const module_desc*>(cu_module_symbol(module, export_name));
  if (!desc) {
    snprintf(line, sizeof line, "[Quorin] module '%s' export symbol '%s' error!\r\n", path, export_name);
    report(ctx, line);
    cu_module_close(module);
    return;
  }
  if (desc->version / 100 != 3) {
    snprintf(line, sizeof line, "[Quorin] module '%s' version('%d') error!\r\n", module_value,
             static_cast<int>(desc->version));
    report(ctx, line);
    cu_module_close(module);
    return;
  }
  if (!cu_list_append_s(&ctx->modules, const_cast<module_desc*>(desc))) {
    cu_module_close(module);
    return;
  }
  // The library stays loaded for the life of the process; only the handle record goes.
  module->library = nullptr;
  cu_module_close(module);
}

}  // namespace

int quorind_load_modules(daemon_ctx* ctx) {
  for (int index = 0; index < kModuleIndexes; ++index) {
    const char* module_value = nonempty_key(ctx->config, "module-%d", index);
    if (!module_value) continue;
    const char* export_name = nonempty_key(ctx->config, "export-%d", index);
    if (!export_name) continue;
    load_one(ctx, module_value, export_name);
  }
  return 0;
}

void quorind_exit_module(void* desc, void* ctx) {
  const module_desc* module = static_cast<const module_desc*>(desc);
  if (module && module->exit) module->exit(static_cast<daemon_ctx*>(ctx));
}
