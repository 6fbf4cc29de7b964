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

/* --- cache rule families --------------------------------------------------------------- */
/* Ordered rule families: changes write the database first and memory second and answer false
   when the write fails; moves of the first rule up, the last rule down or an unknown wid answer
   true and change nothing; deleting an unknown wid answers true. Questions answer from memory. */

/* Session-cache rules: URLs whose responses start a visitor's session, with the session cookie's
   name and the session's lifetime in seconds. */
/* One matching rule: the lifetime, then the NUL-terminated cookie name, in one block. */
typedef struct scache_hit_entry {
  int32_t expire;
  char name[1]; /* as long as the name */
} scache_hit_entry;

VOR_API void policydb_scache_load(void);
/* false for a NULL url, kind above 2, expire 0, a NULL or empty name, a pattern that does not
   compile or a failed write. */
VOR_API uint8_t policydb_scache_append(const char* url, uint8_t icase, uint8_t rules, int32_t expire,
                                       const char* sessionid, const char* note, uint32_t* wid);
VOR_API uint8_t policydb_scache_modify(uint32_t wid, const char* url, uint8_t icase, uint8_t rules, int32_t expire,
                                       const char* sessionid, const char* note);
VOR_API uint8_t policydb_scache_delete(uint32_t wid);
VOR_API uint8_t policydb_scache_moveup(uint32_t wid);
VOR_API uint8_t policydb_scache_movedown(uint32_t wid);
/* The first matching rule's lifetime and at most len - 1 characters of its name (outs may be NULL). */
VOR_API uint8_t policydb_scache_IsHit(const char* url, int32_t* expire, char* name, int32_t len);
/* The first matching rule's lifetime (0 when none) and name. */
VOR_API int32_t policydb_scache_GetExpire(const char* url, char* name, int32_t len);
/* Every matching rule in order, as a new list of scache_hit_entry; free it with FreeHitList. */
VOR_API uint8_t policydb_scache_GetHitList(const char* url, cu_list** list);
VOR_API void policydb_scache_FreeHitList(cu_list* list);
/* The same, list and entries laid into the caller's block (nothing to free); an entry that does
   not fit is left out; false also when the block is too small to hold an arena. */
VOR_API uint8_t policydb_scache_GetHitListMM(const char* url, cu_list** list, void* block, int32_t size);
/* The distinct cookie names in first-met order as a new list of copies; NULL when none. */
VOR_API cu_list* policydb_scache_GetSessionidList(void);
VOR_API void policydb_scache_FreeSessionidList(cu_list* list);
/* The same laid into the caller's block, stopping at the first name that does not fit. */
VOR_API cu_list* policydb_scache_GetSessionidListMM(void* block, int32_t size);
VOR_API uint8_t policydb_scache_IsExist(void);

/* Intelligent-cache rules: how long a response of a class may be cached (unit 0 day, 1 hour,
   2 minute, 3 second; olimit 0 public, 1 member, 2 visitor). */
/* Loads the rules (run by load_policy_tables). */
VOR_API void policydb_icache_load(void);
/* Appends a rule after the last; false for a NULL url, kind above 2, expire 0, unit above 3,
   olimit above 2, isdiskcache above 1, a pattern that does not compile or a failed write. */
VOR_API uint8_t policydb_icache_append_x(const char* url, uint8_t icase, uint8_t rules, uint32_t expire, uint8_t unit,
                                   uint8_t icookie, uint32_t olimit, uint32_t isdiskcache, const char* note,
                                   uint32_t* wid);
/* append_x with isdiskcache 0. */
VOR_API uint8_t policydb_icache_append(const char* url, uint8_t icase, uint8_t rules, uint32_t expire, uint8_t unit,
                                 uint8_t icookie, uint32_t olimit, const char* note, uint32_t* wid);
/* Rewrites the rule; the same refusals, and false for an unknown wid. */
VOR_API uint8_t policydb_icache_modify_x(uint32_t wid, const char* url, uint8_t icase, uint8_t rules, uint32_t expire,
                                   uint8_t unit, uint8_t icookie, uint32_t olimit, uint32_t isdiskcache,
                                   const char* note);
/* modify_x with isdiskcache 0. */
VOR_API uint8_t policydb_icache_modify(uint32_t wid, const char* url, uint8_t icase, uint8_t rules, uint32_t expire,
                                 uint8_t unit, uint8_t icookie, uint32_t olimit, const char* note);
