// Health checks of down upstreams: a failed connection marks an upstream down and starts one
// check per upstream on a box thread of its own, which tries a plain TCP connection one second
// later and then every upstream_down_for_expire seconds; the first success marks it up again.
// Lock order: the check lock, then the proxy lock; the check thread never holds both.
#include "policydb_health.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <unordered_map>

#include "cu_lib.h"
#include "cu_sem.h"
#include "cu_sock.h"
#include "policydb.h"
#include "policydb_internal.h"
#include "policydb_proxy.h"
#include "vor_box.h"

namespace policydb::health {

BoxCalls& box_calls() {
  static BoxCalls calls{vorx_ThreadBox_create, vor_box_NewOnceTimer, vor_box_NewLoopTimer, vor_box_NewTcpClient};
  return calls;
}

namespace {

constexpr size_t kHostLimit = 256;

struct Probe {
  uint32_t wid = 0;
  uint32_t upstreamid = 0;
  std::string host;
  int64_t connection = 0;
  int32_t timer = 0;
};

uint8_t default_resolver(const char* host, char* out) { return cu_sock_GetHostFirstIP(host, out) ? 1 : 0; }

struct Checks {
  std::atomic<vor_box*> box{nullptr};
  std::unordered_map<uint64_t, Probe> index;  // under the check lock
  std::atomic<policydb_gethostip_fn> resolver{default_resolver};
};

// Never destroyed: the check thread may still run a tick while the process exits.
Checks& checks() {
  static Checks* c = new Checks;
  return *c;
}

// The check lock for one scope.
class CheckLock {
 public:
  CheckLock() : lock_(proxy::check_lock()) {
    if (lock_) cu_sem_lock(lock_);
  }
  ~CheckLock() {
    if (lock_) cu_sem_unlock(lock_);
  }
  CheckLock(const CheckLock&) = delete;
  CheckLock& operator=(const CheckLock&) = delete;

 private:
  cu_sem* lock_;
};

uint64_t key_of(uint32_t wid, uint32_t upstreamid) { return (static_cast<uint64_t>(wid) << 32) | upstreamid; }
void* ud_of(uint64_t key) { return reinterpret_cast<void*>(static_cast<uintptr_t>(key)); }
uint64_t key_from(void* ud) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(ud)); }

// A copy of the probe of the key; false when the check has ended.
bool probe_of(uint64_t key, Probe* out) {
  CheckLock lock;
  const auto it = checks().index.find(key);
  if (it == checks().index.end()) return false;
  *out = it->second;
  return true;
}

// Ends a check: out of the index, the upstream up, its connection and timer gone.
void end_check(uint64_t key) {
  Probe p;
  {
    CheckLock lock;
    const auto it = checks().index.find(key);
    if (it == checks().index.end()) return;
    p = it->second;
    checks().index.erase(it);
  }
  policydb_upstream_down_2(p.wid, p.upstreamid, 0);
  vor_box* box = checks().box.load();
  if (p.connection > 0) vor_box_DeleteSock(box, p.connection);
  if (p.timer > 0) vor_box_DeleteTimer(box, p.timer);
}

// True while the upstream exists, is down and keeps the probe's host.
bool still_down(const Probe& p) {
  uint8_t down = 0;
  int64_t since = 0;
  char host[kHostLimit + 1] = "";
  if (!policydb_upstream_down_status(p.wid, p.upstreamid, &down, &since, host)) return false;
  return down && cu_stricmp(host, p.host.c_str()) == 0;
}

void set_connection(uint64_t key, int64_t sid) {
  CheckLock lock;
  const auto it = checks().index.find(key);
  if (it != checks().index.end()) it->second.connection = sid;
}

void on_connected(void*, void* ud, int64_t sid) {
  const uint64_t key = key_from(ud);
  vor_box_DeleteSock(checks().box.load(), sid);
  Probe p;
  if (!probe_of(key, &p) || p.connection != sid) return;
  set_connection(key, 0);
  end_check(key);  // marks it up
}

