// policydb: the rules store, the web-cache sub-module "config". It owns the one connection to
// the configuration database (../config/<zazudaza_dbfile>), loads the node settings and the rule
// families into memory at init, answers the request path from memory and applies the admin
// API's changes: database first, memory second. Also the JSON member writers of admin replies.
#pragma once
#include "cu_list.h"
#include "cu_pattern.h"
#include "cu_wtb.h"
#include "edgeserv.h"
#include "vor_export.h"
#include "vor_regex.h"
#include "vor_sqlite.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* --- the module ------------------------------------------------------------------------- */

/* The sub-module descriptor: version 371, name "config", init and exit, no connection slots. */
VOR_API extern submodule_desc config;
/* Prints the init line, reads display_console, loads every table; answers 1 always. */
VOR_API uint8_t policydb_module_init(edgeserv_ctx* ctx);
/* Prints the exit line and asks for the statistics period report. */
VOR_API void policydb_module_exit(edgeserv_ctx* ctx);
/* Opens the configuration database and loads every family in order (once, from init). */
VOR_API void load_policy_tables(edgeserv_ctx* ctx);
/* Applies ../modules/zazudaza/once.ini to settings the database holds no row for. */
VOR_API void apply_once_defaults(void);

/* Takes the database lock; false when the lock or the database handle does not exist. */
VOR_API uint8_t wc_sqlite_lock(void);
/* Releases the database lock when the lock and the handle exist. */
VOR_API void wc_sqlite_unlock(void);
/* The database handle (NULL when none could be made); bracket its statements with the lock. */
VOR_API vor_sqlite* wc_sqlite_GetHandle(void);

/* --- system settings -------------------------------------------------------------------- */
/* Getters read memory without a lock (sizes in bytes). Setters write the wc_system row first
   (update, else insert) and memory second, and answer true when the value is accepted, also
   when both writes failed (the error is logged); false without a database handle or for a
   value out of range. Flags: any nonzero value means 1. */

/* Loads wc_system into memory (run by load_policy_tables). */
VOR_API void policydb_system_load(void);
/* True when wc_system holds a row of that name; false without a database handle. */
VOR_API uint8_t policydb_system_have_RatioOfDCIMSAndMUMS(void);
VOR_API uint8_t policydb_system_have_MinDiskCacheContentSize(void);
/* Whether the node serves requests; memory only, 1 at start. */
VOR_API uint8_t policydb_system_get_IsRunning(void);
VOR_API uint8_t policydb_system_set_IsRunning(uint8_t value);
/* MaxUsableMemSize: bytes held; the setter takes MB. */
VOR_API uint64_t policydb_system_get_MaxUsableMemSize(void);
VOR_API uint8_t policydb_system_set_MaxUsableMemSize(uint64_t value);
VOR_API uint32_t policydb_system_get_MaxConnections(void);
VOR_API uint8_t policydb_system_set_MaxConnections(uint32_t value);
VOR_API uint8_t policydb_system_get_IsUsedMemCache(void);
VOR_API uint8_t policydb_system_set_IsUsedMemCache(uint8_t value);
/* MaxClientSendBuffer: bytes held; the setter takes KB (0 becomes 1, above 128 refused). */
VOR_API uint32_t policydb_system_get_MaxClientSendBuffer(void);
VOR_API uint8_t policydb_system_set_MaxClientSendBuffer(uint32_t value);
/* MaxClientRecvBuffer: bytes held; the setter takes KB (0 becomes 1, above 128 refused). */
VOR_API uint32_t policydb_system_get_MaxClientRecvBuffer(void);
VOR_API uint8_t policydb_system_set_MaxClientRecvBuffer(uint32_t value);
/* MaxCacheBlockSize: bytes held; the setter takes KB (below 4 becomes 4, above 1024 refused). */
VOR_API uint32_t policydb_system_get_MaxCacheBlockSize(void);
VOR_API uint8_t policydb_system_set_MaxCacheBlockSize(uint32_t value);
VOR_API uint8_t policydb_system_get_IsUsedXForwardedFor(void);
VOR_API uint8_t policydb_system_set_IsUsedXForwardedFor(uint8_t value);
VOR_API uint8_t policydb_system_get_IsHitCacheForRefresh(void);
VOR_API uint8_t policydb_system_set_IsHitCacheForRefresh(uint8_t value);
VOR_API uint8_t policydb_system_get_IsUsedMethodCONNECT(void);
VOR_API uint8_t policydb_system_set_IsUsedMethodCONNECT(uint8_t value);
VOR_API uint32_t policydb_system_get_ClientRequestTimeOut(void);
VOR_API uint8_t policydb_system_set_ClientRequestTimeOut(uint32_t value);
/* IsUsedPageViewStat: setting it restarts the statistics period. */
VOR_API uint8_t policydb_system_get_IsUsedPageViewStat(void);
VOR_API uint8_t policydb_system_set_IsUsedPageViewStat(uint8_t value);
/* PVRCreatingOption: above 1 refused; setting it restarts the statistics period. */
VOR_API uint32_t policydb_system_get_PVRCreatingOption(void);
VOR_API uint8_t policydb_system_set_PVRCreatingOption(uint32_t value);
/* PVRCreatingThisTime: above 23 refused; setting it restarts the statistics period. */
VOR_API uint32_t policydb_system_get_PVRCreatingThisTime(void);
VOR_API uint8_t policydb_system_set_PVRCreatingThisTime(uint32_t value);
/* PVRCreatingPeriodTime: above 240 refused; setting it restarts the statistics period. */
VOR_API uint32_t policydb_system_get_PVRCreatingPeriodTime(void);
VOR_API uint8_t policydb_system_set_PVRCreatingPeriodTime(uint32_t value);
VOR_API uint32_t policydb_system_get_MaxUpstreamConnections(void);
VOR_API uint8_t policydb_system_set_MaxUpstreamConnections(uint32_t value);
/* MaxSessionCacheSize: bytes held; the setter takes MB (4096 and more refused). */
VOR_API uint32_t policydb_system_get_MaxSessionCacheSize(void);
VOR_API uint8_t policydb_system_set_MaxSessionCacheSize(uint32_t value);
/* RoleInQuorinCluster: 0 none, 1 master, 2 slave; setting above 2 answers true and keeps the role. */
VOR_API uint8_t policydb_system_get_RoleInQuorinCluster(void);
VOR_API uint8_t policydb_system_set_RoleInQuorinCluster(uint8_t value);
VOR_API uint8_t policydb_system_get_UnenableZazudazaBySpider(void);
VOR_API uint8_t policydb_system_set_UnenableZazudazaBySpider(uint8_t value);
VOR_API uint8_t policydb_system_get_UnenableStatBySpider(void);
VOR_API uint8_t policydb_system_set_UnenableStatBySpider(uint8_t value);
VOR_API uint8_t policydb_system_get_UnenableAccessLog(void);
VOR_API uint8_t policydb_system_set_UnenableAccessLog(uint8_t value);
VOR_API uint8_t policydb_system_get_IsDiskCache(void);
VOR_API uint8_t policydb_system_set_IsDiskCache(uint8_t value);
VOR_API uint32_t policydb_system_get_MinSizeForActivePageByDiskCache(void);
VOR_API uint8_t policydb_system_set_MinSizeForActivePageByDiskCache(uint32_t value);
VOR_API uint32_t policydb_system_get_DiskCacheDirectoryDepth(void);
VOR_API uint8_t policydb_system_set_DiskCacheDirectoryDepth(uint32_t value);
/* MinSizeForRSCPByDiskCache: bytes held; the setter takes KB (4194304 and more refused). */
VOR_API uint32_t policydb_system_get_MinSizeForRSCPByDiskCache(void);
VOR_API uint8_t policydb_system_set_MinSizeForRSCPByDiskCache(uint32_t value);
VOR_API uint32_t policydb_system_get_MaxOpenedFilesByDiskCache(void);
VOR_API uint8_t policydb_system_set_MaxOpenedFilesByDiskCache(uint32_t value);
/* RatioOfDCIMSAndMUMS: percent; unset reads (and becomes) 30; setting above 100 stores 100. */
VOR_API uint32_t policydb_system_get_RatioOfDCIMSAndMUMS(void);
VOR_API uint8_t policydb_system_set_RatioOfDCIMSAndMUMS(uint32_t value);
VOR_API uint8_t policydb_system_get_EnableDiskCacheForChunkedPage(void);
VOR_API uint8_t policydb_system_set_EnableDiskCacheForChunkedPage(uint8_t value);
VOR_API uint32_t policydb_system_get_MinDiskCacheContentSize(void);
VOR_API uint8_t policydb_system_set_MinDiskCacheContentSize(uint32_t value);
VOR_API uint8_t policydb_system_get_UseExpiredCacheWhenUpstreamIsFail(void);
VOR_API uint8_t policydb_system_set_UseExpiredCacheWhenUpstreamIsFail(uint8_t value);
VOR_API uint8_t policydb_system_get_EnableWhiteList(void);
VOR_API uint8_t policydb_system_set_EnableWhiteList(uint8_t value);
VOR_API uint8_t policydb_system_get_AddXCacheToHeader(void);
VOR_API uint8_t policydb_system_set_AddXCacheToHeader(uint8_t value);
VOR_API uint8_t policydb_system_get_BlockTransparentProxyAccess(void);
VOR_API uint8_t policydb_system_set_BlockTransparentProxyAccess(uint8_t value);

