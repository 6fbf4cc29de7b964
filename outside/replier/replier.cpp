#include "replier.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "cu_sock.h"
#include "replier_internal.h"

namespace {

constexpr uint32_t kConnectTimeoutMs = 5000;  // a black-holed upstream fails in time for the retry
constexpr uint32_t kCloseGraceMs = 30000;     // WaitingForClose gives up on a reader this slow
constexpr int32_t kRecvBlock = 32768;         // what on-data's buffer offers
constexpr int32_t kDeliverMax = 31743;        // as the bigbox reads: room for the pipe's decrypting
constexpr size_t kSendSlice = 1 << 20;
constexpr size_t kCompactAt = 1 << 20;

enum class Phase { kConnecting, kConnected, kFailed, kClosing, kClosed };

const char* phase_name(Phase p) {
  switch (p) {
    case Phase::kConnecting: return "connecting";
    case Phase::kConnected: return "connected";
    case Phase::kFailed: return "failed";
    case Phase::kClosing: return "closing";
    case Phase::kClosed: return "closed";
  }
  return "";
}

// One upstream connection. Its fields are guarded by mu; the callbacks run without it.
struct Upstream {
  std::mutex mu;
  int64_t sid = 0;
  vor_bigbox* bb = nullptr;
  vor_box* slave = nullptr;
  Phase phase = Phase::kConnecting;
  bool callbacks_on = true;   // off after on-failed, replier_close and replier_WaitingForClose
  bool paused = false;        // replier_ExportSock_ForRead until replier_ImportSock_ForRead
  bool peer_closed = false;   // the bigbox reported the end of the stream
  bool closed_reported = false;
  bool write_armed = false;
  bool resume_posted = false;
  bool notice_posted = false;
  int32_t kept_error = 0;     // a connect refused at once
  int32_t connect_timer = 0;
  int32_t close_timer = 0;
  std::string out;            // unsent bytes from out_off on
  size_t out_off = 0;
  std::string held;           // bytes read while a pause from another thread raced the read
  replier_connected_fn on_connected = nullptr;
  void* ud_connected = nullptr;
  replier_sock_fn on_failed = nullptr;
  void* ud_failed = nullptr;
  replier_data_fn on_data = nullptr;
  void* ud_data = nullptr;
  replier_sock_fn on_closed = nullptr;
  void* ud_closed = nullptr;
  replier_sock_fn notice = nullptr;
  void* ud_notice = nullptr;

