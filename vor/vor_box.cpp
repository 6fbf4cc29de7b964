#include "vor_box.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>

#include <atomic>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <new>

#include "cu_box_internal.h"
#include "cu_malloc.h"
#include "cu_sock_internal.h"
#include "cu_util.h"
#include "vor_box_internal.h"
#include "vor_kit.h"
#include "vor_sem_guard.h"
#include "vor_sid.h"

namespace {

constexpr char kUnit[] = "vor\\vor_box";
constexpr int32_t kThreadBoxStack = 524288;
// In-events run in one drain before the loop serves its sockets again; the rest wait a pass.
constexpr int kDrainMax = 65536;

struct InEvent {
  vor_box_inevent_fn fn;
  vor_box_inevent_fn release;  // gets the arguments back when the in-event is dropped; may be NULL
  char* text;
  void* a[8];
};

void call(vor_box_inevent_fn fn, vor_box* vb, const char* text, void* const* a) {
  if (fn) fn(vb, text, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
}

}  // namespace

struct vor_box {
  cu_sem lock;  // this box's lock; also the lock of its cu_box
  cu_box* box = nullptr;
  uint32_t owner = 0;
  std::atomic<bool> looping{false};
  std::deque<InEvent> inevents;
  std::atomic<int64_t> queued{0};
};

namespace {

// Live boxes. Lock order: the set, then a box's lock; never the reverse, and the set is never
// taken while a box lock is held.
vor::LiveSet<vor_box>& live_boxes() {
  static auto* boxes = new vor::LiveSet<vor_box>;  // never destroyed: boxes may outlive static destructors
  return *boxes;
}

// A live box's lock for the length of one operation; not held for a box that is gone.
vor::SemLock hold(vor_box* vb) {
  auto live = live_boxes().hold(vb);
  return vor::SemLock(live ? &vb->lock : nullptr);
}

void free_text(char* text) {
  if (text) _cu_free(text, kUnit, __LINE__);
}

void drain_inevents(void* arg) {
  auto* vb = static_cast<vor_box*>(arg);
  for (int ran = 0; ran < kDrainMax; ++ran) {
    if (vb->queued.load(std::memory_order_acquire) == 0) return;
    cu_sem_lock(&vb->lock);
    if (vb->inevents.empty()) {
      cu_sem_unlock(&vb->lock);
      return;
    }
    InEvent ev = vb->inevents.front();
    vb->inevents.pop_front();
    vb->queued.fetch_sub(1, std::memory_order_relaxed);
    cu_sem_unlock(&vb->lock);
    call(ev.fn, vb, ev.text, ev.a);
    free_text(ev.text);
  }
  if (vb->queued.load() > 0) cu_box_wake(vb->box);
}

// Unregisters, waits out any caller that found the box a moment earlier, then frees it; queued
// in-events are dropped without running (and released, when they own their arguments).
void free_box(vor_box* vb) {
  if (!live_boxes().remove(vb)) return;
  cu_sem_lock(&vb->lock);
  cu_sem_unlock(&vb->lock);
  for (InEvent& ev : vb->inevents) {
    call(ev.release, vb, ev.text, ev.a);
    free_text(ev.text);
  }
  vb->inevents.clear();
  cu_box_free(vb->box);
  cu_sem_destroy(&vb->lock);
  delete vb;
}

// Queues ev with its own copy of text; false (nothing kept) for an invalid box or no memory.
bool queue_inevent(vor_box* vb, const char* text, InEvent ev) {
  if (!vb) return false;
  if (text) {
    size_t n = strlen(text);
    ev.text = static_cast<char*>(_cu_malloc(n + 1, kUnit, __LINE__));
    if (!ev.text) return false;
    memcpy(ev.text, text, n + 1);
  }
  vor::SemLock held = hold(vb);
  if (!held) {
    free_text(ev.text);
    return false;
  }
  try {
    vb->inevents.push_back(ev);
  } catch (const std::bad_alloc&) {
    held.unlock();
    free_text(ev.text);
    return false;
  }
  vb->queued.fetch_add(1, std::memory_order_release);
  // Even from the owner thread: the in-event runs in the loop's drain, never inside this call.
  cu_box_wake(vb->box);
  return true;
}

struct ThreadBoxStart {
  std::promise<vor_box*> made;
};

// The start record is shared: the creator may return while set_value is still finishing.
void threadbox_main(void* arg) {
  auto* start = static_cast<std::shared_ptr<ThreadBoxStart>*>(arg);
  vor_box* vb = vor_box_new();
  (*start)->made.set_value(vb);
  delete start;
  if (vb) vor_box_loop(vb);
}

}  // namespace

void vor_box__xmem_init(void) { live_boxes(); }

vor_box* vor_box_new(void) {
  auto* vb = new (std::nothrow) vor_box;
  if (!vb) return nullptr;
  cu_sem_init(&vb->lock);
  vb->box = cu_box_mallocx(&vb->lock);
  if (!vb->box) {
    cu_sem_destroy(&vb->lock);
    delete vb;
    return nullptr;
  }
  cu_box_SetUserCallbackHandle(vb->box, vb);
  // The loop lives until it is broken, even with nothing registered: a timer or socket may
  // come later from another thread.
  cu_box_set_keep_alive(vb->box, true);
  cu_box_set_pass_hook(vb->box, drain_inevents, vb);
  vb->owner = cu_GetThisThreadId();
  if (!live_boxes().add(vb)) {
    cu_box_free(vb->box);
    cu_sem_destroy(&vb->lock);
    delete vb;
    return nullptr;
  }
  return vb;
}

void vor_box_loop(vor_box* vb) {
  {
    vor::SemLock held = hold(vb);
    if (!held || vb->looping.exchange(true)) return;
  }
  cu_box_StartLoop(vb->box);
  vb->looping.store(false);
  free_box(vb);
}

void vor_box_free(vor_box* vb) {
  vor::SemLock held = hold(vb);
  if (!held) return;
  // Inside its own loop (a callback freeing its box) or from another thread: break only; the
  // loop's end frees the box.
  if (vb->looping.load() || vb->owner != cu_GetThisThreadId()) {
    cu_box_BreakLoop(vb->box);
    return;
  }
  held.unlock();
  free_box(vb);
}

void vor_box_BreakLoop(vor_box* vb) {
  vor::SemLock held = hold(vb);
  if (held) cu_box_BreakLoop(vb->box);
}

int64_t vor_box_NewTcpClient(vor_box* vb, const char* host, uint16_t port, cu_box_sock_fn on_connected,
                             void* ud_connected, cu_box_sock_fn on_failed, void* ud_failed, cu_box_read_fn on_read,
                             void* ud_read, cu_box_sock_fn on_close, void* ud_close) {
  if (!vorx_box_IsValid(vb)) return -1;
  cu_client* client = nullptr;  // resolved and connecting before any lock is taken
  if (cu_box_sock_AddLocalTcpClient_STEP1(host, port, &client) <= 0) return -1;
  vor::SemLock held = hold(vb);
  if (!held) {
    return cu_box_sock_AddLocalTcpClient_STEP2(nullptr, client, nullptr, nullptr, nullptr, nullptr, nullptr,
                                               nullptr, nullptr, nullptr);
  }
  return cu_box_sock_AddLocalTcpClient_STEP2(vb->box, client, on_connected, ud_connected, on_failed, ud_failed,
                                             on_read, ud_read, on_close, ud_close);
}

int64_t vor_box_NewTcpClient_STEP2(vor_box* vb, cu_client* client, cu_box_sock_fn on_connected, void* ud_connected,
                                   cu_box_sock_fn on_failed, void* ud_failed, cu_box_read_fn on_read, void* ud_read,
                                   cu_box_sock_fn on_close, void* ud_close) {
  if (!vb) {
    if (client) cu_box_sock_AddLocalTcpClient_STEP2(nullptr, client, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                    nullptr, nullptr, nullptr);
    return 0;
  }
  if (!client) return 0;
  vor::SemLock held = hold(vb);
  if (!held) return -1;
  return cu_box_sock_AddLocalTcpClient_STEP2(vb->box, client, on_connected, ud_connected, on_failed, ud_failed,
                                             on_read, ud_read, on_close, ud_close);
}

int64_t vor_box_NewTcpClient_STEP1(const char* host, uint16_t port, cu_client** client) {
  return cu_box_sock_AddLocalTcpClient_STEP1(host, port, client);
}

int64_t vor_box_NewTcpClient_STEP1_ext(const char* local_ip, uint16_t local_port, const char* host, uint16_t port,
                                       cu_client** client) {
  return cu_box_sock_AddLocalTcpClient_STEP1_ext(local_ip, local_port, host, port, client);
}

int64_t vor_box_NewUdpClient_ext(vor_box* vb, const char* local_ip, uint16_t local_port, const char* host,
                                 uint16_t port, cu_box_datagram_fn on_datagram, void* ud) {
  // The name is resolved here, before the box lock is taken.
  char ip[16];
  if (!vorx_box_IsValid(vb) || !cu_sock_GetHostFirstIP(host, ip)) return -1;
  vor::SemLock held = hold(vb);
  if (!held) return -1;
  return cu_box_sock_AddLocalUdpClient_ext(vb->box, local_ip, local_port, ip, port, on_datagram, ud);
}

int64_t vor_box_NewUdpClient(vor_box* vb, const char* host, uint16_t port, cu_box_datagram_fn on_datagram, void* ud) {
  return vor_box_NewUdpClient_ext(vb, nullptr, 0, host, port, on_datagram, ud);
}

int64_t vor_box_NewTcpServer(vor_box* vb, const char* local_ip, uint16_t port, cu_box_accept_fn on_accept, void* ud) {
  vor::SemLock held = hold(vb);
  return held ? cu_box_sock_AddLocalTcpServer(vb->box, local_ip, port, on_accept, ud) : -1;
}

int64_t vor_box_NewUdpServer(vor_box* vb, const char* local_ip, uint16_t port, cu_box_datagram_fn on_datagram,
                             void* ud) {
  vor::SemLock held = hold(vb);
  return held ? cu_box_sock_AddLocalUdpServer(vb->box, local_ip, port, on_datagram, ud) : -1;
}

int64_t vor_box_AcceptTcpClient(vor_box* vb, int64_t sid, cu_box_read_fn on_read, void* ud_read,
                                cu_box_sock_fn on_close, void* ud_close) {
  vor::SemLock held = hold(vb);
  return held ? cu_box_sock_AddRemoteTcpClient(vb->box, sid, on_read, ud_read, on_close, ud_close) : -1;
}

void vor_box_DeleteSock(vor_box* vb, int64_t sid) {
  vor::SemLock held = hold(vb);
  if (held) cu_box_sock_Delete(vb->box, sid);
}

void vorx_box_SetMaxReadLen(vor_box* vb, int64_t sid, int32_t n) {
  vor::SemLock held = hold(vb);
  if (held) cu_box_sock_SetMaxReadLen(vb->box, sid, n);
}

bool vorx_box_ImportSockId_ForRead(vor_box* vb, int64_t sid, cu_box_import_fn fn, void* ud) {
  vor::SemLock held = hold(vb);
  return held && cu_box_sock_ImportSocketId_ForRead(vb->box, sid, fn, ud);
}
bool vorx_box_ImportSockId_ForWrite(vor_box* vb, int64_t sid, cu_box_import_fn fn, void* ud) {
  vor::SemLock held = hold(vb);
  return held && cu_box_sock_ImportSocketId_ForWrite(vb->box, sid, fn, ud);
}
bool vorx_box_ImportSockId_ForExcept(vor_box* vb, int64_t sid, cu_box_import_fn fn, void* ud) {
  vor::SemLock held = hold(vb);
  return held && cu_box_sock_ImportSocketId_ForExcept(vb->box, sid, fn, ud);
}
bool vorx_box_ExportSockId_ForRead(vor_box* vb, int64_t sid) {
  vor::SemLock held = hold(vb);
  return held && cu_box_sock_ExportSocketId_ForRead(vb->box, sid);
}
bool vorx_box_ExportSockId_ForWrite(vor_box* vb, int64_t sid) {
  vor::SemLock held = hold(vb);
  return held && cu_box_sock_ExportSocketId_ForWrite(vb->box, sid);
}
bool vorx_box_ExportSockId_ForExcept(vor_box* vb, int64_t sid) {
  vor::SemLock held = hold(vb);
  return held && cu_box_sock_ExportSocketId_ForExcept(vb->box, sid);
}
bool vorx_box_ExportSockId(vor_box* vb, int64_t sid) {
  vor::SemLock held = hold(vb);
  return held && cu_box_sock_ExportSocketId(vb->box, sid);
}

int32_t vor_box_NewOnceTimer(vor_box* vb, uint32_t ms, cu_box_timer_fn fn, void* ud) {
  vor::SemLock held = hold(vb);
  return held ? cu_box_timer_AddOnceTimer(vb->box, ms, fn, ud) : -1;
}
int32_t vor_box_NewLoopTimer(vor_box* vb, uint32_t ms, cu_box_timer_fn fn, void* ud) {
  vor::SemLock held = hold(vb);
  return held ? cu_box_timer_AddLoopTimer(vb->box, ms, fn, ud) : -1;
}
int32_t vor_box_NewLimitTimer(vor_box* vb, int32_t count, uint32_t ms, cu_box_timer_fn fn, void* ud) {
  vor::SemLock held = hold(vb);
  return held ? cu_box_timer_AddLimitTimer(vb->box, count, ms, fn, ud) : -1;
}
bool vor_box_RefreshTimeout(vor_box* vb, int32_t id, uint32_t ms) {
  vor::SemLock held = hold(vb);
  return held && cu_box_timer_RefreshTimeout(vb->box, id, ms);
}
bool vor_box_RefreshCallback(vor_box* vb, int32_t id, cu_box_timer_fn fn, void* ud) {
  vor::SemLock held = hold(vb);
  return held && cu_box_timer_RefreshCallback(vb->box, id, fn, ud);
}
void vor_box_DeleteTimer(vor_box* vb, int32_t id) {
  vor::SemLock held = hold(vb);
  if (held) cu_box_timer_Delete(vb->box, id);
}

bool vor::box::add_inevent_with_release(vor_box* vb, const char* text, vor_box_inevent_fn fn,
                                        vor_box_inevent_fn release, void* a1, void* a2, void* a3, void* a4, void* a5,
                                        void* a6, void* a7, void* a8) {
  InEvent ev{fn, release, nullptr, {a1, a2, a3, a4, a5, a6, a7, a8}};
  if (queue_inevent(vb, text, ev)) return true;
  call(release, vb, text, ev.a);
  return false;
}

bool vor_box_AddInEvent(vor_box* vb, const char* text, vor_box_inevent_fn fn, void* a1, void* a2, void* a3, void* a4,
                        void* a5, void* a6, void* a7, void* a8) {
  return vor::box::add_inevent_with_release(vb, text, fn, nullptr, a1, a2, a3, a4, a5, a6, a7, a8);
}

int32_t vor_box_TcpWrite(vor_box* vb, int64_t sid, const void* data, int32_t len) {
  vor::SemLock held = hold(vb);
  return held ? cu_box_sock_TcpWrite(nullptr, sid, data, len) : -1;
}

int32_t vor_box_UdpWrite(vor_box* vb, int64_t sid, const void* data, int32_t len, const char* ip, uint16_t port) {
  vor::SemLock held = hold(vb);
  return held ? cu_sock_write_ByPeerIp(sid, data, len, ip, port) : -1;
}

int32_t vor_box_GetNumSock(vor_box* vb) {
  vor::SemLock held = hold(vb);
  return held ? cu_box_sock_GetNumSock(vb->box) : -1;
}
int32_t vor_box_GetNumTimer(vor_box* vb) {
  vor::SemLock held = hold(vb);
  return held ? cu_box_timer_GetNumTimer(vb->box) : -1;
}
int64_t vor_box_GetThisSockId(vor_box* vb) {
  vor::SemLock held = hold(vb);
  return held ? cu_box_sock_GetThisId(vb->box) : -1;
}
int32_t vor_box_GetThisTimerId(vor_box* vb) {
  vor::SemLock held = hold(vb);
  return held ? cu_box_timer_GetThisId(vb->box) : -1;
}
bool vor_box_IsSockExist(vor_box* vb, int64_t sid) {
  vor::SemLock held = hold(vb);
  return held && cu_box_sock_IsExist(vb->box, sid);
}
bool vor_box_IsTimerExist(vor_box* vb, int32_t id) {
  vor::SemLock held = hold(vb);
  return held && cu_box_timer_IsExist(vb->box, id);
}
int64_t vorx_box_GetThreadId(vor_box* vb) {
  vor::SemLock held = hold(vb);
  return held ? static_cast<int64_t>(vb->owner) : -1;
}

bool vorx_box_IsValid(vor_box* vb) {
  return live_boxes().contains(vb);
}

int32_t vorx_box_TcpRead(void*, int64_t sid, void* buf, int32_t size) {
  return vor::sock::recv_stream(sid, static_cast<char*>(buf), size);
}

int32_t vorx_box_UdpRead(void*, int64_t sid, void* buf, int32_t size, cu_peer_addr* peer) {
  return cu_sock_read_ByAddr(sid, buf, size, peer);
}

int32_t vorx_box_TcpWrite(void* ignored, int64_t sid, const void* data, int32_t len) {
  return cu_box_sock_TcpWrite(ignored, sid, data, len);
}

int32_t vorx_box_UdpWrite(void* ignored, int64_t sid, const void* data, int32_t len, const char* ip, uint16_t port) {
  return cu_box_sock_UdpWriteByIp(ignored, sid, data, len, ip, port);
}

vor_box* vorx_ThreadBox_create(void) {
  std::shared_ptr<ThreadBoxStart> start;
  std::shared_ptr<ThreadBoxStart>* arg = nullptr;
  try {
    start = std::make_shared<ThreadBoxStart>();
    arg = new std::shared_ptr<ThreadBoxStart>(start);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  std::future<vor_box*> made = start->made.get_future();
  uint32_t tid = 0;
  if (!cu_CreateThread(&tid, kThreadBoxStack, threadbox_main, arg)) {
    delete arg;
    fputs("error: vorx_ThreadBox_create()->CreateThread() error!\n", stderr);
    return nullptr;
  }
  return made.get();
}

void vorx_ThreadBox_destroy(vor_box* vb) { vor_box_BreakLoop(vb); }
