#include "cu_box.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cu_box_internal.h"
#include "cu_event.h"
#include "cu_log.h"
#include "cu_sock_internal.h"
#include "cu_timer.h"
#include "cu_util.h"
#include "vor_io.h"
#include "vor_kit.h"
#include "vor_sid.h"

namespace {

enum SockKind : int32_t { kTcpClient = 1, kRemoteTcp = 2, kUdpClient = 3, kTcpServer = 4, kUdpServer = 5 };
constexpr int kEventsPerWait = 256;
constexpr int32_t kTimerDraws = 1000000;
// A listener whose accepts fail for want of descriptors or memory rests this long: level-
// triggered readiness would otherwise spin the loop until a descriptor is free.
constexpr int64_t kAcceptRestMs = 100;

struct SockBlock {
  int32_t kind = 0;
  int64_t sid = -1;
  cu_client* client = nullptr;  // kinds 1 and 3
  cu_server server{};           // kinds 4 and 5
  bool has_server = false;
  int32_t read_size = kCuSockReadMax;
  cu_box_sock_fn on_connected = nullptr, on_failed = nullptr, on_close = nullptr;
  void *ud_connected = nullptr, *ud_failed = nullptr, *ud_close = nullptr;
  cu_box_read_fn on_read = nullptr;
  void* ud_read = nullptr;
  cu_box_datagram_fn on_datagram = nullptr;
  cu_box_accept_fn on_accept = nullptr;
  void* ud = nullptr;  // on_datagram or on_accept
};

// The one process-wide log of the event loops, made on first use; a failed open is retried.
void log_wait_error(int err) {
  static cu_sem lock;
  static bool lock_ready = cu_sem_init(&lock);
  static cu_log* log = nullptr;
  (void)lock_ready;
  cu_sem_lock(&lock);
  if (!log) log = cu_log_malloc("vor_event.log");
  if (log) cu_log_error(log, "select funtion return errno(%d), %s!\r\n", err, strerror(err));
  cu_sem_unlock(&lock);
}

}  // namespace

struct cu_box {
  cu_event::EventBase events;
  cu_sem* lock = nullptr;
  std::unordered_map<int64_t, SockBlock> socks;
  cu_timer::TimerList timers;
  void* handle = nullptr;
  int64_t (*clock)() = cu_timer::mono_ms;
  std::atomic<int64_t> this_sid{-1};
  std::atomic<int32_t> this_timer{-1};
  std::atomic<bool> broken{false};
  std::atomic<bool> running{false};
  std::atomic<uint32_t> loop_thread{0};
  // Expiry the waiting loop will wake for; INT64_MIN while it is not waiting.
  std::atomic<int64_t> wait_deadline{INT64_MIN};
  uint32_t current_events = 0;  // epoll bits of the socket being served
  bool keep_alive = false;
  bool wait_error_logged = false;
  std::vector<std::pair<int64_t, int64_t>> resting;  // listener sid, when it listens again
  void (*pass_hook)(void*) = nullptr;
  void* pass_hook_arg = nullptr;
  std::vector<int32_t> due;  // reused every pass

  SockBlock* block(int64_t sid) {
    auto it = socks.find(sid);
    return it == socks.end() ? nullptr : &it->second;
  }
  bool foreign() const { return !running.load() || loop_thread.load() != cu_GetThisThreadId(); }
  // A timer earlier than the waiting loop's deadline must cut its wait short.
  void timer_changed(int64_t expiry) {
    if (expiry < wait_deadline.load() && foreign()) events.wake();
  }
};

