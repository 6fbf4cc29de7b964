// Timer semantics: the ordered list on an explicit clock, then the box firing timers.
#include "cu_timer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cu_box.h"
#include "vor_sid.h"

namespace {

using cu_timer::TimerList;
using Fired = std::vector<std::pair<int32_t, int32_t>>;  // id, count

// One pass of the loop: every timer due at now fires once.
Fired pass(TimerList& list, int64_t now) {
  std::vector<int32_t> due;
  list.due_ids(now, &due);
  Fired fired;
  for (int32_t id : due) {
    cu_timer::Timer t;
    if (list.fire(id, now, &t)) fired.emplace_back(id, t.count);
  }
  return fired;
}

struct Step {
  enum Op { kAdd, kRefresh, kDelete, kPass } op;
  int32_t id;
  int32_t kind;       // kAdd
  uint32_t ms;        // kAdd interval, kRefresh amount
  int32_t limit;      // kAdd
  int64_t now;        // kAdd, kPass
  Fired expect;       // kPass
};

struct TimerCase {
  const char* name;
  std::vector<Step> steps;
};

const Step Add(int32_t id, int32_t kind, uint32_t ms, int32_t limit, int64_t now) {
  return {Step::kAdd, id, kind, ms, limit, now, {}};
}
const Step Refresh(int32_t id, uint32_t ms) { return {Step::kRefresh, id, 0, ms, 0, 0, {}}; }
const Step Delete(int32_t id) { return {Step::kDelete, id, 0, 0, 0, 0, {}}; }
const Step Pass(int64_t now, Fired expect) { return {Step::kPass, 0, 0, 0, 0, now, std::move(expect)}; }

const std::vector<TimerCase> kCases = {
    {"EqualExpiriesFireNewestFirst",
     {Add(1, cu_timer::kOnce, 100, 1, 0), Add(2, cu_timer::kOnce, 100, 1, 0), Add(3, cu_timer::kOnce, 50, 1, 50),
      Pass(99, {}), Pass(100, {{3, 1}, {2, 1}, {1, 1}})}},
    {"RefreshAddsToCurrentExpiry",
     {Add(1, cu_timer::kOnce, 2000, 1, 0), Refresh(1, 5000), Pass(5000, {}), Pass(6999, {}), Pass(7000, {{1, 1}})}},
    {"OnceTimerStaysInertUntilDeleted",
     {Add(1, cu_timer::kOnce, 10, 1, 0), Pass(10, {{1, 1}}), Pass(1000000, {}), Refresh(1, 5), Pass(2000000, {}),
      Delete(1), Pass(3000000, {})}},
    {"LimitTimerCountsOneTwoThree",
     {Add(1, cu_timer::kLimit, 10, 3, 0), Pass(10, {{1, 1}}), Pass(20, {{1, 2}}), Pass(30, {{1, 3}}), Pass(40, {}),
      Pass(100000, {})}},
    {"LoopTimerCatchesUpOneFirePerPass",
     {Add(1, cu_timer::kLoop, 1000, 1, 0), Pass(3500, {{1, 1}}), Pass(3500, {{1, 2}}), Pass(3500, {{1, 3}}),
      Pass(3500, {}), Pass(4000, {{1, 4}}), Pass(4999, {}), Pass(5000, {{1, 5}})}},
    {"RefreshMovesAmongEqualsToFront",
     {Add(1, cu_timer::kOnce, 100, 1, 0), Add(2, cu_timer::kOnce, 50, 1, 0), Refresh(2, 50),
      Pass(100, {{2, 1}, {1, 1}})}},
    {"DeletedTimerNeverFires", {Add(1, cu_timer::kLoop, 10, 1, 0), Delete(1), Pass(100, {})}},
};

TEST(TimerList, Semantics) {
  for (const TimerCase& c : kCases) {
    SCOPED_TRACE(c.name);
    TimerList list;
    int step = 0;
    for (const Step& s : c.steps) {
      SCOPED_TRACE("step " + std::to_string(step++));
      switch (s.op) {
        case Step::kAdd:
          ASSERT_TRUE(list.add(s.id, s.kind, s.ms, s.limit, s.now, nullptr, nullptr));
          break;
        case Step::kRefresh:
          EXPECT_TRUE(list.refresh(s.id, s.ms));
          break;
        case Step::kDelete:
          EXPECT_TRUE(list.del(s.id));
          break;
        case Step::kPass:
          EXPECT_EQ(pass(list, s.now), s.expect);
          break;
      }
    }
  }
}

TEST(TimerList, RefusesBadArguments) {
  TimerList list;
  EXPECT_FALSE(list.add(0, cu_timer::kOnce, 10, 1, 0, nullptr, nullptr));
  EXPECT_FALSE(list.add(5, cu_timer::kOnce, 0, 1, 0, nullptr, nullptr));
  EXPECT_FALSE(list.add(5, cu_timer::kLimit, 10, 0, 0, nullptr, nullptr));
  EXPECT_TRUE(list.add(5, cu_timer::kOnce, 10, 1, 0, nullptr, nullptr));
  EXPECT_FALSE(list.add(5, cu_timer::kLoop, 10, 1, 0, nullptr, nullptr));
  EXPECT_FALSE(list.refresh(6, 10));
  EXPECT_FALSE(list.del(6));
  EXPECT_EQ(list.next_expiry(), 10);
}

// A draw past 2,147,483,647 answers -1 and the caller draws again.
TEST(TimerIds, DrawnFromTheDocumentedRange) {
  int refused = 0;
  for (int i = 0; i < 10000; ++i) {
    int32_t id = cu_timer::draw_id();
    if (id == -1) {
      ++refused;
      continue;
    }
    ASSERT_GE(id, 51200);
  }
  EXPECT_LT(refused, 10);
}

// Box-level timers on the real clock.
struct Counter {
  cu_box* box;
  int fired = 0;
  int32_t last_count = 0;
  int32_t this_id = 0;
};

void count_and_delete_self(void* handle, void* ud, int32_t id, int32_t count) {
  auto* c = static_cast<Counter*>(ud);
  ++c->fired;
  c->last_count = count;
  c->this_id = cu_box_timer_GetThisId(static_cast<cu_box*>(handle));
  EXPECT_EQ(c->this_id, id);
  cu_box_timer_Delete(static_cast<cu_box*>(handle), id);
}

TEST(BoxTimer, TimerDeletedInsideItsOwnCallbackFiresOnce) {
  cu_box* box = cu_box_malloc();
  ASSERT_NE(box, nullptr);
  Counter c{box};
  int32_t id = cu_box_timer_AddLoopTimer(box, 1, count_and_delete_self, &c);
  ASSERT_GT(id, 0);
  cu_box_StartLoop(box);  // ends once nothing is registered
  EXPECT_EQ(c.fired, 1);
  EXPECT_EQ(c.this_id, id);
  EXPECT_EQ(cu_box_timer_GetNumTimer(box), 0);
  EXPECT_EQ(cu_box_timer_GetThisId(box), -1);
  cu_box_free(box);
}

TEST(BoxTimer, ZeroMillisecondsAndBadCountsAnswerMinusOne) {
  cu_box* box = cu_box_malloc();
  ASSERT_NE(box, nullptr);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(cu_box_timer_AddOnceTimer(box, 0, count_and_delete_self, nullptr), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(cu_box_timer_AddLimitTimer(box, 0, 10, count_and_delete_self, nullptr), -1);
  int32_t id = cu_box_timer_AddOnceTimer(box, 1000, count_and_delete_self, nullptr);
  EXPECT_FALSE(cu_box_timer_RefreshTimeout(box, id, 0));
  EXPECT_TRUE(cu_box_timer_Refresh(box, id, 0, count_and_delete_self, nullptr));
  EXPECT_FALSE(cu_box_timer_RefreshCallback(box, id, nullptr, nullptr));
  EXPECT_FALSE(cu_box_timer_RefreshTimeout(box, id + 1, 10));
  EXPECT_TRUE(cu_box_timer_IsExist(box, id));
  EXPECT_FALSE(cu_box_timer_IsExist(box, 0));
  cu_box_free(box);
}

struct OnceState {
  int fired = 0;
  int32_t count = 0;
};

void note_once(void* handle, void* ud, int32_t, int32_t count) {
  auto* s = static_cast<OnceState*>(ud);
  ++s->fired;
  s->count = count;
  (void)handle;
}

void stop_box(void* handle, void*, int32_t, int32_t) { cu_box_BreakLoop(static_cast<cu_box*>(handle)); }

TEST(BoxTimer, OnceTimerFiresOnceAndStaysListed) {
  cu_box* box = cu_box_malloc();
  OnceState s;
  int32_t id = cu_box_timer_AddOnceTimer(box, 5, note_once, &s);
  cu_box_timer_AddOnceTimer(box, 60, stop_box, nullptr);
  cu_box_StartLoop(box);
  EXPECT_EQ(s.fired, 1);
  EXPECT_EQ(s.count, 1);
  EXPECT_TRUE(cu_box_timer_IsExist(box, id));
  EXPECT_EQ(cu_box_timer_GetNumTimer(box), 2);
  cu_box_free(box);
}

// A socket that is ready in every pass must not hold back a due timer.
struct Busy {
  cu_box* box;
  int64_t passes = 0;
  bool timer_fired = false;
};

void always_writable(void* ud) {
  auto* b = static_cast<Busy*>(ud);
  if (++b->passes > 5000000) cu_box_BreakLoop(b->box);  // bound: the timer never came
}

void busy_timer(void* handle, void* ud, int32_t, int32_t) {
  static_cast<Busy*>(ud)->timer_fired = true;
  cu_box_BreakLoop(static_cast<cu_box*>(handle));
}

TEST(BoxTimer, DueTimerFiresWhileASocketStaysBusy) {
  cu_box* box = cu_box_malloc();
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int64_t sid = vor::sid_make(fd);
  Busy b{box};
  ASSERT_TRUE(cu_box_sock_ImportSocketId_ForWrite(box, sid, always_writable, &b));
  ASSERT_GT(cu_box_timer_AddOnceTimer(box, 20, busy_timer, &b), 0);
  cu_box_StartLoop(box);
  EXPECT_TRUE(b.timer_fired);
  EXPECT_GT(b.passes, 0);
  cu_box_sock_Delete(box, sid);
  cu_box_free(box);
}

}  // namespace

namespace {

// The list against a plain model: random adds, deletes, refreshes and passes, compared after
// every step.
struct ModelTimer {
  int32_t kind;
  uint32_t interval;
  int32_t limit;
  int32_t count;
  int64_t expiry;
  uint64_t seq;
  bool armed;
};

struct Model {
  std::map<int32_t, ModelTimer> timers;
  uint64_t seq = 0;

