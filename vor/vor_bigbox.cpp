#include "vor_bigbox.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>
#include <vector>

#include "cu_box.h"
#include "cu_lib.h"
#include "cu_sock.h"
#include "cu_sock_internal.h"
#include "vor_bigbox_internal.h"
#include "vor_fd_table.h"
#include "vor_io.h"
#include "vor_sem_guard.h"
#include "vor_sid.h"

namespace {

constexpr int32_t kMaxThreads = 1000;
constexpr int32_t kMaxConnections = 1000000;
// Later layers decrypt up to 32,767 bytes and a NUL into the block a read was made in.
constexpr size_t kRecvBlock = 32768;
constexpr size_t kRecvMax = 31743;
// Accepts per readiness of a listener: drains a burst without starving the master's other work.
constexpr int kAcceptBatch = 64;
constexpr int kLookupTries = 4;
constexpr auto kLeaveWait = std::chrono::seconds(2);
constexpr size_t kIpText = 20;

// One connection's record, at the index of its descriptor. sid and slave say who holds it;
// the rest is read and written only under the owning slave's lock. A slot is claimed by a CAS
// of sid from 0, given its slave last, and released by clearing slave first and sid last.
struct Conn {
  std::atomic<int64_t> sid{0};
  std::atomic<int32_t> slave{-1};
  bool reading = false;  // in the slave box's read set
  bool writing = false;  // in its write set
  uint16_t port = 0;
  char ip[kIpText] = "";
  vor_bigbox_read_fn on_read = nullptr;
  void* ud_read = nullptr;
  vor_bigbox_sock_fn on_close = nullptr;
  void* ud_close = nullptr;
  vor_bigbox_sock_fn on_write = nullptr;
  void* ud_write = nullptr;
};

struct Slave {
  std::mutex lock;  // before any box lock, never the reverse
  vor_box* box = nullptr;
  int64_t thread_id = 0;
  int32_t index = 0;
  std::atomic<int32_t> load{0};  // recorded connections, paused ones included
};

struct ListenBlock {
  char ip[kIpText] = "";
  uint16_t port = 0;
  int64_t sid = -1;
  vor_bigbox_accept_fn on_accept = nullptr;
  void* ud = nullptr;
};

}  // namespace

// The record lives until the caller of vor_bigbox_free and every one of its threads have let
// go of it: a handler already dispatched on a slave never touches freed memory.
struct vor_bigbox {
  std::atomic<int32_t> refs{1};
  std::atomic<bool> dead{false};
  int32_t limit = kMaxConnections;
  std::atomic<int32_t> count{0};
  vor_box* master = nullptr;
  std::vector<std::unique_ptr<Slave>> slaves;        // fixed once made
  std::unordered_map<const vor_box*, int32_t> slave_of;  // fixed once made
  vor::FdTable<Conn> conns;  // by descriptor
  std::mutex listen_lock;  // before the master box's lock
  std::unordered_map<int64_t, ListenBlock> listeners;
  std::vector<vor_box*> joined;  // thread boxes that took their context and a reference
};

