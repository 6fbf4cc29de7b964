// edgeserv: the edge server, the daemon module that owns every client connection of the HTTP
// ports and drives the web-cache sub-modules. This header holds the records it shares by layout
// with the sub-modules (their descriptor, the module context and the client record) and the C
// interface every sub-module calls.
#pragma once
#include "cu_config.h"
#include "cu_daemon.h"
#include "cu_jitter.h"
#include "cu_list.h"
#include "cu_log.h"
#include "cu_sem.h"
#include "cu_ssl.h"
#include "cu_xhash.h"
#include "cu_xjitter.h"
#include "cu_xmem.h"
#include "cu_xtree.h"
#include "http_parser.h"
#include "vor_export.h"
#include "cu_xfile.h"
#include <stddef.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

struct edgeserv_ctx;
/* A client's output queue; only the edge server reads it. */
struct edgeserv_outq;

/* Request states of client_rec.state. */
enum {
  EDGESERV_STATE_NEW = 0,
  EDGESERV_STATE_HEAD = 10,     /* head incomplete */
  EDGESERV_STATE_BODY = 20,     /* body pending */
  EDGESERV_STATE_COMPLETE = 30, /* the request is complete */
  EDGESERV_STATE_ERROR = 100    /* error or refused */
};

/* Body length of a CONNECT request: every later byte is body. */
#define EDGESERV_CONNECT_BODY 0x7FFFFFF0u
/* Body length the request filter sets when a response switches protocols. */
#define EDGESERV_SWITCHED_BODY 0xFFFFFFF0u

typedef uint8_t (*submodule_init_fn)(struct edgeserv_ctx* ctx);
typedef void (*submodule_exit_fn)(struct edgeserv_ctx* ctx);
typedef uint8_t (*submodule_accept_fn)(struct edgeserv_ctx* ctx, int64_t sid, const char* ip, uint16_t port);
typedef void (*submodule_close_fn)(struct edgeserv_ctx* ctx, int64_t sid);
typedef uint8_t (*submodule_read_fn)(struct edgeserv_ctx* ctx, int64_t sid, const char* chunk, int32_t len,
                                     const char* body, int32_t body_len);

/* A sub-module's descriptor, exported by its library as a data symbol. NULL slots count as "go on". */
typedef struct submodule_desc {
  uint64_t version;              /* at least 300 */
  const char* name;              /* unique among the loaded modules when not empty */
  submodule_init_fn init;        /* 1 = ready; anything else stops the init walk */
  submodule_exit_fn exit;        /* once at stop */
  submodule_accept_fn on_accept; /* master thread; 1 = go on with the next module */
  submodule_close_fn on_close;   /* the connection ends; its record can still be looked up */
  submodule_read_fn on_read;     /* after each chunk of request bytes; 1 = go on */
} submodule_desc;

/* The edge server's one context, made at init and never freed (edgeserv_GetHandle). */
typedef struct edgeserv_ctx {
  daemon_ctx* daemon;   /* the daemon context: quorind.ini and the bigbox */
  int64_t listener;     /* sid of the proxy_port listener; 0 or less when none */
  cu_sem* lock;         /* the context lock: module-wide steps only; each client record has its own */
  cu_log* log;          /* ../logs/zazudaza.log */
  cu_config* config;    /* ../modules/zazudaza.ini; NULL when it cannot be read */
  cu_i64hash* clients;  /* NULL: the client table is the edge server's own, indexed by descriptor */
  cu_list* submodules;  /* submodule_desc pointers in load order */
  cu_stree* names;      /* names of the loaded sub-modules */
} edgeserv_ctx;

/* Writable notice of a client (one per client). */
typedef void (*edgeserv_writable_fn)(edgeserv_ctx* ctx, int64_t sid, void* arg);
/* Write hook: sees every chunk sent to any client. */
typedef uint8_t (*edgeserv_write_hook_fn)(int64_t sid, const char* data, int32_t len);

/* One client connection, owned by the edge server; the request handler, the request filter, the
   pipe and the rules store read and set its fields after edgeserv_GetClient_BySid. */