  size_t queued() const { return out.size() - out_off; }
};

using UpstreamPtr = std::shared_ptr<Upstream>;

std::atomic<uint64_t> g_writable_events{0};

// The table is locked alone or after an Upstream's mu, never before one.
std::mutex g_table_mu;
std::unordered_map<int64_t, UpstreamPtr>& table() {
  static auto* t = new std::unordered_map<int64_t, UpstreamPtr>;  // outlives late callbacks at exit
  return *t;
}

UpstreamPtr find(int64_t id) {
  std::lock_guard<std::mutex> g(g_table_mu);
  auto it = table().find(id);
  return it == table().end() ? nullptr : it->second;
}

std::vector<UpstreamPtr> all() {
  std::lock_guard<std::mutex> g(g_table_mu);
  std::vector<UpstreamPtr> v;
  v.reserve(table().size());
  for (auto& e : table()) v.push_back(e.second);
  return v;
}

void forget(int64_t id) {
  std::lock_guard<std::mutex> g(g_table_mu);
  table().erase(id);
}

void* sid_arg(int64_t sid) { return reinterpret_cast<void*>(static_cast<intptr_t>(sid)); }
int64_t arg_sid(void* p) { return static_cast<int64_t>(reinterpret_cast<intptr_t>(p)); }

void on_read(vor_bigbox*, void*, int64_t sid, const char* data, int32_t len);
void on_peer_closed(vor_bigbox*, void*, int64_t sid);
void on_writable(vor_bigbox*, void*, int64_t sid);
void notice_event(vor_box*, const char*, void* a1, void*, void*, void*, void*, void*, void*, void*);
void resume_event(vor_box*, const char*, void* a1, void*, void*, void*, void*, void*, void*, void*);

void drop_timers(Upstream& u) {
  if (u.connect_timer > 0) vor_box_DeleteTimer(u.slave, u.connect_timer);
  if (u.close_timer > 0) vor_box_DeleteTimer(u.slave, u.close_timer);
  u.connect_timer = u.close_timer = 0;
}

// Closes the socket and forgets the connection; mu held.
void close_now(Upstream& u) {
  Phase was = u.phase;
  u.phase = Phase::kClosed;
  u.callbacks_on = false;
  drop_timers(u);
  if (was == Phase::kConnected || was == Phase::kClosing) {
    vor_bigbox_DeleteSock(u.bb, u.sid);
  } else if (was == Phase::kConnecting) {
    vor_box_DeleteSock(u.slave, u.sid);  // drops the connect watch and closes
  }
  u.out.clear();
  u.out_off = 0;
  u.held.clear();
  forget(u.sid);
}

// A notice due outside the loop runs from it, through an in-event on the connection's slave.
void post_notice(Upstream& u) {
  if (!u.notice || u.notice_posted || !u.callbacks_on) return;
  u.notice_posted = vor_box_AddInEvent(u.slave, nullptr, notice_event, sid_arg(u.sid), nullptr, nullptr, nullptr,
                                       nullptr, nullptr, nullptr, nullptr);
}

// Write interest only while bytes wait: an idle connection must not wake its slave.
void set_write_interest(Upstream& u) {
  bool want = u.queued() > 0 && (u.phase == Phase::kConnected || u.phase == Phase::kClosing);
  if (want == u.write_armed) return;
  if (want) {
    u.write_armed = vorxx_bigbox_import_ForWrite(u.bb, u.slave, u.sid, on_writable, nullptr);
  } else {
    vorx_bigbox_export_ForWrite(u.bb, u.sid);
    u.write_armed = false;
  }
}

// Sends what the socket takes; true when the queue went from bytes to empty (a drain). mu held.
bool flush(Upstream& u) {
  if (u.phase != Phase::kConnected && u.phase != Phase::kClosing) return false;
  bool had = u.queued() > 0;
  while (u.queued() > 0) {
    size_t n = std::min(u.queued(), kSendSlice);
    int32_t sent = vor_bigbox_write(u.bb, u.sid, u.out.data() + u.out_off, static_cast<int32_t>(n));
    if (sent > 0) {
      u.out_off += static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0) {  // the connection broke: what waits can no longer go; the read side reports the end
      u.out.clear();
      u.out_off = 0;
    }
    break;
  }
  if (u.queued() == 0) {
    u.out.clear();
    u.out_off = 0;
  } else if (u.out_off >= kCompactAt && u.out_off * 2 >= u.out.size()) {
    u.out.erase(0, u.out_off);
    u.out_off = 0;
  }
  set_write_interest(u);
  return had && u.queued() == 0;
}

void fail(Upstream& u, std::unique_lock<std::mutex>& lock) {
  u.phase = Phase::kFailed;
  drop_timers(u);
  vor_box_DeleteSock(u.slave, u.sid);
  bool call = u.callbacks_on;
  u.callbacks_on = false;  // on-failed ends the callbacks
  replier_sock_fn fn = u.on_failed;
  void* ud = u.ud_failed;
  int64_t sid = u.sid;
  lock.unlock();
  if (call && fn) fn(ud, sid);
}

// The connect finished (writable or a hang-up): on the bigbox, or failed.
void on_connect_ready(void* arg) {
  UpstreamPtr u = find(arg_sid(arg));
  if (!u) return;
  std::unique_lock<std::mutex> lock(u->mu);
  if (u->phase != Phase::kConnecting) return;
  int32_t error = u->kept_error;
  if (!error) cu_sock_fd_status(u->sid, &error);
  char peer[20];
  if (!error && !cu_sock_GetPeer(u->sid, peer, sizeof peer, nullptr)) error = ENOTCONN;
  if (error) return fail(*u, lock);
  vorx_box_ExportSockId(u->slave, u->sid);  // the slave box forgets it; the bigbox takes it on the same thread
  if (!vorxx_bigbox_import_ForRead(u->bb, u->slave, u->sid, on_read, nullptr, on_peer_closed, nullptr)) {
    return fail(*u, lock);
  }
  if (u->connect_timer > 0) vor_box_DeleteTimer(u->slave, u->connect_timer);
  u->connect_timer = 0;
  u->phase = Phase::kConnected;
  if (u->paused) vorx_bigbox_pause_ForRead(u->bb, u->sid);
  if (flush(*u)) post_notice(*u);
  bool call = u->callbacks_on;
  replier_connected_fn fn = u->on_connected;
  void* ud = u->ud_connected;
  int64_t sid = u->sid;
  lock.unlock();
  if (call && fn) fn(ud, sid, 0, 0);
}

void on_connect_timeout(void*, void* arg, int32_t id, int32_t) {
  UpstreamPtr u = find(arg_sid(arg));
  if (!u) return;
  std::unique_lock<std::mutex> lock(u->mu);
  if (u->connect_timer != id) return;
  vor_box_DeleteTimer(u->slave, id);
  u->connect_timer = 0;
  if (u->phase == Phase::kConnecting) fail(*u, lock);
}

void on_close_timeout(void*, void* arg, int32_t id, int32_t) {
  UpstreamPtr u = find(arg_sid(arg));
  if (!u) return;
  std::lock_guard<std::mutex> lock(u->mu);
  if (u->close_timer != id) return;
  vor_box_DeleteTimer(u->slave, id);
  u->close_timer = 0;
  if (u->phase == Phase::kClosing) close_now(*u);
}

// Reports the end once, after every byte; mu held by lock, released here.
void report_closed(Upstream& u, std::unique_lock<std::mutex>& lock) {
  if (u.closed_reported || !u.callbacks_on) return;
  u.closed_reported = true;
  replier_sock_fn fn = u.on_closed;
  void* ud = u.ud_closed;
  int64_t sid = u.sid;
  lock.unlock();
  if (fn) fn(ud, sid);
}

void on_read(vor_bigbox*, void*, int64_t sid, const char* data, int32_t len) {
  UpstreamPtr u = find(sid);
  if (!u) return;
  std::unique_lock<std::mutex> lock(u->mu);
  if (!u->callbacks_on || u->phase != Phase::kConnected) return;
  if (u->paused) {  // paused by another thread after this read began
    u->held.append(data, static_cast<size_t>(len));
    return;
  }
  replier_data_fn fn = u->on_data;
  void* ud = u->ud_data;
  lock.unlock();
  // The bigbox's receive block of this thread: 32,768 writable bytes from data on.
  if (fn) fn(ud, sid, const_cast<char*>(data), len);
}

void on_peer_closed(vor_bigbox*, void*, int64_t sid) {
  UpstreamPtr u = find(sid);
  if (!u) return;
  std::unique_lock<std::mutex> lock(u->mu);
  u->peer_closed = true;
  if (u->phase == Phase::kClosing) return close_now(*u);  // nobody reads what is still queued
  if (u->phase != Phase::kConnected || u->paused) return;  // a pause reports it on resume
  report_closed(*u, lock);
}

void on_writable(vor_bigbox*, void*, int64_t sid) {
  g_writable_events.fetch_add(1, std::memory_order_relaxed);
  UpstreamPtr u = find(sid);
  if (!u) return;
  std::unique_lock<std::mutex> lock(u->mu);
  bool drained = flush(*u);
  if (u->phase == Phase::kClosing && u->queued() == 0) return close_now(*u);
  if (!drained || !u->notice || !u->callbacks_on) return;
  replier_sock_fn fn = u->notice;
  void* ud = u->ud_notice;
  lock.unlock();
  fn(ud, sid);
}

void notice_event(vor_box*, const char*, void* a1, void*, void*, void*, void*, void*, void*, void*) {
  UpstreamPtr u = find(arg_sid(a1));
  if (!u) return;
  std::unique_lock<std::mutex> lock(u->mu);
  u->notice_posted = false;
  if (!u->notice || !u->callbacks_on || u->queued() > 0) return;
  replier_sock_fn fn = u->notice;
  void* ud = u->ud_notice;
  int64_t sid = u->sid;
  lock.unlock();
  fn(ud, sid);
}

// After a resume: bytes held back by a racing pause first, then the end or reading again.
void resume_event(vor_box*, const char*, void* a1, void*, void*, void*, void*, void*, void*, void*) {
  thread_local std::unique_ptr<char[]> block(new char[kRecvBlock]);
  UpstreamPtr u = find(arg_sid(a1));
  if (!u) return;
  std::unique_lock<std::mutex> lock(u->mu);
  u->resume_posted = false;
  while (!u->paused && u->callbacks_on && !u->held.empty()) {
    size_t n = std::min(u->held.size(), static_cast<size_t>(kDeliverMax));
    memcpy(block.get(), u->held.data(), n);
    block[n] = '\0';
    u->held.erase(0, n);
    replier_data_fn fn = u->on_data;
    void* ud = u->ud_data;
    lock.unlock();
    if (fn) fn(ud, u->sid, block.get(), static_cast<int32_t>(n));
    lock.lock();
  }
  if (u->paused || !u->callbacks_on || u->phase != Phase::kConnected) return;
  if (u->peer_closed) return report_closed(*u, lock);
  vorx_bigbox_start_ForRead(u->bb, u->sid);
}

// A caller's hold on a live connection: the record with its mu held, released before the
// record can go (members are destroyed in reverse order).
struct Held {
  UpstreamPtr u;
  std::unique_lock<std::mutex> lock;
  explicit operator bool() const { return u != nullptr; }
  Upstream* operator->() const { return u.get(); }
  Upstream& operator*() const { return *u; }
};

// NULL for an unknown or closed id.
Held lookup(int64_t id) {
  Held h;
  h.u = find(id);
  if (!h.u) return h;
  h.lock = std::unique_lock<std::mutex>(h.u->mu);
  if (h.u->phase == Phase::kClosed) {
    h.lock.unlock();
    h.u.reset();
  }
  return h;
}

}  // namespace

