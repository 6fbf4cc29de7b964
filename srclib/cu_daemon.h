// cu_daemon: the records the daemon shares with its daemon modules, and the init step that the
// daemon's init walk and the edge server's walk over its sub-modules share. Modules are built
// separately and read these records in place, so their layouts are fixed.
#pragma once
#include "cu_config.h"
#include "cu_list.h"
#include "cu_log.h"
#include "cu_sem.h"
#include "vor_export.h"
#include <stddef.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

struct vor_bigbox;

/* The daemon context: one per process, zeroed at start, never freed. */
typedef struct daemon_ctx {
  cu_sem* lock;              /* created for the modules; the daemon never takes it */
  cu_log* log;               /* the daemon log */
  cu_list* modules;          /* module_desc pointers in load order */
  cu_config* config;         /* the daemon configuration */
  struct vor_bigbox* bigbox; /* the process's one bigbox */
} daemon_ctx;

typedef uint8_t (*module_init_fn)(daemon_ctx* ctx);
typedef void (*module_exit_fn)(daemon_ctx* ctx);

/* The daemon-module descriptor, exported by a module as a data symbol. */
typedef struct module_desc {
  const char* magic;     /* the module's identity text; not read by the loader */
  uint32_t version;      /* accepted when version / 100 == 3 */
  module_init_fn init;   /* 1 means success; anything else stops the init walk */
  module_exit_fn exit;   /* called once at shutdown */
  void* reserved[3];     /* further slots the daemon never calls */
} module_desc;

/* One step of an init walk (cu_list_foreach_if): runs desc->init(ctx); answers 1 (stop the
   walk) when init answered anything but 1, 0 when it answered 1 or there is nothing to run. */
VOR_API uint8_t edgeserv__call_init(void* desc, void* ctx);

VOR_EXTERN_C_END

#ifdef __cplusplus
static_assert(sizeof(daemon_ctx) == 5 * sizeof(void*), "daemon_ctx: five pointer-sized fields");
static_assert(offsetof(daemon_ctx, config) == 3 * sizeof(void*), "modules read the 4th field");
static_assert(offsetof(daemon_ctx, bigbox) == 4 * sizeof(void*), "modules read the 5th field");
static_assert(offsetof(module_desc, init) == 2 * sizeof(void*), "descriptor layout");
#endif