typedef struct client_rec {
  int64_t sid;
  http_parser* parser;          /* the current request head, in the arena */
  uint32_t body_expected;       /* body length the current request declares */
  uint32_t body_received;       /* body bytes of the current request so far */
  uint8_t state;                /* EDGESERV_STATE_* */
  uint8_t taken;                /* set by the request handler once it has taken the request over */
  char* dns_tag;                /* the request handler's DNS lookup tag, NULL when none */
  uint8_t closing;              /* faster close / force close mark */
  int32_t delay_timer;          /* pending delayed-close timer on the slave box, 0 when none */
  int32_t force_timer;          /* 1 ms close timer of edgeserv_ForceClose, 0 when none,
                                   -1 while a fired close timer ends the connection */
  int64_t owner_thread;         /* id of the slave thread serving the connection */
  struct edgeserv_outq* queue;  /* output tasks */
  uint8_t reading;              /* the socket is watched for reading */
  uint8_t writing;              /* the socket is watched for writing */
  edgeserv_writable_fn notice_fn;
  void* notice_arg;
  uint32_t received_at_sweep;   /* counts remembered by the idle sweep */
  uint32_t sent_at_sweep;
  uint32_t received;            /* bytes from and to this client since accept (wrap at 2^32) */
  uint32_t sent;
  int64_t created;              /* the cached clock at accept */
  uint32_t lifetime;            /* per request, from here on: the request handler's and filter's */
  uint8_t cache_kind;
  uint8_t icookie;
  uint8_t expired;
  uint8_t revalidate;
  uint8_t rewritten;
  cu_xmem* arena;               /* the connection's own memory: record, parser, queue, tasks */
  uint32_t user_id;             /* proxy host id, all ones when none */
  uint32_t host_id;             /* upstream id, all ones when none */
  uint8_t disk_permission;
  uint8_t disk_refusal;
  uint8_t tls_on;               /* accepted on an HTTPS listener with its TLS connection set up */
  cu_ssl_conn tls;
  cu_xjitter tls_input;         /* ciphertext not yet decrypted */
  uint16_t local_port;          /* port of the HTTPS listener that accepted it */
  uint8_t read_held;            /* a module stopped reading (edgeserv_ExportSock_ForRead): an emptied
                                   output queue does not start it again, only edgeserv_ImportSock_ForRead */
} client_rec;

/* The IP-location lookup the rules store supplies. */
typedef uint8_t (*edgeserv_location_fn)(const char* ip, char* area, int32_t area_len, char* detail,
                                        int32_t detail_len);

/* The daemon-module descriptor of the edge server. */
VOR_API extern module_desc edgeserv;
/* Init of the daemon module; always answers 1. */
VOR_API uint8_t edgeserv_init(daemon_ctx* ctx);
/* Exit of the daemon module: the sub-modules' exits in load order and the closing lines. */
VOR_API void edgeserv_exit(daemon_ctx* ctx);

/* The context; NULL before init. */
VOR_API edgeserv_ctx* edgeserv_GetHandle(void);
/* The cached clock (seconds since 1970); reads the system time while it is still 0. */
VOR_API int64_t edgeserv_mytime(void);
/* "3.7.9". */
VOR_API const char* edgeserv_VersionString(void);
/* The via token made at init. */
VOR_API const char* edgeserv_XFlag(void);
/* Bytes in use in the module's pools, less the client table's baseline. */
VOR_API uint64_t edgeserv_GetCacheSize(void);
/* Bytes in use and free in the module's pools; either pointer may be NULL. */
VOR_API void edgeserv_XmemDebug(uint64_t* used, uint64_t* free_bytes);
VOR_API uint64_t edgeserv_GetTotalSendBytes(void);
VOR_API uint64_t edgeserv_GetTotalRecvBytes(void);
/* Always 0. */
VOR_API uint32_t edgeserv_GetReadableLen(void);
/* Stores the IP-location lookup; the first non-NULL one also makes the GBK converter. */
VOR_API void edgeserv_SetLocationOfIP(edgeserv_location_fn fn);
/* The location of an IPv4 text, converted to UTF-8 and cut to the caller's lengths; 0 without a lookup. */
VOR_API uint8_t edgeserv_GetLocationOfIP(const char* ip, char* area, int32_t area_len, char* detail,
                                         int32_t detail_len);