/* --- URL rule object ------------------------------------------------------------------- */
/* A URL pattern matched against cache-key URLs (host, then path and query; a leading "http://"
   is skipped when the host is taken). Immutable once made: any thread may match it. */
typedef struct xcache_rules {
  char* text;           /* own copy; may hold "%{HTTP_HOST}" */
  uint8_t icase;        /* 1: without regard to ASCII case */
  uint8_t rules;        /* 0 wildcard, 1 regular expression, 2 exact */
  cu_pattern* wildcard; /* compiled glob, or NULL */
  vor_regex* regex;     /* compiled expression (caseless when icase), or NULL */
} xcache_rules;

/* A new rule; NULL for NULL text, a pattern that does not compile or an unknown kind. */
VOR_API xcache_rules* xcache_rules_make(const char* text, uint8_t icase, uint8_t rules);
/* Frees the rule, its text and compiled objects; NULL ignored. */
VOR_API void xcache_rules_free(xcache_rules* rule);
/* True when the URL matches; false for a NULL rule or URL. */
VOR_API uint8_t xcache_rules_ishit(xcache_rules* rule, const char* url);

/* --- JSON members ------------------------------------------------------------------------ */
/* Each writer inserts "name":"value" at the buffer's cursor, the value escaped, nothing around
   it; a NULL buffer does nothing. The name is written as it is. */

/* A text value; NULL writes "". */
VOR_API void json_StringValue(wtb* buffer, const char* name, const char* value);
/* A signed 32-bit decimal value. */
VOR_API void json_Int32Value(wtb* buffer, const char* name, int32_t value);
/* A signed 64-bit decimal value. */
VOR_API void json_Int64Value(wtb* buffer, const char* name, int64_t value);
/* Escapes at most limit characters of text into out (2 * limit + 1 bytes), NUL-terminated;
   answers the characters written. */
VOR_API int32_t json_FormatString(char* out, const char* text, int32_t limit);

VOR_EXTERN_C_END