namespace {

void on_readable(void* arg);
void on_connect_done(void* arg);
void on_connect_fail(void* arg);
void on_accept_ready(void* arg);

// Forgets a socket's records; closes it only when asked (Export keeps it open).
void drop_block(cu_box* box, int64_t sid, bool close_socket) {
  SockBlock* sb = box->block(sid);
  if (!sb) return;
  if (sb->client) {
    if (!close_socket) sb->client->state = -1;
    cu_client_free(sb->client);
  } else if (sb->has_server) {
    if (close_socket) cu_server_close(&sb->server);
  } else if (close_socket && sb->kind == kRemoteTcp) {
    vor::sid_close(sid);
  }
  box->socks.erase(sid);
}

// Registers a new block for read with handler fn; the block is dropped again on failure.
int64_t register_block(cu_box* box, SockBlock&& sb, cu_event::SockFn fn) {
  int64_t sid = sb.sid;
  if (sid <= 0 || box->socks.count(sid)) return -1;
  box->socks.emplace(sid, std::move(sb));
  if (!box->events.add(cu_event::kRead, sid, fn, box)) {
    box->socks.erase(sid);
    return -1;
  }
  return sid;
}

void read_tcp(cu_box* box, SockBlock* sb, int64_t sid, cu_box_read_fn* read_fn, cu_box_sock_fn* close_fn,
              void** ud, char* buf, int32_t* len) {
  int fd = vor::sid_fd_checked(sid);
  ssize_t n = -1;
  if (fd >= 0 && (sb->kind == kRemoteTcp || (sb->client && sb->client->state == 2))) {
    n = vor::io::recv_some(fd, buf, static_cast<size_t>(sb->read_size));
    if (n < 0 && vor::io::would_block(errno)) return;  // spurious readiness
  }
  if (n > 0) {
    buf[n] = '\0';
    *len = static_cast<int32_t>(n);
    *read_fn = sb->on_read;
    *ud = sb->ud_read;
    return;
  }
  box->events.del(cu_event::kRead, sid);  // the close is reported once
  *close_fn = sb->on_close;
  *ud = sb->ud_close;
}

void on_readable(void* arg) {
  auto* box = static_cast<cu_box*>(arg);
  char buf[kCuSockReadMax + 1];
  int64_t sid = box->this_sid.load();
  cu_box_read_fn read_fn = nullptr;
  cu_box_sock_fn close_fn = nullptr;
  cu_box_datagram_fn datagram_fn = nullptr;
  void* ud = nullptr;
  int32_t len = 0;
  cu_peer_addr from{};
  vor::SemLock guard(box->lock);
  SockBlock* sb = box->block(sid);
  if (!sb) return;
  if (sb->kind == kTcpClient || sb->kind == kRemoteTcp) {
    read_tcp(box, sb, sid, &read_fn, &close_fn, &ud, buf, &len);
  } else if (sb->kind == kUdpClient || sb->kind == kUdpServer) {
    int32_t n = sb->client ? cu_client_read(sb->client, buf, &from) : cu_server_read(&sb->server, buf, &from);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    len = n > 0 ? n : 0;
    buf[len] = '\0';
    datagram_fn = sb->on_datagram;
    ud = sb->ud;
  }
  void* handle = box->handle;
  guard.unlock();
  if (read_fn) read_fn(handle, ud, sid, buf, len);
  if (close_fn) close_fn(handle, ud, sid);
  if (datagram_fn) datagram_fn(handle, ud, sid, buf, len, &from);  // zeroed after a failed read
}

bool connect_failed(const cu_box* box, const SockBlock* sb, int64_t sid) {
  if (sb->client && sb->client->connect_error) return true;
  if (box->current_events & (EPOLLERR | EPOLLHUP)) return true;
  int32_t error = 0;
  return cu_sock_fd_status(sid, &error) != 0 || error != 0;
}

void finish_connect(cu_box* box, bool writable) {
  int64_t sid = box->this_sid.load();
  vor::SemLock guard(box->lock);
  SockBlock* sb = box->block(sid);
  if (!sb || sb->kind != kTcpClient) return;
  box->events.del(cu_event::kWrite, sid);
  box->events.del(cu_event::kExcept, sid);
  bool ok = writable && !connect_failed(box, sb, sid) && box->events.add(cu_event::kRead, sid, on_readable, box);
  if (ok) cu_sock_keep_alive(sid);
  cu_box_sock_fn fn = ok ? sb->on_connected : sb->on_failed;
  void* ud = ok ? sb->ud_connected : sb->ud_failed;
  void* handle = box->handle;
  guard.unlock();
  if (fn) fn(handle, ud, sid);
}

void on_connect_done(void* arg) { finish_connect(static_cast<cu_box*>(arg), true); }
void on_connect_fail(void* arg) { finish_connect(static_cast<cu_box*>(arg), false); }

void on_accept_ready(void* arg) {
  auto* box = static_cast<cu_box*>(arg);
  int64_t sid = box->this_sid.load();
  char ip[20] = "";
  uint16_t port = 0;
  vor::SemLock guard(box->lock);
  SockBlock* sb = box->block(sid);
  if (!sb || sb->kind != kTcpServer) return;
  int64_t fresh = cu_server_accept_on(sid, ip, &port);
  if (fresh <= 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
    box->events.del(cu_event::kRead, sid);
    box->resting.emplace_back(sid, box->clock() + kAcceptRestMs);
  }
  cu_box_accept_fn fn = sb->on_accept;
  void* ud = sb->ud;
  void* handle = box->handle;
  guard.unlock();
  if (fresh <= 0) return;
  if (fn) {
    fn(handle, ud, sid, fresh, ip, port);
  } else {
    vor::sid_close(fresh);
  }
}

// Serves one epoll event: each ready kind once, read then write then except, the
// registration re-checked before each (an earlier callback may have changed or closed it).
void dispatch(cu_box* box, const epoll_event& ev) {
  int64_t sid = static_cast<int64_t>(ev.data.u64);
  int32_t error_kind = -1;
  for (int32_t kind = cu_event::kRead; kind <= cu_event::kExcept; ++kind) {
    vor::SemLock guard(box->lock);
    cu_event::Registration* r = box->events.find(sid);
    if (!r) return;
    if (kind == cu_event::kRead) error_kind = cu_event::error_kind(r->kinds);
    bool ready = (ev.events & cu_event::ready_bits(kind)) ||
                 ((ev.events & (EPOLLERR | EPOLLHUP)) && kind == error_kind);
    if (!ready || !(r->kinds & (1u << kind))) continue;
    cu_event::SockFn fn = r->fn[kind];
    void* ud = r->user_data[kind];
    box->this_sid.store(sid);
    box->current_events = ev.events;
    guard.unlock();
    fn(ud);
    box->this_sid.store(-1);
    if (box->broken.load()) return;
  }
}

// Resting listeners whose time has come listen again (unless deleted meanwhile).
void wake_listeners(cu_box* box) {
  if (box->resting.empty()) return;
  vor::SemLock guard(box->lock);
  int64_t now = box->clock();
  auto& list = box->resting;
  for (size_t i = 0; i < list.size();) {
    if (list[i].second > now) {
      ++i;
      continue;
    }
    SockBlock* sb = box->block(list[i].first);
    if (sb && sb->kind == kTcpServer) box->events.add(cu_event::kRead, list[i].first, on_accept_ready, box);
    list[i] = list.back();
    list.pop_back();
  }
}

int64_t earliest_rest(const cu_box* box) {
  int64_t earliest = INT64_MAX;
  for (const auto& r : box->resting) earliest = std::min(earliest, r.second);
  return earliest;
}

// Every timer due when the pass reached this point fires once, each re-checked just before its
// call, so timers keep firing however busy the sockets are.
void fire_due_timers(cu_box* box) {
  std::vector<int32_t>& due = box->due;  // the loop thread's own; kept so a pass allocates nothing
  due.clear();
  int64_t now;
  {
    vor::SemLock guard(box->lock);
    now = box->clock();
    box->timers.due_ids(now, &due);
  }
  for (int32_t id : due) {
    vor::SemLock guard(box->lock);
    cu_timer::Timer fired;
    if (!box->timers.fire(id, now, &fired)) continue;  // deleted or moved meanwhile
    box->this_timer.store(id);
    void* handle = box->handle;
    guard.unlock();
    if (fired.callback) reinterpret_cast<cu_box_timer_fn>(fired.callback)(handle, fired.user_data, id, fired.count);
    box->this_timer.store(-1);
    if (box->broken.load()) break;
  }
}

// The time the wait may last; -1 (no limit) when no timer is armed. False when the loop
// should end because nothing is registered.
bool plan_wait(cu_box* box, int* timeout_ms) {
  vor::SemLock guard(box->lock);
  if (!box->keep_alive && box->events.count() == 0 && box->timers.size() == 0 && box->resting.empty()) return false;
  int64_t next = std::min(box->timers.next_expiry(), earliest_rest(box));
  box->wait_deadline.store(next);
  if (next == INT64_MAX) {
    *timeout_ms = -1;
    return true;
  }
  int64_t left = next - box->clock();
  *timeout_ms = left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
  return true;
}

void run_loop(cu_box* box) {
  epoll_event events[kEventsPerWait];
  box->loop_thread.store(cu_GetThisThreadId());
  box->running.store(true);
  while (!box->broken.load()) {
    int timeout = -1;
    if (!plan_wait(box, &timeout)) break;
    int n = box->events.wait(events, kEventsPerWait, timeout);
    box->wait_deadline.store(INT64_MIN);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (!box->wait_error_logged) log_wait_error(errno);
      box->wait_error_logged = true;
      usleep(10000);  // never spin on a failing wait
      continue;
    }
    for (int i = 0; i < n && !box->broken.load(); ++i) {
      if (events[i].data.u64 == cu_event::kWakeTag) {
        box->events.consume_wake();
      } else {
        dispatch(box, events[i]);
      }
    }
    if (box->broken.load()) break;
    wake_listeners(box);
    fire_due_timers(box);
    if (box->broken.load()) break;
    if (box->pass_hook) box->pass_hook(box->pass_hook_arg);
  }
  box->running.store(false);
}