VOR_API uint8_t policydb_icache_delete(uint32_t wid);
VOR_API uint8_t policydb_icache_moveup(uint32_t wid);
VOR_API uint8_t policydb_icache_movedown(uint32_t wid);
/* The first matching rule's icookie, olimit and isdiskcache (each out may be NULL). */
VOR_API uint8_t policydb_icache_IsHit_x(const char* url, uint8_t* icookie, uint32_t* olimit, uint32_t* isdiskcache);
VOR_API uint8_t policydb_icache_IsHit(const char* url, uint8_t* icookie, uint32_t* olimit);
/* The first matching rule's expiry in seconds (0 when none) and its values. */
VOR_API uint32_t policydb_icache_GetExpire_x(const char* url, uint8_t* icookie, uint32_t* olimit, uint32_t* isdiskcache);
VOR_API uint32_t policydb_icache_GetExpire(const char* url, uint8_t* icookie, uint32_t* olimit);
/* The same over the rules of one class (olimit 0, 1 or 2). */
VOR_API uint8_t policydb_icache_IsHit__olimit0_x(const char* url, uint8_t* icookie, uint32_t* olimit,
                                            uint32_t* isdiskcache);
VOR_API uint8_t policydb_icache_IsHit__olimit0(const char* url, uint8_t* icookie, uint32_t* olimit);
VOR_API uint32_t policydb_icache_GetExpire__olimit0_x(const char* url, uint8_t* icookie, uint32_t* olimit,
                                                uint32_t* isdiskcache);
VOR_API uint32_t policydb_icache_GetExpire__olimit0(const char* url, uint8_t* icookie, uint32_t* olimit);
VOR_API uint8_t policydb_icache_IsHit__olimit1_x(const char* url, uint8_t* icookie, uint32_t* olimit,
                                            uint32_t* isdiskcache);
VOR_API uint8_t policydb_icache_IsHit__olimit1(const char* url, uint8_t* icookie, uint32_t* olimit);
VOR_API uint32_t policydb_icache_GetExpire__olimit1_x(const char* url, uint8_t* icookie, uint32_t* olimit,
                                                uint32_t* isdiskcache);
VOR_API uint32_t policydb_icache_GetExpire__olimit1(const char* url, uint8_t* icookie, uint32_t* olimit);
VOR_API uint8_t policydb_icache_IsHit__olimit2_x(const char* url, uint8_t* icookie, uint32_t* olimit,
                                            uint32_t* isdiskcache);
VOR_API uint8_t policydb_icache_IsHit__olimit2(const char* url, uint8_t* icookie, uint32_t* olimit);
VOR_API uint32_t policydb_icache_GetExpire__olimit2_x(const char* url, uint8_t* icookie, uint32_t* olimit,
                                                uint32_t* isdiskcache);
VOR_API uint32_t policydb_icache_GetExpire__olimit2(const char* url, uint8_t* icookie, uint32_t* olimit);
/* True when the class holds at least one rule. */
VOR_API uint8_t policydb_icache_IsExist__olimit0(void);
VOR_API uint8_t policydb_icache_IsExist__olimit1(void);
VOR_API uint8_t policydb_icache_IsExist__olimit2(void);

/* Force-cache rules: the same design on their own table. */
/* Loads the rules (run by load_policy_tables). */
VOR_API void policydb_fcache_load(void);
/* Appends a rule after the last; false for a NULL url, kind above 2, expire 0, unit above 3,
   olimit above 2, isdiskcache above 1, a pattern that does not compile or a failed write. */
VOR_API uint8_t policydb_fcache_append_x(const char* url, uint8_t icase, uint8_t rules, uint32_t expire, uint8_t unit,
                                   uint8_t icookie, uint32_t olimit, uint32_t isdiskcache, const char* note,
                                   uint32_t* wid);
/* append_x with isdiskcache 0. */
VOR_API uint8_t policydb_fcache_append(const char* url, uint8_t icase, uint8_t rules, uint32_t expire, uint8_t unit,
                                 uint8_t icookie, uint32_t olimit, const char* note, uint32_t* wid);
/* Rewrites the rule; the same refusals, and false for an unknown wid. */
VOR_API uint8_t policydb_fcache_modify_x(uint32_t wid, const char* url, uint8_t icase, uint8_t rules, uint32_t expire,
                                   uint8_t unit, uint8_t icookie, uint32_t olimit, uint32_t isdiskcache,
                                   const char* note);
