// panelhttp: the admin HTTP server. A daemon module that listens on the admin port, reads
// requests, maps each onto the web root and hands it to the admin module that owns its URL
// path, file name or extension (else to the catch-all modules in load order). Admin modules
// answer through the connection writer, keep logins as sessions and read files through the
// file cache, all exported here.
#pragma once
#include "cu_config.h"
#include "cu_daemon.h"
#include "cu_log.h"
#include "cu_sem.h"
#include "vor_export.h"
#include "vor_http_table.h"
#include <stddef.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

struct panelhttp_server;
struct panelhttp_tasks;
struct vor_box;
typedef struct RTParser RTParser;
typedef struct vor_http_filter vor_http_filter_request;

/* The server: one per process, made by init, never freed. Other modules take its lock and
   write to its log directly. */
typedef struct panelhttp_ctx {
  daemon_ctx* daemon;               /* given to init: configuration and bigbox */
  int64_t listener;                 /* admin listening sid; 0 or negative when not listening */
  cu_sem lock;                      /* the server lock (re-entrant) */
  cu_log* log;                      /* ../logs/vuved.log */
  cu_config* settings;              /* ../modules/vuved.ini */
  cu_config* mime;                  /* ../modules/vuved.mime */
  struct panelhttp_server* server;  /* connection table, module lists and trees: the server's own */
} panelhttp_ctx;

typedef uint8_t (*vuved_init_fn)(panelhttp_ctx* ctx);
typedef void (*vuved_exit_fn)(panelhttp_ctx* ctx);
typedef uint8_t (*vuved_accept_fn)(panelhttp_ctx* ctx, int64_t sid, const char* ip, uint16_t port);
typedef void (*vuved_close_fn)(panelhttp_ctx* ctx, int64_t sid);
typedef uint8_t (*vuved_request_fn)(panelhttp_ctx* ctx, int64_t sid, vor_http_table* request,
                                    vor_http_table* form, RTParser* parser);

/* The descriptor every admin module exports as data. The first non-empty one of uripath,
   filename and extname routes the module; all empty makes it a catch-all module. */
typedef struct vuved_module_desc {
  uint32_t version;        /* at least 300 */
  const char* uripath;     /* exact URL path owned */
  const char* filename;    /* local file name owned */
  const char* extname;     /* file extension owned: lower case, no dot */
  vuved_init_fn init;      /* 1 means success; anything else stops its walk */
  vuved_exit_fn exit;
  vuved_accept_fn on_accept;    /* 1 passes the connection on to the next module */
  vuved_close_fn on_close;
  vuved_request_fn on_request;  /* 0 means handled; anything else passes the request on */
} vuved_module_desc;

/* A writable notice: called on the connection's thread when its output queue has drained. */
typedef void (*vuved_notice_fn)(panelhttp_ctx* ctx, int64_t sid, void* arg);

/* One accepted admin connection; read only under the server lock. */
typedef struct VuvedConnection {
  int64_t sid;
  vor_http_filter_request* parser;  /* accumulates request bytes, splits pipelined requests */
  int32_t close_timer;              /* pending delayed close, 0 when none */
  int32_t force_timer;              /* pending forced close, 0 when none */
  int64_t owner_thread;             /* thread of the slave box that serves the connection */
  struct panelhttp_tasks* tasks;    /* pending output, the writer's own */
  uint8_t write_watching;           /* 1 while registered for write-ready events */
  vuved_notice_fn notice;
  void* notice_arg;
} VuvedConnection;

/* Called when a session expires: 0 keeps it (called again one period later), else it is freed. */
typedef uint8_t (*vuved_expire_fn)(const char* id, void* user, void* word1, void* word2, void* word3,
                                   void* word4);

/* An admin session; read only under the server lock. */
typedef struct vuved_session {
  char* id;
  struct vor_box* box;  /* where its expiry timer runs and where it is freed */
  uint32_t timeout;     /* ms between expiry checks */
  int32_t timer;        /* loop timer on box, 0 or negative when none */
  vuved_expire_fn expire;
  void* user;
  void* word1;
  void* word2;
  void* word3;
  void* word4;
  uint64_t expiry_ms;   /* monotonic ms at which the session expires */
} vuved_session;

/* The daemon-module descriptor ("quorin_simple_http_server", version 301). */
VOR_API extern module_desc panelhttp;