SockBlock tcp_client_block(cu_client* client, cu_box_sock_fn on_connected, void* ud_connected,
                           cu_box_sock_fn on_failed, void* ud_failed, cu_box_read_fn on_read, void* ud_read,
                           cu_box_sock_fn on_close, void* ud_close) {
  SockBlock sb;
  sb.kind = kTcpClient;
  sb.sid = client->sock;
  sb.client = client;
  sb.on_connected = on_connected;
  sb.ud_connected = ud_connected;
  sb.on_failed = on_failed;
  sb.ud_failed = ud_failed;
  sb.on_read = on_read;
  sb.ud_read = ud_read;
  sb.on_close = on_close;
  sb.ud_close = ud_close;
  return sb;
}

int64_t add_server(cu_box* box, int32_t kind, const char* ip, uint16_t port, cu_box_accept_fn on_accept,
                   cu_box_datagram_fn on_datagram, void* ud) {
  SockBlock sb;
  sb.kind = kind == 1 ? kTcpServer : kUdpServer;
  if (!cu_server_init(&sb.server, kind, ip, port) || cu_server_open(&sb.server) <= 0) return -1;
  sb.has_server = true;
  sb.sid = sb.server.sock;
  sb.on_accept = on_accept;
  sb.on_datagram = on_datagram;
  sb.ud = ud;
  cu_server copy = sb.server;
  vor::SemLock guard(box->lock);
  int64_t sid = register_block(box, std::move(sb), kind == 1 ? on_accept_ready : on_readable);
  if (sid < 0) cu_server_close(&copy);
  return sid;
}