/* The client record of a sid, NULL when unknown. Safe to use on the connection's own slave
   thread, and on the master thread inside the on_accept slots (the connection is not read before
   they end); not elsewhere. */
VOR_API client_rec* edgeserv_GetClient_BySid(int64_t sid);
/* Hands the connection's complete request to the read slots again, untaken, with 0 new bytes
   (a cache answer that fell through after it was taken); on the connection's slave thread. */
VOR_API void edgeserv_RereadRequest(int64_t sid);
/* The current request's answer is wholly queued and the connection stays: the request bytes
   held behind it (a pipelining client) start the next request. Any thread. */
VOR_API void edgeserv_AnswerDone(int64_t sid);
/* 1 when the sid is known and its TLS is on. */
VOR_API uint8_t edgeserv_ClientSSLOn(int64_t sid);
/* The record's DNS tag; NULL for an unknown sid. */
VOR_API char* edgeserv_GetDnsInEventId(int64_t sid);
/* Entries of the client table; 0 before init. */
VOR_API int32_t edgeserv_GetNumOfConnections(void);
/* One line per client: "time -> ip:port[ -> location] -> quorin\r\n". */
VOR_API void edgeserv_GetSockList(cu_jitter* out);

/* Stops the connection's reading and writing at once and closes it within a millisecond on its
   own slave thread; writers refuse output from then on. */
VOR_API void edgeserv_ForceClose(int64_t sid);

/* --- output ---------------------------------------------------------------------------------
   Writers answer 1 when the output is sent or queued whole (and for empty output), 0 when it is
   refused: unknown sid, force close armed, or output that could not be queued whole, in which
   case the connection is force-closed so that nothing is sent after the hole. */
/* Memory output. */
VOR_API uint8_t edgeserv_WriteJitter(int64_t sid, const char* data, int32_t len);
/* The byte range [from, to) of a cache file, opened through the registry. */
VOR_API uint8_t edgeserv_WriteFile(int64_t sid, const char* name, int64_t from, int64_t to);
/* As edgeserv_WriteFile with the caller's open file when not NULL (the queue owns it either way);
   to <= from releases the file and answers 1. */
VOR_API uint8_t edgeserv_WriteFileEx(int64_t sid, const char* name, cu_xfile* file, int64_t from, int64_t to);
VOR_API uint8_t edgeserv_WriteFile_ByHDD(int64_t sid, const char* name, int64_t from, int64_t to);
VOR_API uint8_t edgeserv_WriteFileEx_ByHDD(int64_t sid, const char* name, cu_xfile* file, int64_t from, int64_t to);
/* As the plain forms, reading through the SSD worker group. */
VOR_API uint8_t edgeserv_WriteFile_BySSD(int64_t sid, const char* name, int64_t from, int64_t to);
VOR_API uint8_t edgeserv_WriteFileEx_BySSD(int64_t sid, const char* name, cu_xfile* file, int64_t from, int64_t to);
/* Read and write interest of a client socket. */
VOR_API void edgeserv_ExportSock_ForRead(int64_t sid);
VOR_API void edgeserv_ImportSock_ForRead(int64_t sid);
VOR_API void edgeserv_ExportSock_ForWrite(int64_t sid);
VOR_API void edgeserv_ImportSock_ForWrite(int64_t sid);
/* Appends a write hook (NULL ignored); hooks run with no client record locked. */
VOR_API void edgeserv_AddWriteHook(edgeserv_write_hook_fn fn);
/* Stops a hook; its entry stays and is skipped. */
VOR_API void edgeserv_DelWriteHook(edgeserv_write_hook_fn fn);
/* The client's notice, called after every drain of its queue until cleared. */
VOR_API void edgeserv_AddWritableNotice(int64_t sid, edgeserv_writable_fn fn, void* arg);
VOR_API void edgeserv_DelWritableNotice(int64_t sid);
/* Bytes in the head memory task plus, with more than one task, the tail memory task. */
VOR_API uint32_t edgeserv_GetWritableLen(int64_t sid);

