#include "cu_timer.h"

#include <atomic>
#include <climits>
#include <ctime>

namespace cu_timer {
namespace {
std::atomic<uint32_t> g_id_state{1};
}  // namespace

int64_t mono_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int32_t draw_id() {
  uint32_t state = g_id_state.load(std::memory_order_relaxed);
  uint32_t next;
  do {
    uint32_t seed = state == 1 ? static_cast<uint32_t>(time(nullptr)) : state;
    next = seed * 214013u + 2531011u;
  } while (!g_id_state.compare_exchange_weak(state, next, std::memory_order_relaxed));
  int64_t id = static_cast<int64_t>(next & 0x7fffffffu) + 51200;
  return id > INT32_MAX ? -1 : static_cast<int32_t>(id);
}

void TimerList::place(Timer& t) {
  t.seq = ++seq_;
  order_.insert({{t.expiry, ~t.seq}, t.id});
}

void TimerList::unplace(const Timer& t) { order_.erase({{t.expiry, ~t.seq}, t.id}); }

bool TimerList::add(int32_t id, int32_t kind, uint32_t interval_ms, int32_t limit, int64_t now, void* callback,
                    void* user_data) {
  if (id <= 0 || limit <= 0 || interval_ms == 0 || kind < kOnce || kind > kLimit) return false;
  auto [it, inserted] = timers_.try_emplace(id);
  if (!inserted) return false;
  Timer& t = it->second;
  t = Timer{id, kind, interval_ms, limit, 0, now + interval_ms, 0, true, callback, user_data};
  place(t);
  return true;
}

bool TimerList::del(int32_t id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return false;
  if (it->second.armed) unplace(it->second);
  timers_.erase(it);
  return true;
}

bool TimerList::refresh(int32_t id, uint32_t ms) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return false;
  Timer& t = it->second;
  if (t.armed) unplace(t);
  t.expiry += ms;
  if (t.armed) place(t);
  return true;
}

Timer* TimerList::find(int32_t id) {
  auto it = timers_.find(id);
  return it == timers_.end() ? nullptr : &it->second;
}

int64_t TimerList::next_expiry() const { return order_.empty() ? INT64_MAX : order_.begin()->first.first; }

void TimerList::due_ids(int64_t now, std::vector<int32_t>* out) const {
  for (const auto& entry : order_) {
    if (entry.first.first > now) break;
    out->push_back(entry.second);
  }
}

bool TimerList::fire(int32_t id, int64_t now, Timer* fired) {
  Timer* t = find(id);
  if (!t || !t->armed || t->expiry > now) return false;
  unplace(*t);
  ++t->count;
  if (t->kind == kLoop || (t->kind == kLimit && t->count < t->limit)) {
    // From the previous expiry, so a timer that fell behind catches up one firing per pass.
    t->expiry += t->interval;
    place(*t);
  } else {
    t->armed = false;
  }
  *fired = *t;
  return true;
}

void TimerList::clear() {
  order_.clear();
  timers_.clear();
}

}  // namespace cu_timer
