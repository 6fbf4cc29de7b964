// Traffic counters of proxy hosts and upstreams, fed by the request handler and the pipe, and the
// admin listings of proxies and upstreams with their settings and counters as JSON replies.
#include "policydb.h"
#include "policydb_proxy.h"

#include <algorithm>
#include <ctime>
#include <string>

namespace policydb::proxy {

namespace {

constexpr uint32_t kNoProxy = UINT32_MAX;  // the wid -1 of a request that found no proxy

class ProxyLock {
 public:
  ProxyLock() : lock_(lock()) {
    if (lock_) cu_sem_lock(lock_);
  }
  ~ProxyLock() {
    if (lock_) cu_sem_unlock(lock_);
  }
  ProxyLock(const ProxyLock&) = delete;
  ProxyLock& operator=(const ProxyLock&) = delete;

 private:
  cu_sem* lock_;
};

Upstream* upstream_of(Proxy& p, uint32_t upstreamid) {
  for (Upstream& u : p.upstreams) {
    if (u.upstreamid == upstreamid) return &u;
  }
  return nullptr;
}

void restart(Counters& c, int64_t now) {
  c.start = now;
  c.requests = 0;
  c.upload = 0;
  c.download = 0;
  c.clients.clear();
}

// Runs f(proxy, upstream or NULL) under the proxy lock: true with no proxies, false for an
// unknown wid.
template <typename F>
uint8_t count(uint32_t wid, uint32_t upstreamid, F&& f) {
  ProxyLock held;
  if (proxies().empty()) return 1;
  Proxy* p = find(wid);
  if (!p) return 0;
  f(*p, upstream_of(*p, upstreamid));
  return 1;
}


uint8_t connection(uint32_t wid, uint32_t upstreamid, uint32_t Counters::*field, bool add) {
  if (wid == kNoProxy) return 1;
  return count(wid, upstreamid, [&](Proxy& p, Upstream* u) {
    for (Counters* c : {&p.counters, u ? &u->counters : nullptr}) {
      if (!c) continue;
      uint32_t& n = c->*field;
      if (add) {
        ++n;
      } else if (n > 0) {
        --n;
      }
    }
  });
}

uint8_t bytes(uint32_t wid, uint32_t upstreamid, uint64_t n, uint64_t Counters::*field) {
  return count(wid, upstreamid, [&](Proxy& p, Upstream* u) {
    if (!u) return;
    p.counters.*field += n;
    u->counters.*field += n;
  });
}

// --- the listings ---------------------------------------------------------------------------

std::string local_time(int64_t t) {
  const time_t when = static_cast<time_t>(t);
  std::tm tm{};
  if (!localtime_r(&when, &tm)) return "";
  char text[64];
  snprintf(text, sizeof text, "%d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
           tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

int64_t wall_milliseconds() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct Options {
  const char* request_id;
  bool counters;
  bool tls;
};

class Reply {
 public:
  explicit Reply(int32_t capacity) : w_(wtb_make("", capacity)) {}
  ~Reply() { wtb_free(w_); }
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;
  bool ok() const { return w_ != nullptr; }
  void text(const char* s) { wtb_InsertString(w_, s); }
  void member(const char* name, const char* value) { json_StringValue(w_, name, value); }
  void member(const char* name, int32_t value) { json_Int32Value(w_, name, value); }
  void member64(const char* name, int64_t value) { json_Int64Value(w_, name, value); }
  void next() { text(","); }
  wtb* release() {
    wtb* w = w_;
    w_ = nullptr;
    return w;
  }

  // "{", Return, RequestID, NumOfLists and, when there are rows, the opening of Lists.
  void head(const Options& o, int32_t rows) {
    text("{\r\n  ");
    member("Return", "True");
    text(",\r\n");
    if (o.request_id) {
      text("  ");
      member("RequestID", o.request_id);
      text(",\r\n");
    }
    text("  ");
    member("NumOfLists", rows);
    if (rows > 0) text(",\r\n  \"Lists\":\r\n   [\r\n");
  }
  void row_start() { text("     {"); }
  void row_end(bool last) { text(last ? "}\r\n" : "},\r\n"); }
  void tail(int32_t rows) { text(rows > 0 ? "   ]\r\n}" : "\r\n}"); }

 private:
  wtb* w_;
};

void tls_members(Reply& r, const TlsTexts& t, bool texts) {
  r.member("SSLOpt", t.ssl_opt);
  r.next();
  r.member("SSLCrtContent", texts ? t.certificate.value_or("").c_str() : "Your SSL Certificate ...");
  r.next();
  r.member("SSLKeyContent", texts ? t.key.value_or("").c_str() : "Your SSL Private Key ...");
  r.next();
  r.member("SSLExtraParams", texts ? t.extra.value_or("").c_str() : "Your SSL Extra Parameters ...");
  r.next();
}

void counter_members(Reply& r, const Counters& c) {
  const int64_t now = edgeserv_mytime();
  const int64_t wall = wall_milliseconds();
  r.member("StartTime", local_time(c.start).c_str());
  r.next();
  r.member("EndTime", local_time(now).c_str());
  r.next();
  r.member64("CurrentTickCount", c.start * 1000 < wall ? wall - c.start * 1000 : wall);
  r.next();
  r.member64("RequestCount", static_cast<int64_t>(c.requests));
  r.next();
  r.member64("UploadCount", static_cast<int64_t>(c.upload));
  r.next();
  r.member64("DownloadCount", static_cast<int64_t>(c.download));
  r.next();
  r.member("IpCount", static_cast<int32_t>(c.clients.size()));
  r.next();
  r.member("UserConnections", static_cast<int32_t>(c.user_connections));
  r.next();
  r.member("UpstreamConnections", static_cast<int32_t>(c.upstream_connections));
  r.next();
}

void proxy_row(Reply& r, const Proxy& p, int32_t no, const Options& o) {
  r.row_start();
  r.member("NO", no);
  r.next();
  r.member("ProxyID", static_cast<int32_t>(p.wid));
  r.next();
  r.member("Enable", p.disabled ? 0 : 1);
  r.next();
  r.member("Host", p.host.c_str());
  r.next();
  r.member("Balance", static_cast<int32_t>(p.balance));
  r.next();
  tls_members(r, p.tls, o.tls);
  if (o.counters) counter_members(r, p.counters);
  r.member("Note", p.note.c_str());
}

void upstream_row(Reply& r, const Upstream& u, int32_t no, const Options& o) {
  r.row_start();
  r.member("NO", no);
  r.next();
  r.member("ProxyID", static_cast<int32_t>(u.wid));
  r.next();
  r.member("UpstreamID", static_cast<int32_t>(u.upstreamid));
  r.next();
  r.member("Host", u.host.c_str());
  r.next();
  tls_members(r, u.tls, o.tls);
  if (o.counters) {
    counter_members(r, u.counters);
    r.member("IsDown", u.down ? 1 : 0);
    r.next();
    r.member("DownTime", u.down ? local_time(u.down_time).c_str() : "0000-00-00 00:00:00");
    r.next();
  }
  r.member("Note", u.note.c_str());
}

// The proxy list sizes its buffer before writing: 256 bytes a proxy, 512 with counters, and
// room for the TLS texts of proxies that hold a context.
int32_t list_capacity(const Options& o) {
  int64_t bytes = 0;
  for (const auto& p : proxies()) {
    bytes += o.counters ? 512 : 256;
    if (o.tls && p->context.handle) bytes += 4096;
  }
  return static_cast<int32_t>(std::clamp<int64_t>(bytes, o.counters ? 512 : 256, INT32_MAX));
}

wtb* proxy_list(const Options& o) {
  ProxyLock held;
  Reply r(list_capacity(o));
  if (!r.ok()) return nullptr;
  const auto rows = static_cast<int32_t>(proxies().size());
  r.head(o, rows);
  int32_t no = 0;
  for (const auto& p : proxies()) {
    proxy_row(r, *p, ++no, o);
    r.row_end(no == rows);
  }
  r.tail(rows);
  return r.release();
}

wtb* proxy_info(uint32_t wid, const Options& o) {
  ProxyLock held;
  const Proxy* p = find(wid);
  if (!p) return nullptr;
  Reply r(0);
  if (!r.ok()) return nullptr;
  r.head(o, 1);
  proxy_row(r, *p, 1, o);
  r.row_end(true);
  r.tail(1);
  return r.release();
}

wtb* upstream_list(uint32_t wid, const Options& o) {
  ProxyLock held;
  const Proxy* p = find(wid);
  if (!p) return nullptr;
  Reply r(0);
  if (!r.ok()) return nullptr;
  const auto rows = static_cast<int32_t>(p->upstreams.size());
  r.head(o, rows);
  int32_t no = 0;
  for (const Upstream& u : p->upstreams) {
    upstream_row(r, u, ++no, o);
    r.row_end(no == rows);
  }
  r.tail(rows);
  return r.release();
}

wtb* upstream_info(uint32_t wid, uint32_t upstreamid, const Options& o) {
  ProxyLock held;
  Proxy* p = find(wid);
  const Upstream* u = p ? upstream_of(*p, upstreamid) : nullptr;
  if (!u) return nullptr;
  Reply r(0);
  if (!r.ok()) return nullptr;
  r.head(o, 1);
  upstream_row(r, *u, 1, o);
  r.row_end(true);
  r.tail(1);
  return r.release();
}

}  // namespace

}  // namespace policydb::proxy

using namespace policydb::proxy;

uint8_t policydb_proxy_stat_reset(void) {
  ProxyLock held;
  const int64_t now = edgeserv_mytime();
  for (const auto& p : proxies()) {
    restart(p->counters, now);
    for (Upstream& u : p->upstreams) restart(u.counters, now);
  }
  return 1;
}

uint8_t policydb_proxy_stat_SynUploadCount(uint32_t wid, uint32_t upstreamid, uint64_t n) {
  return bytes(wid, upstreamid, n, &Counters::upload);
}
uint8_t policydb_proxy_stat_SynDownloadCount(uint32_t wid, uint32_t upstreamid, uint64_t n) {
  return bytes(wid, upstreamid, n, &Counters::download);
}
uint8_t policydb_proxy_stat_SynUserConnectionAdd(uint32_t wid, uint32_t upstreamid) {
  return connection(wid, upstreamid, &Counters::user_connections, true);
}
uint8_t policydb_proxy_stat_SynUserConnectionDel(uint32_t wid, uint32_t upstreamid) {
  return connection(wid, upstreamid, &Counters::user_connections, false);
}
uint8_t policydb_proxy_stat_SynUpstreamConnectionAdd(uint32_t wid, uint32_t upstreamid) {
  return connection(wid, upstreamid, &Counters::upstream_connections, true);
}
uint8_t policydb_proxy_stat_SynUpstreamConnectionDel(uint32_t wid, uint32_t upstreamid) {
  return connection(wid, upstreamid, &Counters::upstream_connections, false);
}
uint8_t policydb_proxy_stat_SynIP(uint32_t wid, uint32_t upstreamid, uint32_t address) {
  return count(wid, upstreamid, [&](Proxy& p, Upstream* u) {
    if (u) p.counters.clients.insert(address);
  });
}

wtb* policydb_proxy_stat_GetProxyListAllByJson_ext(const char* request_id, uint8_t counters, uint8_t tls) {
  return proxy_list({request_id, counters != 0, tls != 0});
}
wtb* policydb_proxy_stat_GetProxyInfoByJson_ext(uint32_t wid, const char* request_id, uint8_t counters, uint8_t tls) {
  return proxy_info(wid, {request_id, counters != 0, tls != 0});
}
wtb* policydb_proxy_stat_GetUpstreamListAllByJson_ext(uint32_t wid, const char* request_id, uint8_t counters,
                                                      uint8_t tls) {
  return upstream_list(wid, {request_id, counters != 0, tls != 0});
}
wtb* policydb_proxy_stat_GetUpstreamInfoByJson_ext(uint32_t wid, uint32_t upstreamid, const char* request_id,
                                                   uint8_t counters, uint8_t tls) {
  return upstream_info(wid, upstreamid, {request_id, counters != 0, tls != 0});
}
wtb* policydb_proxy_stat_GetProxyListAllByJson(const char* request_id) {
  return policydb_proxy_stat_GetProxyListAllByJson_ext(request_id, 1, 0);
}
wtb* policydb_proxy_stat_GetProxyInfoByJson(uint32_t wid, const char* request_id) {
  return policydb_proxy_stat_GetProxyInfoByJson_ext(wid, request_id, 1, 0);
}
wtb* policydb_proxy_stat_GetUpstreamListAllByJson(uint32_t wid, const char* request_id) {
  return policydb_proxy_stat_GetUpstreamListAllByJson_ext(wid, request_id, 1, 0);
}
wtb* policydb_proxy_stat_GetUpstreamInfoByJson(uint32_t wid, uint32_t upstreamid, const char* request_id) {
  return policydb_proxy_stat_GetUpstreamInfoByJson_ext(wid, upstreamid, request_id, 1, 0);
}