void on_failed(void*, void* ud, int64_t sid) {
  const uint64_t key = key_from(ud);
  vor_box_DeleteSock(checks().box.load(), sid);
  Probe p;
  if (!probe_of(key, &p) || p.connection != sid) return;
  set_connection(key, 0);
  if (!still_down(p)) end_check(key);
}

void ignore_read(void*, void*, int64_t, const char*, int32_t) {}
void ignore_close(void*, void*, int64_t) {}

// host[:port]: port 80 without one or for 0.
void split_host(const std::string& host, std::string* name, uint16_t* port) {
  const size_t colon = host.find(':');
  *name = host.substr(0, std::min(colon, kHostLimit));
  *port = colon == std::string::npos ? 0 : static_cast<uint16_t>(cu_atoll(host.c_str() + colon + 1));
  if (*port == 0) *port = 80;
}

void try_connection(uint64_t key, const Probe& p) {
  std::string name;
  uint16_t port = 0;
  split_host(p.host, &name, &port);
  char address[64] = "";
  if (!checks().resolver.load()(name.c_str(), address)) return;  // the next tick tries again
  const int64_t sid = box_calls().tcp_client(checks().box.load(), address, port, on_connected, ud_of(key), on_failed,
                                             ud_of(key), ignore_read, nullptr, ignore_close, nullptr);
  if (sid > 0) set_connection(key, sid);
}

void loop_tick(void*, void* ud, int32_t, int32_t) {
  const uint64_t key = key_from(ud);
  Probe p;
  if (!probe_of(key, &p)) return;
  if (!still_down(p)) {
    end_check(key);
    return;
  }
  if (p.connection == 0) try_connection(key, p);
}

void first_tick(void*, void* ud, int32_t id, int32_t) {
  const uint64_t key = key_from(ud);
  vor_box* box = checks().box.load();
  vor_box_DeleteTimer(box, id);
  Probe p;
  if (!probe_of(key, &p)) return;
  const int32_t loop = box_calls().loop_timer(box, proxy::down_check_interval() * 1000u, loop_tick, ud);
  {
    CheckLock lock;
    const auto it = checks().index.find(key);
    if (it != checks().index.end()) it->second.timer = loop > 0 ? loop : 0;
  }
  if (loop <= 0) {
    end_check(key);
    return;
  }
  try_connection(key, p);
}

vor_box* check_box() {
  vor_box* box = checks().box.load();
  if (!box) {
    box = box_calls().thread_box();
    if (box) checks().box.store(box);
  }
  return box;
}

// Under the check lock, the upstream just marked down.
void start_check(uint32_t wid, uint32_t upstreamid, const std::string& host) {
  vor_box* box = check_box();
  if (!box) {
    policydb_upstream_down_2(wid, upstreamid, 0);
    return;
  }
  const uint64_t key = key_of(wid, upstreamid);
  if (checks().index.count(key)) return;  // one check per upstream
  Probe& p = checks().index[key];
  p.wid = wid;
  p.upstreamid = upstreamid;
  p.host = host.substr(0, kHostLimit);
  p.timer = box_calls().once_timer(box, 1000, first_tick, ud_of(key));
  if (p.timer <= 0) {
    checks().index.erase(key);
    policydb_upstream_down_2(wid, upstreamid, 0);
  }
}

}  // namespace

bool checking(uint32_t wid, uint32_t upstreamid) {
  CheckLock lock;
  return checks().index.count(key_of(wid, upstreamid)) != 0;
}

}  // namespace policydb::health

using namespace policydb::health;

extern "C" {

void policydb_upstream_down_checking(uint32_t wid, uint32_t upstreamid, uint8_t down) {
  CheckLock lock;
  char host[kHostLimit + 1] = "";
  if (!policydb_upstream_down_status(wid, upstreamid, nullptr, nullptr, host)) return;
  // A host template ("$0") names no one address: it stays up and unchecked.
  if (down && strchr(host, '$')) return;
  if (!policydb_upstream_down_2(wid, upstreamid, down) || !down) return;
  start_check(wid, upstreamid, host);
}

policydb_gethostip_fn policydb_upstream_down_ImportGetHostIP(policydb_gethostip_fn fn) {
  if (fn) checks().resolver.store(fn);
  return checks().resolver.load();
}

}  // extern "C"