/* modify_x with isdiskcache 0. */
VOR_API uint8_t policydb_fcache_modify(uint32_t wid, const char* url, uint8_t icase, uint8_t rules, uint32_t expire,
                                 uint8_t unit, uint8_t icookie, uint32_t olimit, const char* note);
VOR_API uint8_t policydb_fcache_delete(uint32_t wid);
VOR_API uint8_t policydb_fcache_moveup(uint32_t wid);
VOR_API uint8_t policydb_fcache_movedown(uint32_t wid);
/* The first matching rule's icookie, olimit and isdiskcache (each out may be NULL). */
VOR_API uint8_t policydb_fcache_IsHit_x(const char* url, uint8_t* icookie, uint32_t* olimit, uint32_t* isdiskcache);
VOR_API uint8_t policydb_fcache_IsHit(const char* url, uint8_t* icookie, uint32_t* olimit);
/* The first matching rule's expiry in seconds (0 when none) and its values. */
VOR_API uint32_t policydb_fcache_GetExpire_x(const char* url, uint8_t* icookie, uint32_t* olimit, uint32_t* isdiskcache);
VOR_API uint32_t policydb_fcache_GetExpire(const char* url, uint8_t* icookie, uint32_t* olimit);
/* The same over the rules of one class (olimit 0, 1 or 2). */
VOR_API uint8_t policydb_fcache_IsHit__olimit0_x(const char* url, uint8_t* icookie, uint32_t* olimit,
                                            uint32_t* isdiskcache);
VOR_API uint8_t policydb_fcache_IsHit__olimit0(const char* url, uint8_t* icookie, uint32_t* olimit);
VOR_API uint32_t policydb_fcache_GetExpire__olimit0_x(const char* url, uint8_t* icookie, uint32_t* olimit,
                                                uint32_t* isdiskcache);
VOR_API uint32_t policydb_fcache_GetExpire__olimit0(const char* url, uint8_t* icookie, uint32_t* olimit);
VOR_API uint8_t policydb_fcache_IsHit__olimit1_x(const char* url, uint8_t* icookie, uint32_t* olimit,
                                            uint32_t* isdiskcache);
VOR_API uint8_t policydb_fcache_IsHit__olimit1(const char* url, uint8_t* icookie, uint32_t* olimit);
VOR_API uint32_t policydb_fcache_GetExpire__olimit1_x(const char* url, uint8_t* icookie, uint32_t* olimit,
                                                uint32_t* isdiskcache);
VOR_API uint32_t policydb_fcache_GetExpire__olimit1(const char* url, uint8_t* icookie, uint32_t* olimit);
VOR_API uint8_t policydb_fcache_IsHit__olimit2_x(const char* url, uint8_t* icookie, uint32_t* olimit,
                                            uint32_t* isdiskcache);
VOR_API uint8_t policydb_fcache_IsHit__olimit2(const char* url, uint8_t* icookie, uint32_t* olimit);
VOR_API uint32_t policydb_fcache_GetExpire__olimit2_x(const char* url, uint8_t* icookie, uint32_t* olimit,
                                                uint32_t* isdiskcache);
VOR_API uint32_t policydb_fcache_GetExpire__olimit2(const char* url, uint8_t* icookie, uint32_t* olimit);
/* True when the class holds at least one rule. */
VOR_API uint8_t policydb_fcache_IsExist__olimit0(void);
VOR_API uint8_t policydb_fcache_IsExist__olimit1(void);
VOR_API uint8_t policydb_fcache_IsExist__olimit2(void);

/* Refuse-cache rules: URLs of a class that must not be cached (cachelocation 0) or must not go
   to the disk cache (cachelocation 1). */
VOR_API void policydb_rcache_load(void);
/* false for a NULL url, kind above 2, olimit above 2, cachelocation above 1, a pattern that does
   not compile or a failed write. */
VOR_API uint8_t policydb_rcache_append_x(const char* url, uint8_t icase, uint8_t rules, uint32_t olimit,
                                         uint32_t cachelocation, const char* note, uint32_t* wid);
VOR_API uint8_t policydb_rcache_append(const char* url, uint8_t icase, uint8_t rules, uint32_t olimit,
                                       const char* note, uint32_t* wid);
