// cu_timer: a box's timers, ordered on (expiry, newest first among equal expiries) with an id
// table beside the order, so add, refresh and delete cost O(log n). Times are milliseconds of
// the monotonic clock. Internal to vorcore; the box keeps one list under its own lock.
#pragma once
#include "vor_internal.h"
#include <stdint.h>

#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

namespace cu_timer {

enum Kind : int32_t { kOnce = 0, kLoop = 1, kLimit = 2 };

// Milliseconds of CLOCK_MONOTONIC.
int64_t mono_ms();

// A draw of the process-wide id generator: 51,200 to 2,147,483,647.
int32_t draw_id();

struct Timer {
  int32_t id;
  int32_t kind;
  uint32_t interval;  // ms
  int32_t limit;      // firings allowed (1 for once and loop timers)
  int32_t count;      // firings so far, loop timers included
  int64_t expiry;     // ms of the list's clock
  uint64_t seq;       // order among equal expiries: the newest first
  bool armed;         // false once a once or limit timer has used its firings
  void* callback;
  void* user_data;
};

class TimerList {
 public:
  // False for id <= 0, limit <= 0, interval 0 or an id already held.
  bool add(int32_t id, int32_t kind, uint32_t interval_ms, int32_t limit, int64_t now, void* callback,
           void* user_data);
  bool del(int32_t id);
  // Moves the expiry ms later than the current one (not than now); false for an unknown id.
  bool refresh(int32_t id, uint32_t ms);
  Timer* find(int32_t id);
  // The earliest armed expiry; INT64_MAX when none.
  int64_t next_expiry() const;
  // Ids of the armed timers due at now, earliest first.
  void due_ids(int64_t now, std::vector<int32_t>* out) const;
  // Fires a due timer: its count grows, loop and limit timers move one interval on, spent
  // timers stay held but inert. False (nothing changed) when it is unknown, inert or not due.
  bool fire(int32_t id, int64_t now, Timer* fired);
  int32_t size() const { return static_cast<int32_t>(timers_.size()); }
  void clear();

 private:
  using Key = std::pair<int64_t, uint64_t>;  // expiry, ~seq
  void place(Timer& t);
  void unplace(const Timer& t);

  std::set<std::pair<Key, int32_t>> order_;
  std::unordered_map<int32_t, Timer> timers_;
  uint64_t seq_ = 0;
};

}  // namespace cu_timer
