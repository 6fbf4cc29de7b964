// cu_event: the dispatcher under every box. Each box has one level-triggered epoll instance
// and one eventfd that wakes its waiting loop. A descriptor's interest is the union of the kinds
// registered for it (read: EPOLLIN, write: EPOLLOUT, except: EPOLLPRI); every epoll event
// carries the registration's sid so that readiness reported for a closed connection is never
// handed to a new one that reuses its descriptor. Internal to vorcore; callers serialise
// access to the registry (the box lock), while the wait itself runs without it.
#pragma once
#include "vor_internal.h"
#include <stdint.h>
#include <sys/epoll.h>

#include <atomic>
#include <unordered_map>

namespace cu_event {

enum Kind : int32_t { kRead = 0, kWrite = 1, kExcept = 2 };
using SockFn = void (*)(void* user_data);

// The epoll data of the wake eventfd; sids are always greater than 0.
constexpr uint64_t kWakeTag = 0;

struct Registration {
  int64_t sid;
  uint32_t kinds;  // bit per Kind
  SockFn fn[3];
  void* user_data[3];
};

class EventBase {
 public:
  EventBase() = default;
  EventBase(const EventBase&) = delete;
  EventBase& operator=(const EventBase&) = delete;
  ~EventBase();

  // Makes the epoll instance and the eventfd; false when either cannot be had.
  bool open();
  // False for a sid <= 0, a stale sid, a NULL callback or a refused epoll_ctl; a registered
  // kind only takes the new callback.
  bool add(int32_t kind, int64_t sid, SockFn fn, void* user_data);
  // Drops one kind; nothing for a sid not registered (a stale sid never touches a new socket).
  void del(int32_t kind, int64_t sid);
  void del_all(int64_t sid);
  // The registration of this exact sid, NULL otherwise.
  Registration* find(int64_t sid);
  bool has(int64_t sid, int32_t kind) const;
  int32_t count() const { return static_cast<int32_t>(regs_.size()); }
  void clear();

  // epoll_wait; answers its result (errno kept).
  int wait(epoll_event* events, int max, int timeout_ms);
  // Wakes the waiting loop; one eventfd write however many wakes come before it is seen.
  void wake();
  // The loop saw the eventfd: clears it so that later wakes write again.
  void consume_wake();

 private:
  bool apply(int fd, int64_t sid, uint32_t old_kinds, uint32_t new_kinds);

  int epfd_ = -1;
  int wakefd_ = -1;
  std::atomic<bool> wake_pending_{false};
  std::unordered_map<int, Registration> regs_;  // by descriptor
};

// The kind that receives EPOLLERR/EPOLLHUP: read first, else write, else except; -1 for none.
int32_t error_kind(uint32_t kinds);
// The epoll bits that make a kind ready.
uint32_t ready_bits(int32_t kind);

}  // namespace cu_event