VOR_API uint8_t policydb_rcache_modify_x(uint32_t wid, const char* url, uint8_t icase, uint8_t rules, uint32_t olimit,
                                         uint32_t cachelocation, const char* note);
/* modify_x with cachelocation 0. */
VOR_API uint8_t policydb_rcache_modify(uint32_t wid, const char* url, uint8_t icase, uint8_t rules, uint32_t olimit,
                                       const char* note);
VOR_API uint8_t policydb_rcache_delete(uint32_t wid);
VOR_API uint8_t policydb_rcache_moveup(uint32_t wid);
VOR_API uint8_t policydb_rcache_movedown(uint32_t wid);
VOR_API uint8_t policydb_rcache_IsHit_x(const char* url, uint32_t* olimit, uint32_t* cachelocation);
VOR_API uint8_t policydb_rcache_IsHit(const char* url, uint32_t* olimit);
VOR_API uint8_t policydb_rcache_IsHit__olimit0_x(const char* url, uint32_t* olimit, uint32_t* cachelocation);
VOR_API uint8_t policydb_rcache_IsHit__olimit0(const char* url, uint32_t* olimit);
VOR_API uint8_t policydb_rcache_IsHit__olimit1_x(const char* url, uint32_t* olimit, uint32_t* cachelocation);
VOR_API uint8_t policydb_rcache_IsHit__olimit1(const char* url, uint32_t* olimit);
VOR_API uint8_t policydb_rcache_IsHit__olimit2_x(const char* url, uint32_t* olimit, uint32_t* cachelocation);
VOR_API uint8_t policydb_rcache_IsHit__olimit2(const char* url, uint32_t* olimit);

/* --- IP black and white lists ----------------------------------------------------------- */
/* Disjoint IPv4 ranges (host order) with an expiry (Unix seconds) each, in wc_black and
   wc_white; the white list's table is made with seven private ranges when it is missing. */

/* Loads the list (run by load_policy_tables). */
VOR_API void policydb_black_load(void);
/* Adds [low, high]; false when high < low, it shares an address with a held range, or the
   write fails. Its wid goes to *wid when given. */
VOR_API uint8_t policydb_black_append(uint32_t low, uint32_t high, uint32_t expire, const char* note, uint32_t* wid);
/* Changes the expiry and note of a held range; false for an unknown wid. */
VOR_API uint8_t policydb_black_modify(uint32_t wid, uint32_t expire, const char* note);
/* Changes the range too; false when it would share an address with another held range. */
VOR_API uint8_t policydb_black_modify_ext(uint32_t wid, uint32_t low, uint32_t high, uint32_t expire,
                                          const char* note);
/* Deletes the range; an unknown wid answers true. */
VOR_API uint8_t policydb_black_delete(uint32_t wid);
/* True when a range holds the address and expires after the edge server's clock. */
VOR_API uint8_t policydb_black_IsHit(uint32_t address);

/* The same for the white list. */
VOR_API void policydb_white_load(void);
VOR_API uint8_t policydb_white_append(uint32_t low, uint32_t high, uint32_t expire, const char* note, uint32_t* wid);
VOR_API uint8_t policydb_white_modify(uint32_t wid, uint32_t expire, const char* note);
VOR_API uint8_t policydb_white_modify_ext(uint32_t wid, uint32_t low, uint32_t high, uint32_t expire,
                                          const char* note);
VOR_API uint8_t policydb_white_delete(uint32_t wid);
VOR_API uint8_t policydb_white_IsHit(uint32_t address);

/* --- URL rewrite rules ------------------------------------------------------------------- */
/* Ordered rules of wc_rewrite: a regular expression over the URL (src, "%{HTTP_HOST}" allowed),
   a template (dst, $1.. for the groups) and a flag: 0 stop, 1 stop (redirect), 2 start once
   more with the rewritten URL, 3 go on with the next rule on the rewritten URL. */

/* Loads the rules (run by load_policy_tables). */
VOR_API void policydb_rewrite_load(void);
/* Appends a rule after the last; false for NULL texts, a flag above 3, a src that does not
   compile or a failed write. Its wid goes to *wid when given. */
VOR_API uint8_t policydb_rewrite_append(const char* src, const char* dst, uint8_t icase, uint8_t flag,
                                        const char* note, uint32_t* wid);
