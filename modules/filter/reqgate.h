// reqgate: the request filter, the web-cache sub-module "filter" of the edge server. Content
// codings lent to other deliverables, the plug-in questions on a response by its sid, the hooks
// other modules hand in.
#pragma once
#include "edgeserv.h"
#include "http_parser.h"
#include "vor_export.h"
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* The sub-module descriptor "filter". */
VOR_API extern submodule_desc filter;
/* Prints the init line, makes the session cache, reads filter.ini (and starts the session sweep),
   spider.ini and the plug-ins' disk-cache rewrite entries, opens the disk-cache index stores
   (and starts their flush); 1. */
VOR_API uint8_t reqgate_module_init(edgeserv_ctx* ctx);
/* Prints the exit line, closes the disk-cache index stores and empties the session cache. */
VOR_API void reqgate_module_exit(edgeserv_ctx* ctx);
/* The close slot: finishes the client's record, if any. */
VOR_API void reqgate_on_close(edgeserv_ctx* ctx, int64_t sid);

/* Response hooks the request handler hands in (its plug-in dispatchers); 0 = not sent. */
typedef uint8_t (*reqgate_head_hook)(int64_t client_sid, http_parser* request, int64_t response_sid,
                                     http_parser* response, uint8_t from_cache);
typedef uint8_t (*reqgate_body_hook)(int64_t client_sid, http_parser* request, int64_t response_sid,
                                     http_parser* response, uint8_t from_cache, const char* data, int32_t len);
/* The extended body hook has the plug-ins' shape: it may put other data in place of the chunk,
   with the function and argument that release it. */
typedef void (*reqgate_free_fn)(void* arg, void* data);
typedef uint8_t (*reqgate_ext_body_hook)(int64_t client_sid, http_parser* request, int64_t response_sid,
                                         http_parser* response, uint8_t from_cache, uint8_t is_last, char** data,
                                         int32_t* len, reqgate_free_fn* free_fn, void** free_arg);
/* Stores the three hooks (NULL = absent); a later call replaces them. */
VOR_API void reqgate_ImportPluginResponseEntry_v2(reqgate_head_hook head, reqgate_body_hook body,
                                                  reqgate_ext_body_hook ext_body);
/* Stores the CONNECT-by-upstream flag. */
VOR_API void reqgate_ImportValueOfCONNECTByUpstream(uint8_t value);

/* Cluster hooks: a session value learned, a session deleted, a URL purge. */
typedef void (*reqgate_session_learned_fn)(const char* domain, const char* key, const char* value, const char* path,
                                           uint32_t lifetime);
typedef void (*reqgate_session_deleted_fn)(const char* domain, const char* key);
typedef void (*reqgate_url_purge_fn)(const char* text, uint8_t icase, uint8_t rule_type);
/* Stores the three cluster hooks. */
VOR_API void reqgate_ImportClusterFunction(reqgate_session_learned_fn learned, reqgate_session_deleted_fn deleted,
                                           reqgate_url_purge_fn purge);

/* Whether the response of that upstream sid arrived whole; false below 1 or without a record. */
VOR_API uint8_t reqgate_plugin__IsCompleteContent(int64_t response_sid);
/* Keeps the response out of the disk cache; false below 1 or without a record. */
VOR_API uint8_t reqgate_plugin__CancelDiskCache(int64_t response_sid);
/* Drops the memory copy of the response; false below 1 or without a record. */
VOR_API uint8_t reqgate_plugin__CancelMemCache(int64_t response_sid);
/* Bytes in use by the filter's pools. */
VOR_API uint64_t reqgate_GetCacheSize(void);

/* Classifies a request after finishing the connection's previous record; false (record kept)
   while that response is still incomplete. The five outputs are preset by the caller. */
VOR_API uint8_t reqgate_NewRequest_v4(int64_t client_sid, http_parser* request, const char* cache_key,
                                      uint8_t* cache_kind, uint8_t* icookie, uint32_t* lifetime,
                                      uint8_t* disk_permitted, uint8_t* disk_refused);
/* reqgate_NewRequest_v4 with its own disk outputs. */
VOR_API uint8_t reqgate_NewRequest(int64_t client_sid, http_parser* request, const char* cache_key,
                                   uint8_t* cache_kind, uint8_t* icookie, uint32_t* lifetime);

/* Encodes a text body for a client (request NULL: gzip); true when *out holds the coded body
   (out NULL: freed at once) and the head says so. */
VOR_API uint8_t reqgate_plugin__EncodeContent(http_parser* request, http_parser* response, const char* body,
                                              uint32_t len, char** out, uint32_t* out_len);
/* Decodes (or de-chunks) a body; true when *out holds the result and the head says so. */
VOR_API uint8_t reqgate_plugin__DecodeContent(http_parser* ignored, http_parser* response, const char* body,
                                              uint32_t len, char** out, uint32_t* out_len);