bool import_sock(cu_box* box, int32_t kind, int64_t sid, cu_box_import_fn fn, void* ud) {
  if (!box || !fn) return false;
  vor::SemLock guard(box->lock);
  return box->events.add(kind, sid, fn, ud);
}

bool export_sock(cu_box* box, int32_t kind, int64_t sid) {
  if (!box) return false;
  vor::SemLock guard(box->lock);
  box->events.del(kind, sid);
  if (!box->events.find(sid)) drop_block(box, sid, false);
  return true;
}

int32_t add_timer(cu_box* box, int32_t kind, uint32_t ms, int32_t limit, cu_box_timer_fn fn, void* ud) {
  if (!box || ms == 0 || limit <= 0) return -1;  // a 0 ms timer could never be listed: no draws
  vor::SemLock guard(box->lock);
  int64_t now = box->clock();
  for (int32_t draw = 0; draw < kTimerDraws; ++draw) {
    int32_t id = cu_timer::draw_id();
    if (id <= 0 || box->timers.find(id)) continue;
    if (!box->timers.add(id, kind, ms, limit, now, reinterpret_cast<void*>(fn), ud)) return -1;
    box->timer_changed(now + ms);
    return id;
  }
  return -1;
}

}  // namespace

void cu_box_set_pass_hook(cu_box* box, void (*fn)(void*), void* arg) {
  box->pass_hook = fn;
  box->pass_hook_arg = arg;
}
void cu_box_set_keep_alive(cu_box* box, bool on) { box->keep_alive = on; }
void cu_box_wake(cu_box* box) { box->events.wake(); }
bool cu_box_in_loop_thread(cu_box* box) { return box && !box->foreign(); }
void cu_box_set_clock(cu_box* box, int64_t (*now_ms)()) { box->clock = now_ms ? now_ms : cu_timer::mono_ms; }

