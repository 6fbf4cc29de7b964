#include "cu_event.h"

#include <cerrno>
#include <sys/eventfd.h>
#include <unistd.h>

#include "vor_fd.h"
#include "vor_sid.h"

namespace cu_event {
namespace {
constexpr uint32_t kEpollBits[3] = {EPOLLIN, EPOLLOUT, EPOLLPRI};

uint32_t interest(uint32_t kinds) {
  uint32_t bits = 0;
  for (int k = 0; k < 3; ++k)
    if (kinds & (1u << k)) bits |= kEpollBits[k];
  return bits;
}
}  // namespace

int32_t error_kind(uint32_t kinds) {
  for (int k = 0; k < 3; ++k)
    if (kinds & (1u << k)) return k;
  return -1;
}

uint32_t ready_bits(int32_t kind) { return kEpollBits[kind]; }

EventBase::~EventBase() {
  if (epfd_ >= 0) close(epfd_);
  if (wakefd_ >= 0) close(wakefd_);
}

bool EventBase::open() {
  epfd_ = vor::fd_above_stdio(epoll_create1(EPOLL_CLOEXEC));
  wakefd_ = vor::fd_above_stdio(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (epfd_ < 0 || wakefd_ < 0) return false;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeTag;
  return epoll_ctl(epfd_, EPOLL_CTL_ADD, wakefd_, &ev) == 0;
}

bool EventBase::apply(int fd, int64_t sid, uint32_t old_kinds, uint32_t new_kinds) {
  epoll_event ev{};
  ev.events = interest(new_kinds);
  ev.data.u64 = static_cast<uint64_t>(sid);
  if (new_kinds == 0) return epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, &ev) == 0 || errno == ENOENT || errno == EBADF;
  if (old_kinds != 0 && epoll_ctl(epfd_, EPOLL_CTL_MOD, fd, &ev) == 0) return true;
  if (epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) == 0) return true;
  // Still in the set under an earlier registration (a descriptor closed outside the box and
  // reused): take it over for this sid.
  return errno == EEXIST && epoll_ctl(epfd_, EPOLL_CTL_MOD, fd, &ev) == 0;
}

bool EventBase::add(int32_t kind, int64_t sid, SockFn fn, void* user_data) {
  if (kind < kRead || kind > kExcept || !fn || sid <= 0 || !vor::sid_current(sid)) return false;
  int fd = vor::sid_fd(sid);
  auto it = regs_.find(fd);
  uint32_t old_kinds = 0;
  if (it != regs_.end() && it->second.sid == sid) old_kinds = it->second.kinds;
  uint32_t new_kinds = old_kinds | (1u << kind);
  if (new_kinds != old_kinds && !apply(fd, sid, old_kinds, new_kinds)) return false;
  if (it == regs_.end()) {
    it = regs_.emplace(fd, Registration{}).first;
  } else if (it->second.sid != sid) {
    it->second = Registration{};  // the registration of a descriptor closed outside the box
  }
  Registration& r = it->second;
  r.sid = sid;
  r.kinds = new_kinds;
  r.fn[kind] = fn;
  r.user_data[kind] = user_data;
  return true;
}

void EventBase::del(int32_t kind, int64_t sid) {
  Registration* r = find(sid);
  if (!r || kind < kRead || kind > kExcept || !(r->kinds & (1u << kind))) return;
  uint32_t new_kinds = r->kinds & ~(1u << kind);
  int fd = vor::sid_fd(sid);
  if (vor::sid_current(sid)) apply(fd, sid, r->kinds, new_kinds);
  if (new_kinds == 0) {
    regs_.erase(fd);
    return;
  }
  r->kinds = new_kinds;
  r->fn[kind] = nullptr;
  r->user_data[kind] = nullptr;
}

void EventBase::del_all(int64_t sid) {
  Registration* r = find(sid);
  if (!r) return;
  int fd = vor::sid_fd(sid);
  if (vor::sid_current(sid)) apply(fd, sid, r->kinds, 0);
  regs_.erase(fd);
}

Registration* EventBase::find(int64_t sid) {
  if (sid <= 0) return nullptr;
  auto it = regs_.find(vor::sid_fd(sid));
  return it != regs_.end() && it->second.sid == sid ? &it->second : nullptr;
}

bool EventBase::has(int64_t sid, int32_t kind) const {
  if (sid <= 0) return false;
  auto it = regs_.find(vor::sid_fd(sid));
  return it != regs_.end() && it->second.sid == sid && (it->second.kinds & (1u << kind));
}

void EventBase::clear() {
  for (auto& [fd, r] : regs_)
    if (vor::sid_current(r.sid)) apply(fd, r.sid, r.kinds, 0);
  regs_.clear();
}

int EventBase::wait(epoll_event* events, int max, int timeout_ms) {
  return epoll_wait(epfd_, events, max, timeout_ms);
}

void EventBase::wake() {
  if (wake_pending_.exchange(true, std::memory_order_seq_cst)) return;
  uint64_t one = 1;
  ssize_t rc = write(wakefd_, &one, sizeof one);
  (void)rc;  // EAGAIN means the counter is full: the loop wakes anyway
}

void EventBase::consume_wake() {
  // Read first, then clear: a wake that set the flag after the read writes again, and one that
  // found the flag still set came before the loop looks at queued work.
  uint64_t value;
  ssize_t rc = read(wakefd_, &value, sizeof value);
  (void)rc;
  wake_pending_.store(false, std::memory_order_seq_cst);
}

}  // namespace cu_event