namespace {

// What a thread of a bigbox knows about itself; set by an in-event on that thread at make.
struct ThreadContext {
  vor_bigbox* bb = nullptr;
  Slave* slave = nullptr;              // NULL on the master thread
  std::unique_ptr<char[]> buffer;      // the slave's receive block
};
thread_local ThreadContext t_context;

vor::LiveSet<vor_bigbox>& live_bigboxes() {
  static auto* live = new vor::LiveSet<vor_bigbox>;  // never destroyed: threads may outlive static destructors
  return *live;
}

void drop_ref(vor_bigbox* bb) {
  if (bb->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete bb;
}

// Admits one operation on a live handle that is not shutting down. The bigbox's own threads
// are trusted through their context (no process-wide lock on the busy paths); others hold the
// live set for the length of the operation, so vor_bigbox_free waits for them.
vor::LiveSet<vor_bigbox>::Hold admit(vor_bigbox* bb) {
  auto use = live_bigboxes().hold(bb, bb && t_context.bb == bb);
  if (use && bb->dead.load(std::memory_order_acquire)) use.refuse();
  return use;
}

// The record of exactly this sid with its slave's lock held; NULL (nothing held) otherwise.
Conn* find_locked(vor_bigbox* bb, int64_t sid, std::unique_lock<std::mutex>* held, Slave** owner) {
  if (sid <= 0) return nullptr;
  Conn* c = bb->conns.get(vor::sid_fd(sid));
  if (!c) return nullptr;
  for (int tries = 0; tries < kLookupTries; ++tries) {
    int32_t s = c->slave.load(std::memory_order_acquire);
    if (s < 0 || c->sid.load(std::memory_order_acquire) != sid) return nullptr;
    Slave* sl = bb->slaves[static_cast<size_t>(s)].get();
    std::unique_lock<std::mutex> lock(sl->lock);
    if (c->slave.load(std::memory_order_relaxed) != s) continue;  // moved to another slave meanwhile
    if (c->sid.load(std::memory_order_relaxed) != sid || bb->dead.load()) return nullptr;
    *held = std::move(lock);
    *owner = sl;
    return c;
  }
  return nullptr;
}

// Frees a record; the caller holds its slave's lock. The socket is left as it is.
void release_conn(vor_bigbox* bb, Slave* sl, Conn* c) {
  c->slave.store(-1, std::memory_order_relaxed);
  c->reading = c->writing = false;
  c->on_read = nullptr;
  c->on_close = c->on_write = nullptr;
  c->ud_read = c->ud_close = c->ud_write = nullptr;
  c->ip[0] = '\0';
  c->port = 0;
  c->sid.store(0, std::memory_order_release);
  sl->load.fetch_sub(1, std::memory_order_relaxed);
  bb->count.fetch_sub(1, std::memory_order_relaxed);
}

// A record left by a socket that was closed without vor_bigbox_DeleteSock blocks its
// descriptor's slot; it is dropped (nothing closed: the descriptor is someone else's now).
void drop_stale(vor_bigbox* bb, Conn* c) {
  int64_t old = c->sid.load(std::memory_order_acquire);
  if (old == 0 || vor::sid_current(old)) return;
  std::unique_lock<std::mutex> held;
  Slave* sl = nullptr;
  if (find_locked(bb, old, &held, &sl) != c) return;
  vorx_box_ExportSockId(sl->box, old);
  release_conn(bb, sl, c);
}

// The first slave holding the fewest connections.
Slave* least_loaded(vor_bigbox* bb) {
  Slave* best = nullptr;
  int32_t best_load = 0;
  for (auto& sl : bb->slaves) {
    int32_t load = sl->load.load(std::memory_order_relaxed);
    if (!best || load < best_load) {
      best = sl.get();
      best_load = load;
    }
  }
  return best;
}

void on_conn_readable(void* ud);
void on_conn_writable(void* ud);

enum class Arm { kNone, kRead, kWrite };

struct NewConn {
  int64_t sid;
  const char* ip;  // NULL: the socket's peer
  uint16_t port;
  vor_bigbox_read_fn on_read;
  void* ud_read;
  vor_bigbox_sock_fn on_close;
  void* ud_close;
  vor_bigbox_sock_fn on_write;
  void* ud_write;
};

// Records a new connection on a slave and arms the asked set; false undoes everything and
// leaves the socket to the caller.
bool record(vor_bigbox* bb, Slave* sl, const NewConn& n, Arm arm) {
  if (!sl || n.sid <= 0) return false;
  char ip[kIpText] = "";
  uint16_t port = n.port;
  if (n.ip) {
    cu_strncpy(ip, n.ip, kIpText - 1);
  } else if (!cu_sock_GetPeer(n.sid, ip, kIpText, &port)) {
    return false;
  }
  Conn* c = bb->conns.ensure(vor::sid_fd(n.sid));
  if (!c) return false;
  drop_stale(bb, c);
  std::lock_guard<std::mutex> guard(sl->lock);
  int64_t expected = 0;
  if (bb->dead.load() || !c->sid.compare_exchange_strong(expected, n.sid, std::memory_order_acq_rel)) return false;
  memcpy(c->ip, ip, kIpText);
  c->port = port;
  c->on_read = n.on_read;
  c->ud_read = n.ud_read;
  c->on_close = n.on_close;
  c->ud_close = n.ud_close;
  c->on_write = n.on_write;
  c->ud_write = n.ud_write;
  bool ok = true;
  if (arm == Arm::kRead) ok = c->reading = vorx_box_ImportSockId_ForRead(sl->box, n.sid, on_conn_readable, c);
  if (arm == Arm::kWrite) ok = c->writing = vorx_box_ImportSockId_ForWrite(sl->box, n.sid, on_conn_writable, c);
  sl->load.fetch_add(1, std::memory_order_relaxed);
  bb->count.fetch_add(1, std::memory_order_relaxed);
  c->slave.store(sl->index, std::memory_order_release);
  if (!ok) release_conn(bb, sl, c);
  return ok;
}

// Slave thread: one recv of at most kRecvMax bytes into the thread's block, under the slave's
// lock so that no other thread closes the descriptor meanwhile.
void on_conn_readable(void* ud) {
  auto* c = static_cast<Conn*>(ud);
  ThreadContext& t = t_context;
  Slave* sl = t.slave;
  if (!sl) return;
  std::unique_lock<std::mutex> lock(sl->lock);
  if (c->slave.load(std::memory_order_relaxed) != sl->index || !c->reading) return;
  int64_t sid = c->sid.load(std::memory_order_relaxed);
  char* buf = t.buffer.get();
  int fd = vor::sid_fd_checked(sid);
  ssize_t n = -1;
  if (fd >= 0) {
    n = vor::io::recv_some(fd, buf, kRecvMax);
    if (n < 0 && vor::io::would_block(errno)) return;  // spurious readiness
  }
  vor_bigbox* bb = t.bb;
  if (n > 0) {
    vor_bigbox_read_fn fn = c->on_read;
    void* fn_ud = c->ud_read;
    lock.unlock();
    buf[n] = '\0';
    if (fn) fn(bb, fn_ud, sid, buf, static_cast<int32_t>(n));
    return;
  }
  // Reported once: the socket leaves the read set until the module starts reading again.
  c->reading = false;
  vorx_box_ExportSockId_ForRead(sl->box, sid);
  vor_bigbox_sock_fn fn = c->on_close;
  void* fn_ud = c->ud_close;
  lock.unlock();
  if (fn) fn(bb, fn_ud, sid);
}

void on_conn_writable(void* ud) {
  auto* c = static_cast<Conn*>(ud);
  ThreadContext& t = t_context;
  Slave* sl = t.slave;
  if (!sl) return;
  std::unique_lock<std::mutex> lock(sl->lock);
  if (c->slave.load(std::memory_order_relaxed) != sl->index || !c->writing) return;
  int64_t sid = c->sid.load(std::memory_order_relaxed);
  vor_bigbox_sock_fn fn = c->on_write;
  void* fn_ud = c->ud_write;
  lock.unlock();
  if (fn) fn(t.bb, fn_ud, sid);
}

// Master thread: gives a new connection to its listener's accept callback, or closes it when
// the limit is reached or the listener is gone. False when the listener is no longer ours.
bool hand_over(vor_bigbox* bb, int64_t listen_sid, int64_t sid, const char* ip, uint16_t port) {
  vor_bigbox_accept_fn fn = nullptr;
  void* ud = nullptr;
  bool known = false;
  if (!bb->dead.load()) {
    std::lock_guard<std::mutex> guard(bb->listen_lock);
    auto it = bb->listeners.find(listen_sid);
    known = it != bb->listeners.end();
    if (known && bb->count.load(std::memory_order_relaxed) < bb->limit) {
      fn = it->second.on_accept;
      ud = it->second.ud;
    }
  }
  if (fn) {
    fn(bb, ud, listen_sid, sid, ip, port);
  } else {
    vor_box_DeleteSock(bb->master, sid);
  }
  return known;
}

// The master box's accept callback. It takes the rest of the backlog itself, up to a batch; a
// listener out of descriptors is rested by the box on its next accept.
void on_listen_accept(void*, void* ud, int64_t listen_sid, int64_t sid, const char* ip, uint16_t port) {
  auto* bb = static_cast<vor_bigbox*>(ud);
  if (!hand_over(bb, listen_sid, sid, ip, port)) return;
  for (int i = 1; i < kAcceptBatch; ++i) {
    char more_ip[kIpText] = "";
    uint16_t more_port = 0;
    int64_t more = cu_server_accept_on(listen_sid, more_ip, &more_port);
    if (more <= 0 || !hand_over(bb, listen_sid, more, more_ip, more_port)) return;
  }
}

Slave* slave_of_box(vor_bigbox* bb, vor_box* box) {
  auto it = bb->slave_of.find(box);
  return it == bb->slave_of.end() ? nullptr : bb->slaves[static_cast<size_t>(it->second)].get();
}

// Read callbacks of a sid: replaced when recorded (on the named slave, if one is named), else
// a new record below the limit.
bool import_read(vor_bigbox* bb, Slave* named, int64_t sid, vor_bigbox_read_fn on_read, void* ud_read,
                 vor_bigbox_sock_fn on_close, void* ud_close) {
  {
    std::unique_lock<std::mutex> held;
    Slave* sl = nullptr;
    if (Conn* c = find_locked(bb, sid, &held, &sl)) {
      if (named && named != sl) return false;
      c->on_read = on_read;
      c->ud_read = ud_read;
      c->on_close = on_close;
      c->ud_close = ud_close;
      bool ok = vorx_box_ImportSockId_ForRead(sl->box, sid, on_conn_readable, c);
      if (ok) c->reading = true;
      return ok;
    }
  }
  if (sid <= 0 || bb->count.load() >= bb->limit) return false;
  NewConn n{sid, nullptr, 0, on_read, ud_read, on_close, ud_close, nullptr, nullptr};
  return record(bb, named ? named : least_loaded(bb), n, Arm::kRead);
}

bool import_write(vor_bigbox* bb, Slave* named, int64_t sid, vor_bigbox_sock_fn on_write, void* ud) {
  if (!on_write) return false;
  {
    std::unique_lock<std::mutex> held;
    Slave* sl = nullptr;
    if (Conn* c = find_locked(bb, sid, &held, &sl)) {
      if (named && named != sl) return false;
      c->on_write = on_write;
      c->ud_write = ud;
      bool ok = vorx_box_ImportSockId_ForWrite(sl->box, sid, on_conn_writable, c);
      if (ok) c->writing = true;
      return ok;
    }
  }
  if (sid <= 0 || bb->count.load() >= bb->limit) return false;
  NewConn n{sid, nullptr, 0, nullptr, nullptr, nullptr, nullptr, on_write, ud};
  return record(bb, named ? named : least_loaded(bb), n, Arm::kWrite);
}

bool accept_conn(vor_bigbox* bb, int64_t sid, const char* ip, uint16_t port, vor_bigbox_read_fn on_read,
                 void* ud_read, vor_bigbox_sock_fn on_close, void* ud_close, Arm arm) {
  auto use = admit(bb);
  if (!use || sid <= 0) return false;
  NewConn n{sid, ip, port, on_read, ud_read, on_close, ud_close, nullptr, nullptr};
  return record(bb, least_loaded(bb), n, arm);
}

// --- threads of a bigbox --------------------------------------------------------------------

struct Join {
  std::atomic<int32_t> left{0};
  std::promise<void> done;
};

// In-event on each new thread: it takes its context and a reference to the record.
void join_thread(vor_box*, const char*, void* a1, void* a2, void* a3, void* a4, void*, void*, void*, void*) {
  auto* bb = static_cast<vor_bigbox*>(a1);
  bb->refs.fetch_add(1, std::memory_order_relaxed);
  t_context.bb = bb;
  t_context.slave = static_cast<Slave*>(a2);
  t_context.buffer.reset(static_cast<char*>(a3));
  auto* join = static_cast<Join*>(a4);
  if (join->left.fetch_sub(1) == 1) join->done.set_value();
}

// In-event that ends a thread's part: after it no handler of the bigbox runs on the thread.
void leave_thread(vor_box* box, const char*, void* a1, void*, void*, void*, void*, void*, void*, void*) {
  t_context.bb = nullptr;
  t_context.slave = nullptr;
  t_context.buffer.reset();
  vorx_ThreadBox_destroy(box);
  drop_ref(static_cast<vor_bigbox*>(a1));
}

std::vector<vor_box*> thread_boxes(vor_bigbox* bb) {
  std::vector<vor_box*> boxes;
  if (bb->master) boxes.push_back(bb->master);
  for (auto& sl : bb->slaves) boxes.push_back(sl->box);
  return boxes;
}

// Starts the threads and gives each its context; false when any cannot be had.
bool start_threads(vor_bigbox* bb, int32_t threads) {
  bb->master = vorx_ThreadBox_create();
  if (!bb->master) return false;
  for (int32_t i = 0; i < threads; ++i) {
    vor_box* box = vorx_ThreadBox_create();
    if (!box) return false;
    auto sl = std::unique_ptr<Slave>(new (std::nothrow) Slave);
    if (!sl) {
      vorx_ThreadBox_destroy(box);
      return false;
    }
    sl->box = box;
    sl->index = i;
    sl->thread_id = vorx_box_GetThreadId(box);
    bb->slave_of[box] = i;
    bb->slaves.push_back(std::move(sl));
  }
  std::vector<vor_box*> boxes = thread_boxes(bb);
  Join join;
  join.left.store(static_cast<int32_t>(boxes.size()));
  std::future<void> done = join.done.get_future();
  int32_t posted = 0;
  bool ok = true;
  for (size_t i = 0; i < boxes.size() && ok; ++i) {
    Slave* sl = i == 0 ? nullptr : bb->slaves[i - 1].get();
    char* buffer = sl ? new (std::nothrow) char[kRecvBlock] : nullptr;
    ok = (!sl || buffer) && vor_box_AddInEvent(boxes[i], nullptr, join_thread, bb, sl, buffer, &join, nullptr,
                                               nullptr, nullptr, nullptr);
    if (ok) {
      ++posted;
      bb->joined.push_back(boxes[i]);
    } else {
      delete[] buffer;
    }
  }
  // Boxes not posted to are counted off at once: they hold no context and no reference.
  int32_t missing = static_cast<int32_t>(boxes.size()) - posted;
  if (missing > 0 && join.left.fetch_sub(missing) == missing) join.done.set_value();
  done.wait();
  return ok;
}

// Everything a bigbox holds is closed, its threads told to end; the record goes with the last
// reference. Makes and frees share it.
void shut_down(vor_bigbox* bb) {
  bb->dead.store(true, std::memory_order_release);
  {
    std::lock_guard<std::mutex> guard(bb->listen_lock);
    for (auto& [sid, block] : bb->listeners) vor_box_DeleteSock(bb->master, sid);
    bb->listeners.clear();
  }
  // A record in the making holds its slave's lock from the dead check to the end: passing
  // every lock once lets those finish, and later ones see dead.
  for (auto& sl : bb->slaves) std::lock_guard<std::mutex> pass(sl->lock);
  bb->conns.for_each([bb](Conn& c) {
    int32_t s = c.slave.load(std::memory_order_acquire);
    if (s < 0) return;
    Slave* sl = bb->slaves[static_cast<size_t>(s)].get();
    std::lock_guard<std::mutex> guard(sl->lock);
    if (c.slave.load(std::memory_order_relaxed) != s) return;
    int64_t sid = c.sid.load(std::memory_order_relaxed);
    release_conn(bb, sl, &c);
    vor_box_DeleteSock(sl->box, sid);
  });
  for (vor_box* box : thread_boxes(bb)) {
    // A thread that cannot be told keeps its reference: the record is then never freed.
    bool joined = std::find(bb->joined.begin(), bb->joined.end(), box) != bb->joined.end();
    if (!joined || !vor_box_AddInEvent(box, nullptr, leave_thread, bb, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr))
      vorx_ThreadBox_destroy(box);
  }
  // A caller outside the bigbox waits (bounded) until every thread has left it, so no callback
  // of the bigbox runs once this returns; its own threads cannot wait for themselves.
  if (t_context.bb != bb) {
    auto end = std::chrono::steady_clock::now() + kLeaveWait;
    while (bb->refs.load(std::memory_order_acquire) > 1 && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  drop_ref(bb);
}

}  // namespace

void vor_bigbox__xmem_init(void) { live_bigboxes(); }

vor_bigbox* vor_bigbox_make(int32_t threads, int32_t max_connections) {
  if (threads > kMaxThreads) threads = kMaxThreads;
  if (threads <= 0) threads = 1;
  if (max_connections > kMaxConnections || max_connections <= 0) max_connections = kMaxConnections;
  auto* bb = new (std::nothrow) vor_bigbox;
  if (!bb) return nullptr;
  bb->limit = max_connections;
  bool ok = false;
  try {
    ok = start_threads(bb, threads) && live_bigboxes().add(bb);
  } catch (const std::exception&) {
    ok = false;
  }
  if (ok) return bb;
  shut_down(bb);
  return nullptr;
}

void vor_bigbox_free(vor_bigbox* bb) {
  if (!bb) return;
  if (!live_bigboxes().remove(bb)) return;
  shut_down(bb);
}

int64_t vor_bigbox_attach(vor_bigbox* bb, const char* ip, uint16_t port, vor_bigbox_accept_fn on_accept, void* ud) {
  auto use = admit(bb);
  if (!use || !on_accept) return -1;
  ListenBlock block;
  cu_strncpy(block.ip, ip ? ip : "", kIpText - 1);
  block.port = port;
  block.on_accept = on_accept;
  block.ud = ud;
  // Held while the listener is made, so its first accept finds the block.
  std::lock_guard<std::mutex> guard(bb->listen_lock);
  if (bb->dead.load()) return -1;
  int64_t sid = vor_box_NewTcpServer(bb->master, ip, port, on_listen_accept, bb);
  if (sid <= 0) return -1;
  block.sid = sid;
  try {
    bb->listeners[sid] = block;
  } catch (const std::bad_alloc&) {
    vor_box_DeleteSock(bb->master, sid);
    return -1;
  }
  return sid;
}

bool vor_bigbox_accept(vor_bigbox* bb, int64_t sid, const char* ip, uint16_t port, vor_bigbox_read_fn on_read,
                       void* ud_read, vor_bigbox_sock_fn on_close, void* ud_close) {
  return accept_conn(bb, sid, ip, port, on_read, ud_read, on_close, ud_close, Arm::kRead);
}

bool vor_bigbox_accept_WithPause(vor_bigbox* bb, int64_t sid, const char* ip, uint16_t port,
                                 vor_bigbox_read_fn on_read, void* ud_read, vor_bigbox_sock_fn on_close,
                                 void* ud_close) {
  return accept_conn(bb, sid, ip, port, on_read, ud_read, on_close, ud_close, Arm::kNone);
}

bool vorx_bigbox_import_ForRead(vor_bigbox* bb, int64_t sid, vor_bigbox_read_fn on_read, void* ud_read,
                                vor_bigbox_sock_fn on_close, void* ud_close) {
  auto use = admit(bb);
  return use && import_read(bb, nullptr, sid, on_read, ud_read, on_close, ud_close);
}

bool vorx_bigbox_import_ForWrite(vor_bigbox* bb, int64_t sid, vor_bigbox_sock_fn on_write, void* ud) {
  auto use = admit(bb);
  return use && import_write(bb, nullptr, sid, on_write, ud);
}

bool vorxx_bigbox_import_ForRead(vor_bigbox* bb, vor_box* slave, int64_t sid, vor_bigbox_read_fn on_read,
                                 void* ud_read, vor_bigbox_sock_fn on_close, void* ud_close) {
  auto use = admit(bb);
  if (!use) return false;
  Slave* sl = slave_of_box(bb, slave);
  return sl && import_read(bb, sl, sid, on_read, ud_read, on_close, ud_close);
}

bool vorxx_bigbox_import_ForWrite(vor_bigbox* bb, vor_box* slave, int64_t sid, vor_bigbox_sock_fn on_write,
                                  void* ud) {
  auto use = admit(bb);
  if (!use) return false;
  Slave* sl = slave_of_box(bb, slave);
  return sl && import_write(bb, sl, sid, on_write, ud);
}

bool vorx_bigbox_import_ForListen(vor_bigbox* bb, int64_t listen_sid, vor_bigbox_accept_fn on_accept, void* ud) {
  auto use = admit(bb);
  if (!use || !on_accept || listen_sid <= 0) return false;
  std::lock_guard<std::mutex> guard(bb->listen_lock);
  auto it = bb->listeners.find(listen_sid);
  if (it != bb->listeners.end()) {
    it->second.on_accept = on_accept;
    it->second.ud = ud;
    return true;
  }
  ListenBlock block;
  cu_strncpy(block.ip, "0.0.0.0", kIpText - 1);
  if (!cu_sock_GetPortFromFd(listen_sid, &block.port)) return false;
  block.sid = listen_sid;
  block.on_accept = on_accept;
  block.ud = ud;
  try {
    bb->listeners[listen_sid] = block;
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool vorx_bigbox_export_ForRead(vor_bigbox* bb, int64_t sid) {
  auto use = admit(bb);
  std::unique_lock<std::mutex> held;
  Slave* sl = nullptr;
  Conn* c = use ? find_locked(bb, sid, &held, &sl) : nullptr;
  if (!c) return false;
  if (c->reading) vorx_box_ExportSockId_ForRead(sl->box, sid);
  c->reading = false;
  c->on_read = nullptr;
  c->ud_read = nullptr;
  c->on_close = nullptr;
  c->ud_close = nullptr;
  if (!c->on_write) release_conn(bb, sl, c);
  return true;
}

bool vorx_bigbox_export_ForWrite(vor_bigbox* bb, int64_t sid) {
  auto use = admit(bb);
  std::unique_lock<std::mutex> held;
  Slave* sl = nullptr;
  Conn* c = use ? find_locked(bb, sid, &held, &sl) : nullptr;
  if (!c) return false;
  if (c->writing) vorx_box_ExportSockId_ForWrite(sl->box, sid);
  c->writing = false;
  c->on_write = nullptr;
  c->ud_write = nullptr;
  if (!c->on_read) release_conn(bb, sl, c);
  return true;
}

bool vorx_bigbox_export_ForListen(vor_bigbox* bb, int64_t listen_sid) {
  auto use = admit(bb);
  if (!use) return false;
  std::lock_guard<std::mutex> guard(bb->listen_lock);
  if (!bb->listeners.erase(listen_sid)) return false;
  vorx_box_ExportSockId(bb->master, listen_sid);
  return true;
}

bool vorx_bigbox_pause_ForRead(vor_bigbox* bb, int64_t sid) {
  auto use = admit(bb);
  std::unique_lock<std::mutex> held;
  Slave* sl = nullptr;
  Conn* c = use ? find_locked(bb, sid, &held, &sl) : nullptr;
  if (!c) return false;
  if (c->reading) vorx_box_ExportSockId_ForRead(sl->box, sid);
  c->reading = false;
  return true;
}

bool vorx_bigbox_start_ForRead(vor_bigbox* bb, int64_t sid) {
  auto use = admit(bb);
  std::unique_lock<std::mutex> held;
  Slave* sl = nullptr;
  Conn* c = use ? find_locked(bb, sid, &held, &sl) : nullptr;
  if (!c) return false;
  bool ok = vorx_box_ImportSockId_ForRead(sl->box, sid, on_conn_readable, c);
  if (ok) c->reading = true;
  return ok;
}

int32_t vor_bigbox_write(vor_bigbox* bb, int64_t sid, const void* data, int32_t len) {
  auto use = admit(bb);
  if (!use) return -1;
  if (!data || len <= 0) return 0;
  std::unique_lock<std::mutex> held;
  Slave* sl = nullptr;
  if (!find_locked(bb, sid, &held, &sl)) return 0;
  return cu_box_sock_TcpWrite(nullptr, sid, data, len);
}

int32_t vorx_bigbox_write(int64_t sid, const void* data, int32_t len) {
  return cu_box_sock_TcpWrite(nullptr, sid, data, len);
}

void vor_bigbox_DeleteSock(vor_bigbox* bb, int64_t sid) {
  auto use = admit(bb);
  if (!use || sid <= 0) return;
  {
    std::unique_lock<std::mutex> held;
    Slave* sl = nullptr;
    if (Conn* c = find_locked(bb, sid, &held, &sl)) {
      release_conn(bb, sl, c);
      vor_box_DeleteSock(sl->box, sid);
      return;
    }
  }
  std::lock_guard<std::mutex> guard(bb->listen_lock);
  bb->listeners.erase(sid);
  // A listener, or a socket no slave holds (a failed accept): closed while its generation is
  // live; a sid already closed is ignored, so its descriptor's new owner is never touched.
  vor_box_DeleteSock(bb->master, sid);
}

vor_box* vor_bigbox_GetSlaveBox(vor_bigbox* bb, int64_t sid) {
  auto use = admit(bb);
  std::unique_lock<std::mutex> held;
  Slave* sl = nullptr;
  return use && find_locked(bb, sid, &held, &sl) ? sl->box : nullptr;
}

vor_box* vor_bigbox_GetMasterBox(vor_bigbox* bb) {
  auto use = admit(bb);
  return use ? bb->master : nullptr;
}

vor_box* vor_bigbox_InvokeSlaveBox(vor_bigbox* bb) {
  const ThreadContext& t = t_context;
  if (!bb || t.bb != bb || !t.slave || bb->dead.load()) return nullptr;
  return t.slave->box;
}

int64_t vor_bigbox_InvokeClientID(vor_bigbox* bb) {
  vor_box* box = vor_bigbox_InvokeSlaveBox(bb);
  return box ? vor_box_GetThisSockId(box) : 0;
}

bool vor_bigbox_GetSockIP(vor_bigbox* bb, int64_t sid, char* buf, int32_t len, uint16_t* port) {
  auto use = admit(bb);
  std::unique_lock<std::mutex> held;
  Slave* sl = nullptr;
  Conn* c = use ? find_locked(bb, sid, &held, &sl) : nullptr;
  if (!c) return false;
  // len is the buffer's size: at most len - 1 characters and the NUL.
  if (buf && len > 0) cu_strncpy(buf, c->ip, len - 1);
  if (port) *port = c->port;
  return true;
}

int32_t vor_bigbox_nnodes(vor_bigbox* bb) {
  auto use = admit(bb);
  return use ? bb->count.load() : 0;
}

int32_t vor_bigbox_maxnodes(vor_bigbox* bb) {
  auto use = admit(bb);
  return use ? bb->limit : 0;
}