cu_box* cu_box_mallocx(cu_sem* lock) {
  cu_sock_startup();
  cu_client__xmem_init();
  auto* box = new (std::nothrow) cu_box;
  if (!box) return nullptr;
  if (!box->events.open()) {
    delete box;
    return nullptr;
  }
  box->lock = lock;
  box->handle = box;
  return box;
}

cu_box* cu_box_malloc(void) { return cu_box_mallocx(nullptr); }

void cu_box_StartLoop(cu_box* box) {
  if (!box || box->broken.load() || box->running.exchange(true)) return;
  run_loop(box);
}

void cu_box_BreakLoop(cu_box* box) {
  if (!box) return;
  box->broken.store(true);
  box->events.wake();
}

void cu_box_SetUserCallbackHandle(cu_box* box, void* handle) {
  if (!box) return;
  vor::SemLock guard(box->lock);
  box->handle = handle;
}

void cu_box_destroy(cu_box* box) {
  if (!box) return;
  vor::SemLock guard(box->lock);
  box->events.clear();
  std::vector<int64_t> sids;
  for (auto& entry : box->socks) sids.push_back(entry.first);
  for (int64_t sid : sids) drop_block(box, sid, true);
  box->timers.clear();
  box->lock = nullptr;
}

void cu_box_free(cu_box* box) {
  if (!box) return;
  cu_box_destroy(box);
  delete box;
}

int64_t cu_box_sock_AddLocalTcpClient_STEP1(const char* host, uint16_t port, cu_client** client) {
  return cu_box_sock_AddLocalTcpClient_STEP1_ext(nullptr, 0, host, port, client);
}

int64_t cu_box_sock_AddLocalTcpClient_STEP1_ext(const char* local_ip, uint16_t local_port, const char* host,
                                                uint16_t port, cu_client** client) {
  if (!client) return -1;
  *client = cu_client_new(1, local_ip, local_port, host, port);
  return *client ? (*client)->sock : -1;
}