namespace replier_internal {
size_t connections() {
  std::lock_guard<std::mutex> g(g_table_mu);
  return table().size();
}
uint64_t writable_events() { return g_writable_events.load(); }
}  // namespace replier_internal

int64_t replier_make_STEP1_ext(const char* local_ip, uint16_t local_port, const char* ip, uint16_t port,
                               cu_client** handle) {
  if (!handle) return 0;
  *handle = nullptr;
  uint32_t local = 0;
  bool bind_local = local_ip && *local_ip;
  if (bind_local && !cu_sock_IPTo32bits(&local, local_ip)) return 0;
  if (!ip || !*ip) return 0;
  int64_t sid = vor_box_NewTcpClient_STEP1_ext(bind_local ? local_ip : nullptr, local_port, ip, port, handle);
  if (sid <= 0 || !*handle) {
    *handle = nullptr;
    return 0;
  }
  return sid;
}

int64_t replier_make_STEP2(vor_bigbox* bb, cu_client* handle, replier_connected_fn on_connected, void* ud_connected,
                           replier_sock_fn on_failed, void* ud_failed, replier_data_fn on_data, void* ud_data,
                           replier_sock_fn on_closed, void* ud_closed) {
  if (!handle) return 0;
  // Callbacks run on the slave of the client that asked, as the request filter needs.
  vor_box* slave = vor_bigbox_InvokeSlaveBox(bb);
  if (!slave) {
    vor_box_NewTcpClient_STEP2(nullptr, handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr);  // closes and frees it
    return 0;
  }
  int32_t kept_error = 0;
  int64_t sid = cu_box_sock_HandOverTcpClient(handle, &kept_error);
  if (sid <= 0) return 0;
  auto u = std::make_shared<Upstream>();
  u->sid = sid;
  u->bb = bb;
  u->slave = slave;
  u->kept_error = kept_error;
  u->on_connected = on_connected;
  u->ud_connected = ud_connected;
  u->on_failed = on_failed;
  u->ud_failed = ud_failed;
  u->on_data = on_data;
  u->ud_data = ud_data;
  u->on_closed = on_closed;
  u->ud_closed = ud_closed;
  std::lock_guard<std::mutex> lock(u->mu);
  {
    std::lock_guard<std::mutex> g(g_table_mu);
    table()[sid] = u;
  }
  // A connect refused at once shows as a hang-up here too, so on-failed still comes from the loop.
  bool ok = vorx_box_ImportSockId_ForWrite(slave, sid, on_connect_ready, sid_arg(sid));
  if (ok) u->connect_timer = vor_box_NewOnceTimer(slave, kConnectTimeoutMs, on_connect_timeout, sid_arg(sid));
  if (!ok || u->connect_timer <= 0) {
    close_now(*u);
    return 0;
  }
  return sid;
}

