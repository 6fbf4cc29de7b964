// memstore: the memory cache, the web-cache sub-module "cache". It keeps whole responses (the
// response head as text, the body as bytes) in the module's own memory pools, in three tables keyed
// by the cache key: public, member and visitor. The cache lock is split in shards by the key's
// bucket: an operation on one url holds its shard, a walk over a table (purges, listings, the
// replacement's samples) one bucket's shard at a time; the count and size queries take none.
#pragma once
#include <stdint.h>

#include "cu_jitter.h"
#include "cu_wtb.h"
#include "cu_xjitter.h"
#include "edgeserv.h"
#include "vor_export.h"

VOR_EXTERN_C_BEGIN

/* The sub-module descriptor: version 371, name "cache", init and exit, no connection slots. */
VOR_API extern submodule_desc cache;

/* Bytes in use in the module's four pools, less the node pool's bytes after start-up. */
VOR_API uint64_t memstore_GetCacheSize(void);
/* The memory budget fixed at init. */
VOR_API uint64_t memstore_GetMaxCacheSize(void);
/* Does nothing: the budget is fixed at init. */
VOR_API void memstore_SetMaxCacheSize(void);
/* Entries of the three tables together; 0 before init or when a table is missing. */
VOR_API uint32_t memstore_GetNumOfCaches(void);
/* Cache-lock takes of the calling thread since it started. */
VOR_API uint64_t memstore_GetLockTakes(void);

/* --- the table families -------------------------------------------------------------------
   wc_publiccache_*, wc_membercache_* and wc_visitorcache_* do the same on their own table.
   url is the cache key; a NULL or empty url is never stored. */

/* 1 when the url is stored, with its expiry written out (expire may be NULL); 0 otherwise. */
VOR_API uint8_t wc_publiccache_CheckData(const char* url, uint32_t* expire);
/* As CheckData, and copies the 16-character version tag and a NUL into tag (17 bytes; may be NULL). */
VOR_API uint8_t wc_publiccache_CheckDataX(const char* url, uint32_t* expire, char* tag);
/* The entry's expiry (seconds since 1970); 0 when absent. */
VOR_API uint32_t wc_publiccache_GetExpire(const char* url);
/* Sets the entry's expiry; 0 when absent. */
VOR_API uint8_t wc_publiccache_RefreshExpire(const char* url, uint32_t expire);
/* Counts one read when tag is NULL or names the stored version; 0 when absent or another version. */
VOR_API uint8_t wc_publiccache_AddAccessCount(const char* url, const char* tag);
/* Copies the head (head_capacity characters and a NUL at most) and body bytes from..to; answers the body bytes copied,
 * -1 when absent or from > to with a body buffer. */
VOR_API int32_t wc_publiccache_GetData(const char* url, char* head, uint32_t head_capacity, uint32_t from, uint32_t to,
                                       void* body);
/* As GetData for the version the tag names (NULL: any); -1 for another version. */
VOR_API int32_t wc_publiccache_GetDataX(const char* url, const char* tag, char* head, uint32_t head_capacity,
                                        uint32_t from, uint32_t to, void* body);
/* Stores a response (type 0 intelligent, 1 rule; class 1 text, 0 binary); always frees the body queue. */
VOR_API void wc_publiccache_SetData(uint32_t type, const char* url, const char* head, cu_jitter* body, uint32_t expire,
                                    uint8_t content_class);
/* As SetData; empties the caller's queue (the record stays the caller's). */
VOR_API void wc_publiccache_SetDataX(uint32_t type, const char* url, const char* head, cu_xjitter* body,
                                     uint32_t expire, uint8_t content_class);
/* This table's share of memstore_GetCacheSize by its entry count; 0 when it holds none. */
VOR_API uint64_t wc_publiccache_GetCacheSize(void);
/* The table's entries, read without the lock. */
VOR_API uint32_t wc_publiccache_GetNumOfCaches(void);
/* Drops every intelligent entry no intelligent-cache rule matches any more. */
VOR_API void wc_publiccache_RefreshIcache(void);
/* Drops every rule entry no force-cache rule matches any more. */
VOR_API void wc_publiccache_RefreshFcache(void);
/* Drops every entry a refuse-cache rule now matches. */
VOR_API void wc_publiccache_RefreshRcache(void);
/* Drops the entry of exactly that url. */
VOR_API void wc_publiccache_CleanThisCache(const char* url);
/* Drops every intelligent entry. */
VOR_API void wc_publiccache_CleanIcache(void);
/* Drops every rule entry. */
VOR_API void wc_publiccache_CleanFcache(void);
/* Drops every entry the rule (0 wildcard, 1 regular expression, 2 exact) matches; 0 when the rule cannot be made. */
VOR_API uint8_t wc_publiccache_CleanRulesCache(const char* text, uint8_t icase, uint8_t rules);
/* Drops every entry. */
VOR_API void wc_publiccache_CleanAllCache(void);
/* Appends one line per entry to the text. */
VOR_API void wc_publiccache_GetCacheList(wtb* out);
/* Appends one line per entry to the queue. */
VOR_API void wc_publiccache_GetCacheList2X(cu_jitter* out);