int64_t cu_box_sock_AddLocalTcpClient_STEP2(cu_box* box, cu_client* client, cu_box_sock_fn on_connected,
                                            void* ud_connected, cu_box_sock_fn on_failed, void* ud_failed,
                                            cu_box_read_fn on_read, void* ud_read, cu_box_sock_fn on_close,
                                            void* ud_close) {
  if (!client) return -1;
  if (!box || client->kind != 1 || client->state != 2) {
    cu_client_free(client);
    return -1;
  }
  int64_t sid = client->sock;
  vor::SemLock guard(box->lock);
  if (box->socks.count(sid)) {
    guard.unlock();
    cu_client_free(client);
    return -1;
  }
  box->socks.emplace(sid, tcp_client_block(client, on_connected, ud_connected, on_failed, ud_failed, on_read,
                                           ud_read, on_close, ud_close));
  // A connect that failed at once shows as a hang-up of the write registration, so on_failed
  // still comes from the loop, never from inside this call.
  if (!box->events.add(cu_event::kWrite, sid, on_connect_done, box) ||
      !box->events.add(cu_event::kExcept, sid, on_connect_fail, box)) {
    box->events.del_all(sid);
    drop_block(box, sid, true);
    return -1;
  }
  return sid;
}

int64_t cu_box_sock_AddLocalTcpClient(cu_box* box, const char* host, uint16_t port, cu_box_sock_fn on_connected,
                                      void* ud_connected, cu_box_sock_fn on_failed, void* ud_failed,
                                      cu_box_read_fn on_read, void* ud_read, cu_box_sock_fn on_close,
                                      void* ud_close) {
  if (!box) return -1;
  cu_client* client = nullptr;  // resolved and connecting before any lock is taken
  if (cu_box_sock_AddLocalTcpClient_STEP1(host, port, &client) <= 0) return -1;
  return cu_box_sock_AddLocalTcpClient_STEP2(box, client, on_connected, ud_connected, on_failed, ud_failed, on_read,
                                             ud_read, on_close, ud_close);
}

int64_t cu_box_sock_AddRemoteTcpClient(cu_box* box, int64_t sid, cu_box_read_fn on_read, void* ud_read,
                                       cu_box_sock_fn on_close, void* ud_close) {
  if (!box) return -1;
  SockBlock sb;
  sb.kind = kRemoteTcp;
  sb.sid = sid;
  sb.on_read = on_read;
  sb.ud_read = ud_read;
  sb.on_close = on_close;
  sb.ud_close = ud_close;
  vor::SemLock guard(box->lock);
  return register_block(box, std::move(sb), on_readable);
}

int64_t cu_box_sock_AddLocalUdpClient_ext(cu_box* box, const char* local_ip, uint16_t local_port, const char* host,
                                          uint16_t port, cu_box_datagram_fn on_datagram, void* ud) {
  if (!box) return -1;
  cu_client* client = cu_client_new(2, local_ip, local_port, host, port);
  if (!client) return -1;
  SockBlock sb;
  sb.kind = kUdpClient;
  sb.sid = client->sock;
  sb.client = client;
  sb.on_datagram = on_datagram;
  sb.ud = ud;
  vor::SemLock guard(box->lock);
  int64_t sid = register_block(box, std::move(sb), on_readable);
  if (sid < 0) cu_client_free(client);
  return sid;
}

int64_t cu_box_sock_AddLocalUdpClient(cu_box* box, const char* host, uint16_t port, cu_box_datagram_fn on_datagram,
                                      void* ud) {
  return cu_box_sock_AddLocalUdpClient_ext(box, nullptr, 0, host, port, on_datagram, ud);
}

int64_t cu_box_sock_AddLocalTcpServer(cu_box* box, const char* local_ip, uint16_t port, cu_box_accept_fn on_accept,
                                      void* ud) {
  if (!box) return -1;
  return add_server(box, 1, local_ip, port, on_accept, nullptr, ud);
}