int32_t replier_write(int64_t id, const void* data, int32_t len) {
  if (len < 0 || (len > 0 && !data)) return -1;
  Held u = lookup(id);
  if (!u || u->phase == Phase::kClosing) return -1;
  u->out.append(static_cast<const char*>(data ? data : ""), static_cast<size_t>(len));
  if (!u->write_armed && flush(*u)) post_notice(*u);
  return len;
}

int64_t replier_GetWritableLen(int64_t id) {
  Held u = lookup(id);
  return u ? static_cast<int64_t>(u->queued()) : -1;
}

bool replier_AddWritableNotice(int64_t id, replier_sock_fn fn, void* ud) {
  Held u = lookup(id);
  if (!u || !fn) return false;
  u->notice = fn;
  u->ud_notice = ud;
  if (u->queued() == 0) post_notice(*u);
  return true;
}

bool replier_DelWritableNotice(int64_t id) {
  Held u = lookup(id);
  if (!u) return false;
  u->notice = nullptr;
  u->ud_notice = nullptr;
  return true;
}

bool replier_ExportSock_ForRead(int64_t id) {
  Held u = lookup(id);
  if (!u) return false;
  u->paused = true;
  if (u->phase == Phase::kConnected) vorx_bigbox_pause_ForRead(u->bb, u->sid);
  return true;
}