/* Rewrites the rule; false as append does, and for an unknown wid. */
VOR_API uint8_t policydb_rewrite_modify(uint32_t wid, const char* src, const char* dst, uint8_t icase, uint8_t flag,
                                        const char* note);
/* Deletes the rule; an unknown wid answers true. */
VOR_API uint8_t policydb_rewrite_delete(uint32_t wid);
/* Moves the rule one place; the first up, the last down and an unknown wid answer true. */
VOR_API uint8_t policydb_rewrite_moveup(uint32_t wid);
VOR_API uint8_t policydb_rewrite_movedown(uint32_t wid);
/* True when the URL is rewritten: the new URL in out (len characters and a NUL at most) and the
   deciding flag in *flag (when given). A rule that rewrites its own output again with flag 2
   gives no rewrite. */
VOR_API uint8_t policydb_rewrite_IsHit(const char* url, char* out, int32_t len, uint8_t* flag);
/* True when at least one rule is loaded. */
VOR_API uint8_t policydb_rewrite_IsExist(void);

/* --- hotlink protection and permits ------------------------------------------------------ */
/* Rules of wc_protect: a regular expression over the request URL (pturl) and a location template
   (lcurl, $1.. for the groups), in wid order; each with permits of wc_permit, regular expressions
   over the Referer. "%{HTTP_HOST}" in an expression names the request's host. */

/* Loads the rules and their permits (run by load_policy_tables). */
VOR_API void policydb_protect_load(void);
/* Appends a rule without permits; false for NULL texts, a pturl that does not compile or a failed
   write. Its wid goes to *wid when given. */
VOR_API uint8_t policydb_protect_append(const char* pturl, const char* lcurl, uint8_t icase, const char* note,
                                        uint32_t* wid);
/* Rewrites the rule; its permits stay. False as append does, and for an unknown wid. */
VOR_API uint8_t policydb_protect_modify(uint32_t wid, const char* pturl, const char* lcurl, uint8_t icase,
                                        const char* note);
/* Deletes the rule and its permits in one transaction; true whenever a database handle exists. */
VOR_API uint8_t policydb_protect_delete(uint32_t wid);
/* True when the request must be redirected: the first rule whose pturl matches the URL and none of
   whose permits matches the Referer (a leading "http://" dropped) decides, and its location
   (written into location, len bytes at most) differs from the Referer. NULL Referer: false. */
VOR_API uint8_t policydb_protect_IsHit(const char* url, const char* referer, char* location, int32_t len);
/* True when at least one rule is loaded. */
VOR_API uint8_t policydb_protect_IsExist(void);
/* Appends a permit to a loaded rule; false for an unknown wid, a NULL or bad pturl, a failed
   write. Its permitid goes to *permitid when given. */
VOR_API uint8_t policydb_permit_append(uint32_t wid, const char* pturl, uint8_t icase, const char* note,
                                       uint32_t* permitid);
/* Rewrites the permit permitid of rule wid; false when that rule holds no such permit. */
VOR_API uint8_t policydb_permit_modify(uint32_t permitid, uint32_t wid, const char* pturl, uint8_t icase,
                                       const char* note);
/* Deletes the permit permitid of rule wid; false for an unknown rule or a failed write. */
VOR_API uint8_t policydb_permit_delete(uint32_t wid, uint32_t permitid);

/* --- proxy hosts and upstreams ---------------------------------------------------------- */
/* A proxy host is a site this node serves as a reverse proxy, with the upstreams its misses go
   to. balance: 0 round robin, 1 hash of the client address, 2 hash of the URL. ssl_opt of a proxy
   (1 or 2): it has a server certificate; of an upstream: 0 never TLS, 1 TLS, 2 TLS behind TLS
   clients. Changes write the database first and memory second. */

/* Loads proxies and upstreams (run by load_policy_tables). */
VOR_API void policydb_proxy_load(void);
/* Adds a proxy; false for a NULL host, balance above 2, ssl_opt outside 0..2, ssl_opt 1 or 2
   without a certificate and key or whose context cannot be built, or a refused insert (then a
   loaded proxy of that host has its wid written to *wid). */
VOR_API uint8_t policydb_proxy_append_ext(const char* host, uint8_t balance, const char* note, int32_t ssl_opt,
                                          const char* ssl_crt_content, const char* ssl_key_content,
                                          const char* ssl_extra_params, uint32_t* wid);