VOR_API uint8_t wc_membercache_CheckData(const char* url, uint32_t* expire);
VOR_API uint8_t wc_membercache_CheckDataX(const char* url, uint32_t* expire, char* tag);
VOR_API uint32_t wc_membercache_GetExpire(const char* url);
VOR_API uint8_t wc_membercache_RefreshExpire(const char* url, uint32_t expire);
VOR_API uint8_t wc_membercache_AddAccessCount(const char* url, const char* tag);
VOR_API int32_t wc_membercache_GetData(const char* url, char* head, uint32_t head_capacity, uint32_t from, uint32_t to,
                                       void* body);
VOR_API int32_t wc_membercache_GetDataX(const char* url, const char* tag, char* head, uint32_t head_capacity,
                                        uint32_t from, uint32_t to, void* body);
VOR_API void wc_membercache_SetData(uint32_t type, const char* url, const char* head, cu_jitter* body, uint32_t expire,
                                    uint8_t content_class);
VOR_API void wc_membercache_SetDataX(uint32_t type, const char* url, const char* head, cu_xjitter* body,
                                     uint32_t expire, uint8_t content_class);
VOR_API uint64_t wc_membercache_GetCacheSize(void);
VOR_API uint32_t wc_membercache_GetNumOfCaches(void);
VOR_API void wc_membercache_RefreshIcache(void);
VOR_API void wc_membercache_RefreshFcache(void);
VOR_API void wc_membercache_RefreshRcache(void);
VOR_API void wc_membercache_CleanThisCache(const char* url);
VOR_API void wc_membercache_CleanIcache(void);
VOR_API void wc_membercache_CleanFcache(void);
VOR_API uint8_t wc_membercache_CleanRulesCache(const char* text, uint8_t icase, uint8_t rules);
VOR_API void wc_membercache_CleanAllCache(void);
VOR_API void wc_membercache_GetCacheList(wtb* out);
VOR_API void wc_membercache_GetCacheList2X(cu_jitter* out);

VOR_API uint8_t wc_visitorcache_CheckData(const char* url, uint32_t* expire);
VOR_API uint8_t wc_visitorcache_CheckDataX(const char* url, uint32_t* expire, char* tag);
VOR_API uint32_t wc_visitorcache_GetExpire(const char* url);
VOR_API uint8_t wc_visitorcache_RefreshExpire(const char* url, uint32_t expire);
VOR_API uint8_t wc_visitorcache_AddAccessCount(const char* url, const char* tag);
VOR_API int32_t wc_visitorcache_GetData(const char* url, char* head, uint32_t head_capacity, uint32_t from, uint32_t to,
                                        void* body);
VOR_API int32_t wc_visitorcache_GetDataX(const char* url, const char* tag, char* head, uint32_t head_capacity,
                                         uint32_t from, uint32_t to, void* body);
VOR_API void wc_visitorcache_SetData(uint32_t type, const char* url, const char* head, cu_jitter* body, uint32_t expire,
                                     uint8_t content_class);
VOR_API void wc_visitorcache_SetDataX(uint32_t type, const char* url, const char* head, cu_xjitter* body,
                                      uint32_t expire, uint8_t content_class);
VOR_API uint64_t wc_visitorcache_GetCacheSize(void);
VOR_API uint32_t wc_visitorcache_GetNumOfCaches(void);
VOR_API void wc_visitorcache_RefreshIcache(void);
VOR_API void wc_visitorcache_RefreshFcache(void);
VOR_API void wc_visitorcache_RefreshRcache(void);
VOR_API void wc_visitorcache_CleanThisCache(const char* url);
VOR_API void wc_visitorcache_CleanIcache(void);
VOR_API void wc_visitorcache_CleanFcache(void);
VOR_API uint8_t wc_visitorcache_CleanRulesCache(const char* text, uint8_t icase, uint8_t rules);
VOR_API void wc_visitorcache_CleanAllCache(void);
VOR_API void wc_visitorcache_GetCacheList(wtb* out);
VOR_API void wc_visitorcache_GetCacheList2X(cu_jitter* out);

VOR_EXTERN_C_END
