// nameres: the node's DNS cache and asynchronous resolver. One resolver thread owns the c-ares
// channel; callers on any thread look names up (IPv4 only), read the cache and change the
// settings. Names are cached by their lower-case text. The DNS cache service that answers other
// hosts and the system redirect records are not part of this library: their calls answer false.
#pragma once
#include "cu_jitter.h"
#include "vor_box.h"
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct nameres_dns nameres_dns;

/* Completion of nameres_AddRequest, on the resolver thread: the name as asked, the address text ("" on
   failure; both valid during the call), then the caller's arguments; the three copies are the callback's. */
typedef void (*nameres_callback_fn)(nameres_dns* dns, const char* name, const char* ip, bool success, int64_t sid,
                                    char* data, int32_t len, vor_box* box, char* tag, int32_t flag, char* host);

/* The resolver (its thread starts at the first call); NULL only when it cannot start. */
VOR_API nameres_dns* nameres_GetDnsHandle(void);
/* A fresh cached address (or the name itself when it is a dotted IPv4 address) into ip (at most 16 bytes). */
VOR_API bool nameres_HitCache(const char* name, char* ip);
/* Queues a look-up: true and cb runs exactly once within 5,000 ms, on the resolver thread; false (nothing
   taken) for a refused name, a NULL resolver or callback, or 65,536 look-ups waiting. */
VOR_API bool nameres_AddRequest(nameres_dns* dns, const char* name, nameres_callback_fn cb, int64_t sid, char* data,
                                int32_t len, vor_box* box, char* tag, int32_t flag, char* host, int32_t reserved1,
                                int32_t reserved2);
/* An address of the name into ip (32 bytes), the next one each call: a fresh or lately expired entry, else a
   look-up waited for (at most 5,000 ms). */
VOR_API bool wc_gethostbyname(const char* name, char* ip);
/* The address after the last one given of any cached entry, expired or not, into ip (32 bytes). */
VOR_API bool nameres_HitAnyCache(const char* name, char* ip);
/* Bytes of memory the cache holds. */
VOR_API int64_t nameres_GetCacheSize(void);
/* Cached names. */
VOR_API uint32_t nameres_NumOfCache(void);

/* Whether the DNS cache service runs: it is not built, so false. */
VOR_API bool nameres_BindCheck(void);
/* Starts the DNS cache service: not built, so false (logged once). */
VOR_API bool nameres_BindSetUp(void);
/* Stops the DNS cache service: nothing runs, so true. */
VOR_API bool nameres_BindShutDown(void);

/* Cache cap (0 is read as 1); entries beyond it are evicted at once, least recently used first. */
VOR_API bool nameres_set_MaxNumOfDNSCache(uint32_t n);
/* Seconds an entry stays fresh at least, whatever the answer's TTL. */
VOR_API bool nameres_set_MinTTLOfDNSCache(uint32_t seconds);
/* Tries of 1,000 ms per server (0 is read as 1); the channel is rebuilt with it. */
VOR_API bool nameres_set_MaxRetryingTimes(uint32_t n);
/* 0 system servers, 1 UpstreamDNS1..8 (system when all empty), 2 both; false above 2. Rebuilds the channel. */
VOR_API bool nameres_set_DNSType(uint32_t type);
/* Upstream server n: an IPv4 text, or empty / NULL for none; false for another text. Applies at the next
   nameres_set_DNSRefresh or nameres_set_DNSType. */
VOR_API bool nameres_set_CustomUpstreamDNS1(const char* ip);
VOR_API bool nameres_set_CustomUpstreamDNS2(const char* ip);
VOR_API bool nameres_set_CustomUpstreamDNS3(const char* ip);
VOR_API bool nameres_set_CustomUpstreamDNS4(const char* ip);
VOR_API bool nameres_set_CustomUpstreamDNS5(const char* ip);
VOR_API bool nameres_set_CustomUpstreamDNS6(const char* ip);
VOR_API bool nameres_set_CustomUpstreamDNS7(const char* ip);
VOR_API bool nameres_set_CustomUpstreamDNS8(const char* ip);
/* Kept for the redirect service, which is not built; false for a text that is no IPv4 address. */
VOR_API bool nameres_set_DefaultRedirectIP(const char* ip);
/* Rebuilds the channel with the current servers, on the resolver thread; look-ups in flight are re-issued. */
VOR_API bool nameres_set_DNSRefresh(void);

/* Appends a whole admin reply listing the cache (at most 100,000 rows). */
VOR_API void nameres_GetXCacheList(cu_jitter* out);
/* Appends the system redirect members of the redirect list (none exist), ending ",\r\n". */
VOR_API void nameres_GetXRedirectList(cu_jitter* out);
/* Appends the redirect class members of the class list (none exist). */
VOR_API void nameres_GetXRedirecClassList(cu_jitter* out);
/* Drops the cached name; false when it was not cached. */
VOR_API bool nameres_DelCache(const char* name);
/* Empties the cache. */
VOR_API void nameres_CleanAllCache(void);
/* No redirect class exists: false. */
VOR_API bool nameres_EnableRedirectClass(const char* name, bool on);
/* No system redirect exists: false. */
VOR_API bool nameres_HitRedirect(const char* domain, char* note, int32_t* ttl, uint32_t* ip);

VOR_EXTERN_C_END