int64_t cu_box_sock_AddLocalTcpServer2(cu_box* box, int64_t listen_sid, cu_box_accept_fn on_accept, void* ud) {
  if (!box || cu_sock_set_nonblock(listen_sid) != 0) return -1;
  SockBlock sb;
  sb.kind = kTcpServer;
  sb.sid = listen_sid;
  sb.on_accept = on_accept;
  sb.ud = ud;
  vor::SemLock guard(box->lock);
  return register_block(box, std::move(sb), on_accept_ready);
}

int64_t cu_box_sock_AddLocalUdpServer(cu_box* box, const char* local_ip, uint16_t port,
                                      cu_box_datagram_fn on_datagram, void* ud) {
  if (!box) return -1;
  return add_server(box, 2, local_ip, port, nullptr, on_datagram, ud);
}

bool cu_box_sock_ImportSocketId_ForRead(cu_box* box, int64_t sid, cu_box_import_fn fn, void* ud) {
  return import_sock(box, cu_event::kRead, sid, fn, ud);
}
bool cu_box_sock_ImportSocketId_ForWrite(cu_box* box, int64_t sid, cu_box_import_fn fn, void* ud) {
  return import_sock(box, cu_event::kWrite, sid, fn, ud);
}
bool cu_box_sock_ImportSocketId_ForExcept(cu_box* box, int64_t sid, cu_box_import_fn fn, void* ud) {
  return import_sock(box, cu_event::kExcept, sid, fn, ud);
}
bool cu_box_sock_ExportSocketId_ForRead(cu_box* box, int64_t sid) { return export_sock(box, cu_event::kRead, sid); }
bool cu_box_sock_ExportSocketId_ForWrite(cu_box* box, int64_t sid) { return export_sock(box, cu_event::kWrite, sid); }
bool cu_box_sock_ExportSocketId_ForExcept(cu_box* box, int64_t sid) {
  return export_sock(box, cu_event::kExcept, sid);
}

bool cu_box_sock_ExportSocketId(cu_box* box, int64_t sid) {
  if (!box) return false;
  vor::SemLock guard(box->lock);
  box->events.del_all(sid);
  drop_block(box, sid, false);
  return true;
}

void cu_box_sock_Delete(cu_box* box, int64_t sid) {
  if (!box || sid <= 0) return;
  vor::SemLock guard(box->lock);
  // Out of the epoll set before the descriptor is closed and its number can be reused.
  box->events.del_all(sid);
  if (box->block(sid)) {
    drop_block(box, sid, true);
  } else {
    vor::sid_close(sid);
  }
}

void cu_box_sock_DeleteThis(cu_box* box) {
  if (box) cu_box_sock_Delete(box, box->this_sid.load());
}

void cu_box_sock_SetMaxReadLen(cu_box* box, int64_t sid, int32_t n) {
  if (!box) return;
  vor::SemLock guard(box->lock);
  SockBlock* sb = box->block(sid);
  if (!sb || (sb->kind != kTcpClient && sb->kind != kRemoteTcp)) return;
  sb->read_size = n <= 0 ? 1 : (n > kCuSockReadMax ? kCuSockReadMax : n);
}

int32_t cu_box_sock_GetNumSock(cu_box* box) {
  if (!box) return -1;
  vor::SemLock guard(box->lock);
  return static_cast<int32_t>(box->socks.size());
}

int64_t cu_box_sock_GetThisId(cu_box* box) { return box ? box->this_sid.load() : -1; }

bool cu_box_sock_IsExist(cu_box* box, int64_t sid) {
  if (!box || sid < 1) return false;
  vor::SemLock guard(box->lock);
  return box->block(sid) || box->events.find(sid);
}