VOR_API uint8_t policydb_proxy_append(const char* host, uint8_t balance, const char* note, uint32_t* wid);
/* Changes a proxy; a changed host restarts its counters. The short form removes its TLS settings. */
VOR_API uint8_t policydb_proxy_modify_ext(uint32_t wid, const char* host, uint8_t balance, const char* note,
                                          int32_t ssl_opt, const char* ssl_crt_content, const char* ssl_key_content,
                                          const char* ssl_extra_params);
VOR_API uint8_t policydb_proxy_modify(uint32_t wid, const char* host, uint8_t balance, const char* note);
/* Removes a proxy and its upstreams in one transaction; false (memory kept) when it fails; an
   unknown wid answers true. */
VOR_API uint8_t policydb_proxy_delete(uint32_t wid);
/* Removes every proxy and upstream in one transaction; false (memory kept) when it fails. */
VOR_API uint8_t policydb_proxy_clean(void);
/* Enables (on 1) or disables the first proxy of that host (case ignored) or wid; true when no
   statement failed, matched or not; false without proxies. */
VOR_API uint8_t policydb_proxy_enable_1(const char* host, uint8_t on);
VOR_API uint8_t policydb_proxy_enable_2(uint32_t wid, uint8_t on);
/* Chooses the upstream for a request host, client address text and cache-key URL: on true the
   buffer (len bytes with the NUL) holds the upstream host and the given outs are set; on false
   nothing is written. */
VOR_API uint8_t policydb_proxy_IsHitExtExt(const char* host, const char* client, const char* url, char* buffer,
                                           int32_t len, uint32_t* wid, uint32_t* upstreamid,
                                           uint32_t* proxy_ssl_opt, uint32_t* upstream_ssl_opt);
VOR_API uint8_t policydb_proxy_IsHitExt(const char* host, const char* client, const char* url, char* buffer,
                                        int32_t len, uint32_t* wid, uint32_t* upstreamid);
VOR_API uint8_t policydb_proxy_IsHit(const char* host, const char* client, const char* url, char* buffer,
                                     int32_t len);
/* True when at least one proxy is loaded. */
VOR_API uint8_t policydb_proxy_IsExist(void);
/* Adds an upstream to the proxy wid; false for a NULL host, ssl_opt outside 0..2, ssl_opt 1 whose
   context cannot be built, an unknown wid or a failed write. */
VOR_API uint8_t policydb_upstream_append_ext(uint32_t wid, const char* host, uint32_t weight, const char* note,
                                             int32_t ssl_opt, const char* ssl_crt_content,
                                             const char* ssl_key_content, const char* ssl_extra_params,
                                             uint32_t* upstreamid);
VOR_API uint8_t policydb_upstream_append(uint32_t wid, const char* host, uint32_t weight, const char* note,
                                         uint32_t* upstreamid);
/* Changes the upstream (upstreamid, wid); false when no row of that pair changed. A changed host
   restarts its counters and marks it up. The short form removes its TLS settings. */
VOR_API uint8_t policydb_upstream_modify_ext(uint32_t upstreamid, uint32_t wid, const char* host, uint32_t weight,
                                             const char* note, int32_t ssl_opt, const char* ssl_crt_content,
                                             const char* ssl_key_content, const char* ssl_extra_params);
VOR_API uint8_t policydb_upstream_modify(uint32_t upstreamid, uint32_t wid, const char* host, uint32_t weight,
                                         const char* note);
/* Removes the upstream; false for an unknown wid or a failed delete. */
VOR_API uint8_t policydb_upstream_delete(uint32_t wid, uint32_t upstreamid);
/* Enables or disables every upstream of that host (case ignored), memory only. */
VOR_API uint8_t policydb_upstream_enable(const char* host, uint8_t on);
/* Marks every upstream of that host down (1) or up; true when one matched. */
VOR_API uint8_t policydb_upstream_down_1(const char* host, uint8_t down);
/* Marks one upstream down or up; true when it exists. */
VOR_API uint8_t policydb_upstream_down_2(uint32_t wid, uint32_t upstreamid, uint8_t down);
/* The down flag, down time and at most 256 characters of the host (a 257-byte buffer or NULL);
   false with the outputs zero for an unknown upstream. */
VOR_API uint8_t policydb_upstream_down_status(uint32_t wid, uint32_t upstreamid, uint8_t* down, int64_t* down_time,
                                              char* host);