/* Server */
VOR_API uint8_t panelhttp_init(daemon_ctx* ctx);
VOR_API void panelhttp_exit(daemon_ctx* ctx);
/* The server record; NULL before init. */
VOR_API panelhttp_ctx* panelhttp_GetHandle(void);
/* The connection of the sid (looked up under the lock) or NULL. */
VOR_API VuvedConnection* panelhttp_GetClient_BySid(int64_t sid);
VOR_API int32_t panelhttp_GetNumOfConnections(void);
VOR_API int64_t panelhttp_GetTotalSendBytes(void);
VOR_API int64_t panelhttp_GetTotalRecvBytes(void);
/* Always 0. */
VOR_API int32_t panelhttp_GetReadableLen(void);
/* Memory charge + every bigbox connection x 49,152 + bytes of the file cache's data. */
VOR_API int64_t panelhttp_GetCacheSize(void);
/* Bytes used and free in the file cache and session stores; either pointer may be NULL. */
VOR_API void panelhttp_XmemDebug(int64_t* used, int64_t* free_bytes);
/* "3.4.2". */
VOR_API const char* panelhttp_VersionString(void);

/* Request mapping: every getter answers an empty text for NULL. */
VOR_API RTParser* RTParser_make(panelhttp_ctx* ctx, vor_http_table* request);
VOR_API void RTParser_free(RTParser* p);
VOR_API const char* RTParser_GetMethod(RTParser* p);
VOR_API const char* RTParser_GetUriPath(RTParser* p);
VOR_API const char* RTParser_GetLocalFolder(RTParser* p);
VOR_API const char* RTParser_GetLocalFilename(RTParser* p);
VOR_API const char* RTParser_GetLocalExtname(RTParser* p);
VOR_API const char* RTParser_GetLocalFilepath(RTParser* p);
VOR_API const char* RTParser_GetMimetype(RTParser* p);
VOR_API const char* RTParser_GetContentLocation(RTParser* p);
/* The query table; a shared empty table for NULL or when there is none. */
VOR_API vor_http_table* RTParser_GetRequestQuery(RTParser* p);

/* Sessions */
/* 64 random characters of [0-9A-Za-z] and a NUL, freed with _cu_free; NULL without memory. */
VOR_API char* panelhttp_GenSession(void);
VOR_API uint8_t panelhttp_AddSession(const char* id, uint32_t timeout, vuved_expire_fn expire, void* user,
                                     void* word1, void* word2, void* word3, void* word4);
VOR_API vuved_session* panelhttp_CheckSession(const char* id);
/* Expiry becomes max(current expiry, now + ms) (0: 90,000,000 ms); false for an unknown id. */
VOR_API uint8_t panelhttp_FreshSession(const char* id, uint32_t ms);
VOR_API void panelhttp_DelSession(const char* id);
VOR_API uint32_t panelhttp_NumOfSessions(void);
/* The text HTML-escaped (new, freed with _cu_free); NULL for NULL or without memory. */
VOR_API char* text_to_html(const char* text);

/* File cache */
/* Size and modify time of the file; false for NULL, a file that cannot be opened or of 4 GiB or more. */
VOR_API uint8_t panelhttp_GetFileAttr(const char* path, int32_t* size, int64_t* mtime);

/* Connection writer */
VOR_API uint8_t panelhttp_WriteJitter(int64_t sid, const void* data, int32_t len);
VOR_API uint8_t panelhttp_WriteFile(int64_t sid, const char* path, uint32_t from, uint32_t to);
VOR_API uint8_t panelhttp_Write404Status(int64_t sid, vor_http_table* head);
VOR_API void panelhttp_close(int64_t sid, int32_t delay);
VOR_API void panelhttp_unclose(int64_t sid);
VOR_API void panelhttp_ForceClose(int64_t sid);
typedef uint8_t (*vuved_write_hook_fn)(int64_t sid, const void* data, int32_t len);
VOR_API void panelhttp_AddWriteHook(vuved_write_hook_fn fn);
VOR_API void panelhttp_DelWriteHook(vuved_write_hook_fn fn);
VOR_API void panelhttp_AddWritableNotice(int64_t sid, vuved_notice_fn fn, void* arg);
VOR_API void panelhttp_DelWritableNotice(int64_t sid);
VOR_API uint32_t panelhttp_GetWritableLen(int64_t sid);

VOR_EXTERN_C_END

#ifdef __cplusplus
static_assert(offsetof(vuved_module_desc, uripath) == sizeof(void*), "descriptor layout");
static_assert(offsetof(vuved_module_desc, on_request) == 8 * sizeof(void*), "descriptor layout");
static_assert(offsetof(vuved_session, word4) == 8 * sizeof(void*), "session words before the expiry");
#endif