void cu_box_sock_foreach(cu_box* box, cu_box_foreach_fn fn, void* arg) {
  if (!box || !fn) return;
  std::vector<std::pair<int32_t, int64_t>> list;
  vor::SemLock guard(box->lock);
  for (auto& entry : box->socks) list.emplace_back(entry.second.kind, entry.first);
  void* handle = box->handle;
  guard.unlock();
  for (auto& [kind, sid] : list) {
    vor::SemLock check(box->lock);
    if (!box->block(sid)) continue;  // deleted by an earlier call of fn
    check.unlock();
    fn(handle, kind, sid, arg);
  }
}

int32_t cu_box_sock_UdpWrite(cu_box*, int64_t sock, const void* data, int32_t len, const cu_peer_addr* peer) {
  return cu_sock_write_ByAddr(sock, data, len, peer);
}

int32_t cu_box_sock_TcpWrite(void*, int64_t sock, const void* data, int32_t len) {
  int fd = vor::sid_fd_checked(sock);
  if (fd < 0 || !data || len < 0) return -1;
  ssize_t n = vor::io::send_some(fd, data, static_cast<size_t>(len));
  if (n >= 0) return static_cast<int32_t>(n);
  return vor::io::would_block(errno) ? 0 : -1;
}

int32_t cu_box_sock_UdpWriteByIp(void*, int64_t sock, const void* data, int32_t len, const char* ip,
                                 uint16_t port) {
  return cu_sock_write_ByPeerIp(sock, data, len, ip, port);
}

int32_t cu_box_timer_AddOnceTimer(cu_box* box, uint32_t ms, cu_box_timer_fn fn, void* ud) {
  return add_timer(box, cu_timer::kOnce, ms, 1, fn, ud);
}
int32_t cu_box_timer_AddLoopTimer(cu_box* box, uint32_t ms, cu_box_timer_fn fn, void* ud) {
  return add_timer(box, cu_timer::kLoop, ms, 1, fn, ud);
}
int32_t cu_box_timer_AddLimitTimer(cu_box* box, int32_t count, uint32_t ms, cu_box_timer_fn fn, void* ud) {
  return add_timer(box, cu_timer::kLimit, ms, count, fn, ud);
}

void cu_box_timer_Delete(cu_box* box, int32_t id) {
  if (!box || id <= 0) return;
  vor::SemLock guard(box->lock);
  box->timers.del(id);
}

void cu_box_timer_DeleteThis(cu_box* box) {
  if (box) cu_box_timer_Delete(box, box->this_timer.load());
}

bool cu_box_timer_Refresh(cu_box* box, int32_t id, uint32_t ms, cu_box_timer_fn fn, void* ud) {
  if (!box || id <= 0 || !fn) return false;
  vor::SemLock guard(box->lock);
  cu_timer::Timer* t = box->timers.find(id);
  if (!t) return false;
  t->callback = reinterpret_cast<void*>(fn);
  t->user_data = ud;
  if (ms) box->timers.refresh(id, ms);
  return true;
}

bool cu_box_timer_RefreshTimeout(cu_box* box, int32_t id, uint32_t ms) {
  if (!box || id <= 0 || ms == 0) return false;
  vor::SemLock guard(box->lock);
  return box->timers.refresh(id, ms);
}

bool cu_box_timer_RefreshCallback(cu_box* box, int32_t id, cu_box_timer_fn fn, void* ud) {
  if (!box || id <= 0 || !fn) return false;
  vor::SemLock guard(box->lock);
  cu_timer::Timer* t = box->timers.find(id);
  if (!t) return false;
  t->callback = reinterpret_cast<void*>(fn);
  t->user_data = ud;
  return true;
}

int32_t cu_box_timer_GetNumTimer(cu_box* box) {
  if (!box) return -1;
  vor::SemLock guard(box->lock);
  return box->timers.size();
}

int32_t cu_box_timer_GetThisId(cu_box* box) { return box ? box->this_timer.load() : -1; }

bool cu_box_timer_IsExist(cu_box* box, int32_t id) {
  if (!box || id <= 0) return false;
  vor::SemLock guard(box->lock);
  return box->timers.find(id) != nullptr;
}