/* --- proxy statistics and listings ------------------------------------------------------- */
/* Counters of the current period of every proxy and upstream, under the proxy lock. Each
   answers true when no proxy is loaded and false for an unknown wid. */

/* Every counter but the connection counts starts again now. */
VOR_API uint8_t policydb_proxy_stat_reset(void);
/* Adds bytes to the proxy and the upstream when the upstream exists. */
VOR_API uint8_t policydb_proxy_stat_SynUploadCount(uint32_t wid, uint32_t upstreamid, uint64_t bytes);
VOR_API uint8_t policydb_proxy_stat_SynDownloadCount(uint32_t wid, uint32_t upstreamid, uint64_t bytes);
/* Connection counts of the proxy, and of the upstream when it exists; never below 0; wid
   0xFFFFFFFF (no proxy) does nothing. */
VOR_API uint8_t policydb_proxy_stat_SynUserConnectionAdd(uint32_t wid, uint32_t upstreamid);
VOR_API uint8_t policydb_proxy_stat_SynUserConnectionDel(uint32_t wid, uint32_t upstreamid);
VOR_API uint8_t policydb_proxy_stat_SynUpstreamConnectionAdd(uint32_t wid, uint32_t upstreamid);
VOR_API uint8_t policydb_proxy_stat_SynUpstreamConnectionDel(uint32_t wid, uint32_t upstreamid);
/* Records a client address (host order) in the proxy's set when the upstream exists. */
VOR_API uint8_t policydb_proxy_stat_SynIP(uint32_t wid, uint32_t upstreamid, uint32_t address);
/* Admin replies as new texts (freed with wtb_free): the proxies, one proxy, its upstreams, one
   upstream, with or without counters and stored TLS texts; NULL for an unknown wid or
   upstreamid or when memory is short. The short forms list counters without TLS texts. */
VOR_API wtb* policydb_proxy_stat_GetProxyListAllByJson_ext(const char* request_id, uint8_t counters, uint8_t tls);
VOR_API wtb* policydb_proxy_stat_GetProxyInfoByJson_ext(uint32_t wid, const char* request_id, uint8_t counters,
                                                        uint8_t tls);
VOR_API wtb* policydb_proxy_stat_GetUpstreamListAllByJson_ext(uint32_t wid, const char* request_id,
                                                              uint8_t counters, uint8_t tls);
VOR_API wtb* policydb_proxy_stat_GetUpstreamInfoByJson_ext(uint32_t wid, uint32_t upstreamid,
                                                           const char* request_id, uint8_t counters, uint8_t tls);
VOR_API wtb* policydb_proxy_stat_GetProxyListAllByJson(const char* request_id);
VOR_API wtb* policydb_proxy_stat_GetProxyInfoByJson(uint32_t wid, const char* request_id);
VOR_API wtb* policydb_proxy_stat_GetUpstreamListAllByJson(uint32_t wid, const char* request_id);
VOR_API wtb* policydb_proxy_stat_GetUpstreamInfoByJson(uint32_t wid, uint32_t upstreamid, const char* request_id);

/* --- cache disks ------------------------------------------------------------------------ */
/* Folders numbered by the administrator (num 0 or more) that take the disk cache's files. Every
   operation answers false (or NULL) for a negative num. Changes write wc_diskno first and memory
   second; the full marks and the round-robin cursors live in memory only. Paths are copied with
   at most len - 1 characters and a NUL. */

/* Adds the disk, or changes it when num is known; note NULL counts as empty, a disk with an empty
   path is taken as not used. On success an empty marker file named after the time, the number and
   the use is made in the disk's folder. False for a NULL path or a failed write. */
VOR_API uint8_t policydb_diskno_append_x(int32_t num, const char* path, int64_t quota, uint8_t used, uint8_t ssd,
                                         const char* note);
/* The same operation. */
VOR_API uint8_t policydb_diskno_modify_x(int32_t num, const char* path, int64_t quota, uint8_t used, uint8_t ssd,
                                         const char* note);
/* append_x with ssd 0, under two names. */
VOR_API uint8_t policydb_diskno_append(int32_t num, const char* path, int64_t quota, uint8_t used, const char* note);
VOR_API uint8_t policydb_diskno_modify(int32_t num, const char* path, int64_t quota, uint8_t used, const char* note);
/* Changes only the SSD flag; false for an unknown num, a flag that already has that value or a
   failed write (memory unchanged). */
