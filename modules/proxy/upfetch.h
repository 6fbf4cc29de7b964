// upfetch: the request handler, the web-cache sub-module "proxy". Its accept slot applies the
// connection limits, the socket buffers and the request time-out; it brings requests into their
// canonical form, computes their cache key and stamps X-Quorin on heads bound upstream.
#pragma once
#include "edgeserv.h"
#include "http_parser.h"
#include "nameres.h"
#include "quo_plugin.h"
#include "vor_export.h"
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* The sub-module descriptor: version 371, name "proxy". */
VOR_API extern submodule_desc proxy;

/* Init: reads proxy.ini, registers the download hook, builds the address tables; answers 1. */
VOR_API uint8_t upfetch_init(edgeserv_ctx* ctx);
/* Exit: the exit line and the memory report. */
VOR_API void upfetch_exit(edgeserv_ctx* ctx);
/* Master thread: connection limits (503 page and a close), socket buffers, request time-out. */
VOR_API uint8_t upfetch_on_accept(edgeserv_ctx* ctx, int64_t sid, const char* ip, uint16_t port);
/* After each chunk of request bytes: a complete head runs the admission chain, later chunks of a
   taken request go upstream; answers 0 (no later module's slot runs). */
VOR_API uint8_t upfetch_on_read(edgeserv_ctx* ctx, int64_t sid, const char* chunk, int32_t len, const char* body,
                                int32_t body_len);
/* The connection ends: its statistics entry is given back. */
VOR_API void upfetch_on_close(edgeserv_ctx* ctx, int64_t sid);

/* Bytes the caches and pools of the node's modules hold. */
VOR_API uint64_t upfetch_GetAllUsedMemSize(void);
/* Write hook: counts download bytes for page-view statistics; answers 1. */
VOR_API uint8_t upfetch__download_hook(int64_t sid, const char* data, int32_t len);

/* Brings the request head into its canonical form; 1 when the request may go on. */
VOR_API uint8_t upfetch_normalize_request(edgeserv_ctx* ctx, int64_t sid, http_parser* parser);
/* The cache key (host and path; CONNECT: the host) into key (4,096 bytes) and the host into
   host (200 bytes); 0 without a usable Host or when the key does not fit whole. */
VOR_API uint8_t upfetch_cache_key(http_parser* parser, char* key, char* host, const char* method);
/* Stamps X-Quorin with the via token as the mode of proxy.ini asks for this upstream; client may
   be NULL (the client's address is then read from the sid). */
VOR_API void upfetch_stamp_x_quorin(edgeserv_ctx* ctx, http_parser* parser, int64_t sid, const char* client,
                                    const char* upstream);
/* Sends the head upstream, or answers a CONNECT itself when the upstream is not to see it. */
VOR_API void upfetch_forward_head(int64_t client_sid, int64_t upstream_sid, http_parser* parser);

/* The resolver's completion of an upstream look-up: goes on with the request on the client's
   slave thread, or frees what the look-up held when the client no longer waits. */
VOR_API void upfetch_dns_callback(nameres_dns* dns, const char* name, const char* ip, bool success, int64_t sid,
                                  char* data, int32_t len, vor_box* box, char* tag, int32_t flag, char* host);

/* --- plug-ins ---------------------------------------------------------------------------- */
/* Loads the libraries plugin-0 .. plugin-255 of ../plugins/plugins.ini in index order and runs
   their quo_plugin_init (once, from init). */
VOR_API void upfetch_load_plugins(void);
/* The walks over the plug-ins in load order, each stopping at the first hook that answers 0 (and
   answering 0 then); a walk no plug-in takes part in answers 1. */
VOR_API uint8_t upfetch__request_content_hook(int64_t sid, http_parser* request, const char* data, uint32_t len);
VOR_API uint8_t upfetch__response_http_hook(int64_t sid, http_parser* request, int64_t response_sid,
                                            http_parser* response, uint8_t from_cache);
VOR_API uint8_t upfetch__response_content_hook(int64_t sid, http_parser* request, int64_t response_sid,
                                               http_parser* response, uint8_t from_cache, const char* data,
                                               int32_t len);
/* Per plug-in quo_plugin_response_content_x, else its quo_plugin_response_content with the current
   data, else nothing; the data pointers are shared along the walk. */
VOR_API uint8_t upfetch__response_content_x_hook(int64_t sid, http_parser* request, int64_t response_sid,
                                                 http_parser* response, uint8_t from_cache, uint8_t last,
                                                 char** data, int32_t* len, quo_plugin_free_fn* free_fn,
                                                 void** free_arg);

VOR_EXTERN_C_END
