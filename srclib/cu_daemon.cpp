#include "cu_daemon.h"

uint8_t edgeserv__call_init(void* desc, void* ctx) {
  const module_desc* module = static_cast<const module_desc*>(desc);
  if (!module || !module->init) return 0;
  return module->init(static_cast<daemon_ctx*>(ctx)) != 1 ? 1 : 0;
}