/* --- closing --------------------------------------------------------------------------------- */
/* Queues a close behind the output; after it drains the connection closes once delay ms pass
   without new output. */
VOR_API void edgeserv_close(int64_t sid, uint32_t delay);
/* Cancels a pending delayed close and a close task at the tail. */
VOR_API void edgeserv_unclose(int64_t sid);
/* Closes as soon as the last answer is out. */
VOR_API void edgeserv_TryFasterSafeClose(int64_t sid);

/* --- open-file registry ----------------------------------------------------------------------
   Paths are keyed with '\' made '/'. Error 0 means busy (registered in a way the open excludes);
   other errors are errno values. */
VOR_API cu_xfile* edgeserv_fopen_r(const char* path, int32_t* error);
VOR_API cu_xfile* edgeserv_fopen_w(const char* path, int32_t* error);
VOR_API cu_xfile* edgeserv_fopen_wx(const char* path, int32_t* error);
VOR_API cu_xfile* edgeserv_fopen_tx(const char* path, int32_t* error);
/* Releases a reference; with a handle the file is closed asynchronously first. */
VOR_API void edgeserv_fclose(const char* path, cu_xfile* file);
/* Removes a file now, or when its last reader closes it. */
VOR_API void edgeserv_fdelete(const char* path);
VOR_API uint8_t edgeserv_fexist(const char* path);
VOR_API uint8_t edgeserv_fcanread(const char* path);
VOR_API int32_t edgeserv_fnnodes(void);
/* One line per registered path. */
VOR_API void edgeserv_flist(cu_jitter* out);
/* The file-operation pool (made on first call). */
VOR_API cu_xmem* edgeserv_GetFOPxmemHandle(void);

/* --- canned pages: (sid, title or NULL, text or NULL); redirects (sid, location) ------------- */
VOR_API void edgeserv_return200(int64_t sid, const char* title, const char* text);
VOR_API void edgeserv_return400(int64_t sid, const char* title, const char* text);
VOR_API void edgeserv_return403(int64_t sid, const char* title, const char* text);
VOR_API void edgeserv_return404(int64_t sid, const char* title, const char* text);
VOR_API void edgeserv_return405(int64_t sid, const char* title, const char* text);
VOR_API void edgeserv_return408(int64_t sid, const char* title, const char* text);
VOR_API void edgeserv_return409(int64_t sid, const char* title, const char* text);
VOR_API void edgeserv_return500(int64_t sid, const char* title, const char* text);
VOR_API void edgeserv_return502(int64_t sid, const char* title, const char* text);
VOR_API void edgeserv_return503(int64_t sid, const char* title, const char* text);
/* A location with a CR or LF answers the 400 page instead. */
VOR_API void edgeserv_return301(int64_t sid, const char* location);
VOR_API void edgeserv_return302(int64_t sid, const char* location);
VOR_API void edgeserv_return30X(int64_t sid, const char* location);

/* The server-name hook: moves the TLS connection to the context of the name; 1 accepts the name. */
typedef uint8_t (*edgeserv_sni_fn)(SSL* ssl, const char* server_name);
/* Stores the server-name hook that the HTTPS handshakes call (NULL removes it). */
VOR_API void edgeserv_ImportResetCtxFunc(edgeserv_sni_fn fn);

VOR_EXTERN_C_END

#ifdef __cplusplus
static_assert(offsetof(submodule_desc, on_read) == 6 * sizeof(void*), "submodule_desc: seven pointer-sized fields");
static_assert(offsetof(edgeserv_ctx, names) == 7 * sizeof(void*), "edgeserv_ctx: eight pointer-sized fields");
static_assert(offsetof(client_rec, sid) == 0, "client_rec starts with its sid");
static_assert(offsetof(client_rec, state) == 24, "client_rec: the request state other modules write");
#endif