bool replier_ImportSock_ForRead(int64_t id) {
  Held u = lookup(id);
  if (!u) return false;
  if (!u->paused) return true;
  u->paused = false;
  if (u->phase != Phase::kConnected) return true;
  if (u->held.empty() && !u->peer_closed) return vorx_bigbox_start_ForRead(u->bb, u->sid);
  // Held bytes or the end are delivered from the loop, never inside this call.
  if (!u->resume_posted)
    u->resume_posted = vor_box_AddInEvent(u->slave, nullptr, resume_event, sid_arg(u->sid), nullptr, nullptr,
                                          nullptr, nullptr, nullptr, nullptr, nullptr);
  return true;
}

bool replier_ImportSock_ForWrite(int64_t id) {
  Held u = lookup(id);
  if (!u) return false;
  if (!u->write_armed && flush(*u)) post_notice(*u);
  return true;
}

bool replier_JitterMove(int64_t new_id, int64_t old_id) {
  if (new_id == old_id) return false;
  UpstreamPtr to = find(new_id), from = find(old_id);
  if (!to || !from) return false;
  std::scoped_lock both(to->mu, from->mu);
  if (to->phase == Phase::kClosed || from->phase == Phase::kClosed) return false;
  to->out.append(from->out, from->out_off, std::string::npos);
  from->out.clear();
  from->out_off = 0;
  if (!to->write_armed && flush(*to)) post_notice(*to);
  return true;
}

void replier_WaitingForClose(int64_t id) {
  Held u = lookup(id);
  if (!u || u->phase == Phase::kClosing) return;
  u->callbacks_on = false;
  if (u->phase == Phase::kConnected) flush(*u);
  if (u->phase != Phase::kConnected || u->queued() == 0 || u->peer_closed) return close_now(*u);
  u->phase = Phase::kClosing;
  vorx_bigbox_pause_ForRead(u->bb, u->sid);
  u->close_timer = vor_box_NewOnceTimer(u->slave, kCloseGraceMs, on_close_timeout, sid_arg(u->sid));
  if (u->close_timer <= 0) close_now(*u);
}

void replier_close(int64_t id) {
  Held u = lookup(id);
  if (u) close_now(*u);
}

int64_t replier_GetCacheSize(void) {
  int64_t bytes = 0;
  for (const UpstreamPtr& u : all()) {
    std::lock_guard<std::mutex> g(u->mu);
    bytes += static_cast<int64_t>(sizeof(Upstream) + u->out.capacity() + u->held.capacity());
  }
  return bytes;
}

void replier_GetSockList(cu_jitter* out) {
  if (!out) return;
  for (const UpstreamPtr& u : all()) {
    char ip[20] = "";
    uint16_t port = 0;
    char line[160];
    {
      std::lock_guard<std::mutex> g(u->mu);
      if (u->phase == Phase::kConnected || u->phase == Phase::kClosing)
        vor_bigbox_GetSockIP(u->bb, u->sid, ip, sizeof ip, &port);
      snprintf(line, sizeof line, "sid=%" PRId64 " upstream=%s:%u state=%s queued=%zu%s\r\n", u->sid, ip,
               static_cast<unsigned>(port), phase_name(u->phase), u->queued(), u->paused ? " paused" : "");
    }
    cu_jitter_SetData(out, line, static_cast<int32_t>(strlen(line)));
  }
}