VOR_API uint8_t policydb_diskno_modify_BySSD(int32_t num, uint8_t ssd);
/* The number of used disks, without a lock. */
VOR_API int32_t policydb_diskno_GetNumUsed(void);
/* Marks a used disk full (an unused one is left alone) / clears the mark; true for a known num. */
VOR_API uint8_t policydb_diskno_SetFull(int32_t num);
VOR_API uint8_t policydb_diskno_SetUnfull(int32_t num);
/* The folder of a used disk. */
VOR_API uint8_t policydb_diskno_GetPath(int32_t num, char* buffer, int32_t len);
/* True when the disk is known and marked SSD. */
VOR_API uint8_t policydb_diskno_IsSSD(int32_t num);
/* The next used, not full disk after this choice's cursor, in ascending num order and round
   again: its number in *num and its folder in buffer (either may be NULL). The SSD and HDD forms
   take only disks of that kind, each with a cursor of its own. */
VOR_API uint8_t policydb_diskno_GetAvailablePath(int32_t* num, char* buffer, int32_t len);
VOR_API uint8_t policydb_diskno_GetAvailablePath_BySSD(int32_t* num, char* buffer, int32_t len);
VOR_API uint8_t policydb_diskno_GetAvailablePath_ByHDD(int32_t* num, char* buffer, int32_t len);
/* Admin replies as new texts (freed with wtb_free): one disk (an unknown num listed empty), every
   disk; NULL when memory is short. */
VOR_API wtb* policydb_diskno_GetDiskNoInfoByJson(int32_t num, const char* request_id);
VOR_API wtb* policydb_diskno_GetListAllByJson(const char* request_id);

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

/* TLS of proxy hosts and upstreams. Context builders answer NULL with *error set: -1 extra
   parameters not a form or memory short, -2 certificate refused, -3 key refused, -4 key and
   certificate apart, -5 cipher list refused, -6 DH parameters refused, -100 protocols, curve or
   session settings refused. */
VOR_API void* policydb_proxy_ssl_CtxNew(const char* certificate, const char* key, const char* extra, int32_t* error);
/* Frees a context of policydb_proxy_ssl_CtxNew; NULL ignored. */
VOR_API void policydb_proxy_ssl_CtxFree(void* context);
/* Moves a client's TLS connection to the context of the proxy host its server name picks; 0 keeps it. */
VOR_API uint8_t policydb_proxy_ssl_CtxReset(SSL* ssl, const char* server_name);
/* 1 when the pipe speaks TLS to the upstream of the pair for the client sid. */
VOR_API uint8_t policydb_upstream_ssl_NeedSSL(int64_t sid, uint32_t wid, uint32_t upstreamid);
/* A TLS connection to the upstream (an unknown pair behind a TLS client: the default client
   context), NULL when NeedSSL says no or it cannot be made; free with policydb_upstream_ssl_ConnFree. */
VOR_API cu_ssl_conn* policydb_upstream_ssl_ConnNew(int64_t sid, uint32_t wid, uint32_t upstreamid);
VOR_API void policydb_upstream_ssl_ConnFree(cu_ssl_conn* conn);
/* Offers the upstream's saved session on the connection; nothing for an unknown pair. */
VOR_API void policydb_upstream_ssl_SetSession(cu_ssl_conn* conn, uint32_t wid, uint32_t upstreamid);
/* Keeps the connection's current session for the upstream (the last saved wins). */
VOR_API void policydb_upstream_ssl_SaveSession(cu_ssl_conn* conn, uint32_t wid, uint32_t upstreamid);

/* A name resolver of the health checks: the first address of host into out (64 bytes); 1 on success. */
typedef uint8_t (*policydb_gethostip_fn)(const char* host, char* out);
/* A failed connection (down 1) marks the upstream down and starts its health check; down 0 marks
   it up. An upstream whose host is a template ("$") stays up, unchecked. */
VOR_API void policydb_upstream_down_checking(uint32_t wid, uint32_t upstreamid, uint8_t down);
/* Installs the checks' resolver when fn is not NULL; answers the one in force. */
VOR_API policydb_gethostip_fn policydb_upstream_down_ImportGetHostIP(policydb_gethostip_fn fn);

VOR_EXTERN_C_END