/* Frees an output of either operation; NULL ignored. */
VOR_API void reqgate_plugin__EncodeMemFree(char* buffer);
/* The same as reqgate_plugin__EncodeMemFree. */
VOR_API void reqgate_plugin__DecodeMemFree(char* buffer);

/* --- responses ------------------------------------------------------------------------------ */
/* The writers a response's bytes go through: the pipe's client and upstream writers. */
typedef uint32_t (*reqgate_writer)(int64_t sid, const char* data, uint32_t len);
/* Makes the filter record of a response the pipe opened for a client (on the client's thread);
   false without memory, off that thread, or when the response sid has a record already. */
VOR_API uint8_t reqgate_NewFilter_v4(int64_t client_sid, http_parser* request, int64_t response_sid,
                                     const char* cache_key, uint8_t cache_kind, uint8_t icookie, uint32_t lifetime,
                                     uint8_t expired, uint8_t revalidate, uint8_t rewritten,
                                     uint8_t disk_permitted);
/* reqgate_NewFilter_v4 with the disk permitted. */
VOR_API uint8_t reqgate_NewFilter_v3(int64_t client_sid, http_parser* request, int64_t response_sid,
                                     const char* cache_key, uint8_t cache_kind, uint8_t icookie, uint32_t lifetime,
                                     uint8_t expired, uint8_t revalidate, uint8_t rewritten);
/* Takes a chunk of upstream bytes of the response; false only when an unparsable head cannot be
   passed through (the pipe then closes the client). Either writer may be NULL. */
VOR_API uint8_t reqgate_ResponseInput_v3(int64_t response_sid, const char* data, uint32_t len,
                                         reqgate_writer client_writer, reqgate_writer upstream_writer);
/* The upstream connection of the response ended (after the pipe queued the client's close). */
VOR_API void reqgate_OnResponseClose(int64_t response_sid);
/* Marks every in-flight response whose cache key the rule matches for a purge at its end. */
VOR_API void reqgate_RefreshRequestingURL(const char* text, uint8_t icase, uint8_t rule_type);
/* Frees the response's record unstored (its cache file abandoned), on the record's thread;
   false when there is none. */
VOR_API uint8_t reqgate_DropResponse(int64_t response_sid);

/* --- cache hits ------------------------------------------------------------------------------ */
/* Answers the request from the memory cache of its kind, or else from the disk cache when
   permitted; 1 when the answer was written (its close arranged), else 0 with the three hit
   outputs telling the caller how to fetch it (expired, revalidation validators added, a disk
   rewrite answered). check_expiry 0 serves whatever copy there is. */
VOR_API uint8_t reqgate_HitCache_v4(int64_t client_sid, http_parser* request, const char* cache_key,
                                    uint8_t cache_kind, uint8_t check_expiry, uint8_t* expired,
                                    uint8_t* revalidate, uint8_t* rewritten, uint8_t disk_permitted);
/* reqgate_HitCache_v4 with the disk permitted. */
VOR_API uint8_t reqgate_HitCache_v3(int64_t client_sid, http_parser* request, const char* cache_key,
                                    uint8_t cache_kind, uint8_t check_expiry, uint8_t* expired,
                                    uint8_t* revalidate, uint8_t* rewritten);

/* --- the disk-cache index ------------------------------------------------------------------ */
/* Empties the public, member, visitor and content index stores (cache files stay); 1. */
VOR_API uint8_t reqgate_EmptyDCIndex(void);
/* Records of the public, member and visitor stores (an absent store counts 0). */
VOR_API uint64_t reqgate_DiskCacheCount(void);
/* Bytes of the files of those stores. */
VOR_API uint64_t reqgate_DiskCacheSize(void);
/* Purges a cache key from the public, member and visitor stores and deletes its cache files; a
   key whose first slash-star ends it (or is followed by a blank or a tab) also marks every entry
   under that path expired, on a thread of its own; 1. */
VOR_API uint8_t reqgate_CleanDiskCache(const char* url);
/* True when the key has an index record in the store of the kind (0 and 2 public, 3 member, 4
   visitor) whose body is at least MinDiskCacheContentSize; its expiry then goes to *expiry
   (0 when it has none) unless expiry is NULL. */
VOR_API uint8_t reqgate_CheckDiskCache(uint8_t cache_kind, const char* url, uint32_t* expiry);

/* --- the session cache ----------------------------------------------------------------------- */
/* Adds a session value learned on another node (no hook is called); an existing value is kept. */
VOR_API void wc_sessionvalue_add(const char* domain, const char* key, const char* value, const char* path,
                                 uint32_t lifetime);
/* Removes that value when its domain and key exist. */
VOR_API void wc_sessionvalue_del(const char* domain, const char* key, const char* value);
/* Empties the session cache. */
VOR_API void reqgate_CleanSessionCaches(void);
/* Session values held. */
VOR_API uint32_t reqgate_GetNumOfSessionCaches(void);
/* Bytes the session cache holds beyond its empty state. */
VOR_API uint64_t reqgate_GetSessionCacheSize(void);

VOR_EXTERN_C_END