  Fired pass(int64_t now) {
    std::vector<std::pair<std::pair<int64_t, uint64_t>, int32_t>> due;
    for (auto& [id, t] : timers)
      if (t.armed && t.expiry <= now) due.push_back({{t.expiry, ~t.seq}, id});
    std::sort(due.begin(), due.end());
    Fired fired;
    for (auto& d : due) {
      ModelTimer& t = timers[d.second];
      ++t.count;
      if (t.kind == cu_timer::kLoop || (t.kind == cu_timer::kLimit && t.count < t.limit)) {
        t.expiry += t.interval;
        t.seq = ++seq;
      } else {
        t.armed = false;
      }
      fired.emplace_back(d.second, t.count);
    }
    return fired;
  }
};

TEST(TimerList, MatchesAPlainModel) {
  const unsigned seed = 20261210;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  TimerList list;
  Model model;
  int64_t now = 0;
  int32_t next_id = 51200;
  for (int step = 0; step < 5000; ++step) {
    int op = static_cast<int>(rng() % 10);
    int32_t some = 51200 + static_cast<int32_t>(rng() % static_cast<uint32_t>(next_id - 51200 + 1));
    if (op < 3) {
      int32_t kind = static_cast<int32_t>(rng() % 3);
      uint32_t interval = 1 + rng() % 50;
      int32_t limit = kind == cu_timer::kLimit ? 1 + static_cast<int32_t>(rng() % 4) : 1;
      int32_t id = next_id++;
      ASSERT_TRUE(list.add(id, kind, interval, limit, now, nullptr, nullptr));
      model.timers[id] = {kind, interval, limit, 0, now + interval, ++model.seq, true};
    } else if (op < 5) {
      EXPECT_EQ(list.del(some), model.timers.erase(some) == 1);
    } else if (op < 7) {
      uint32_t ms = rng() % 30;
      bool known = model.timers.count(some) == 1;
      EXPECT_EQ(list.refresh(some, ms), known);
      if (known) {
        ModelTimer& t = model.timers[some];
        t.expiry += ms;
        if (t.armed) t.seq = ++model.seq;
      }
    } else {
      now += rng() % 20;
      ASSERT_EQ(pass(list, now), model.pass(now)) << "step " << step;
    }
    ASSERT_EQ(list.size(), static_cast<int32_t>(model.timers.size()));
  }
}

}  // namespace
