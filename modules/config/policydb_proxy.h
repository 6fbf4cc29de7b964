// Proxy hosts (table upfetch) and their upstreams (table wc_upstream): which upstream serves a
// request's host, by the proxy's balancing mode, and each upstream's down state.
#pragma once
#include "cu_pattern.h"
#include "cu_sem.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace policydb::proxy {

// A stored TLS text: NULL stays apart from the empty text.
using Text = std::optional<std::string>;

// Traffic counters of one counting period.
struct Counters {
  int64_t start = 0;  // seconds, the edge server's clock
  uint64_t requests = 0;  // also the round-robin cursor
  uint64_t upload = 0;
  uint64_t download = 0;
  std::set<uint32_t> clients;
  uint32_t user_connections = 0;
  uint32_t upstream_connections = 0;
};

// A TLS context owned by its record, released through the builder that made it.
struct Context {
  void* handle = nullptr;
  void (*release)(void*) = nullptr;
  Context() = default;
  Context(void* h, void (*r)(void*)) : handle(h), release(r) {}
  Context(Context&& other) noexcept { *this = std::move(other); }
  Context& operator=(Context&& other) noexcept;
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context();
};

struct TlsTexts {
  int32_t ssl_opt = 0;
  Text certificate;
  Text key;
  Text extra;
};

struct Upstream {
  uint32_t upstreamid = 0;
  uint32_t wid = 0;
  std::string host;  // lowercased
  uint32_t weight = 0;
  std::string note;
  bool disabled = false;  // memory only
  bool down = false;
  int64_t down_time = 0;
  Counters counters;
  TlsTexts tls;
  Context context;
  std::string session;  // the last TLS session saved for resumption (DER), empty when none
};

struct WildcardFree {
  void operator()(cu_pattern* p) const { cu_pattern_free(p); }
};

struct Proxy {
  uint32_t wid = 0;
  std::string host;  // lowercased
  std::unique_ptr<cu_pattern, WildcardFree> wildcard;  // when the host holds '*' or '?'
  uint8_t balance = 0;
  std::string note;
  bool disabled = false;
  Counters counters;
  TlsTexts tls;
  Context context;
  std::vector<Upstream> upstreams;
};

// The request host's share of an upstream host template: "$0" is the host, "$<digit>" nothing,
// any other '$' itself; into out of len bytes, the first piece that does not fit cut to the room.
void expand_host(std::string_view tmpl, std::string_view host, char* out, int32_t len);
// A request host that "$0" may copy into an upstream address: [0-9a-z.-]+, then ':' and digits.
bool host_fits_template(std::string_view host);
// The balancing hash: h = h * 31 + byte over signed bytes, wrapping in 32 bits.
int32_t hash_of(const char* text);

void load();
void reset();
// Runs fn on the upstream of the pair under the proxy lock; false (fn not run) when unknown.
bool with_upstream(uint32_t wid, uint32_t upstreamid, const std::function<void(Upstream&)>& fn);
// Runs fn under the proxy lock on the proxy a TLS server name picks: the host index, else the
// first proxy in list order whose host or wildcard matches (case ignored); false when none.
bool with_named_proxy(const std::string& name, const std::function<void(Proxy&)>& fn);
// Seconds between health checks of a down upstream (proxy.ini, default 60).
uint32_t down_check_interval();
// The lock that guards the health checks' index (made by the loader).
cu_sem* check_lock();
// The proxy lock (NULL before the loader made it); whoever reads or counts on the proxies below
// holds it.
cu_sem* lock();
// The proxies in list order, and one by wid (NULL when unknown).
const std::vector<std::unique_ptr<Proxy>>& proxies();
Proxy* find(uint32_t wid);

}  // namespace policydb::proxy
