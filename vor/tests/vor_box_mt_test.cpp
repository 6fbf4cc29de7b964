// Thread-owned boxes under foreign threads: in-events, timers and sockets added from other
// threads, and boxes freed while their owners dispatch.
#include "vor_box.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vor_box_internal.h"
#include "vor_net_test_util.h"
#include "vor_sid.h"
#include "vor_wait.h"

namespace {

using namespace std::chrono_literals;
using vor::test::wait_until;

void destroy_and_wait(vor_box* box) {
  vorx_ThreadBox_destroy(box);
  EXPECT_TRUE(wait_until([&] { return !vorx_box_IsValid(box); }));
}

// --- FIFO per poster, none lost ---------------------------------------------------------------
constexpr int kPosters = 8;
#ifdef VOR_TSAN
constexpr int kPerPoster = 20000;  // the same interleavings, at a pace TSan can follow
#else
constexpr int kPerPoster = 100000;
#endif

struct Fifo {
  std::vector<intptr_t> next;  // per poster, touched on the owner thread only
  std::atomic<int64_t> total{0};
  std::atomic<bool> out_of_order{false};
  std::thread::id owner_thread;
  std::atomic<bool> foreign_run{false};
  std::atomic<bool> owner_known{false};
};

void fifo_event(vor_box*, const char*, void* a1, void* a2, void* a3, void*, void*, void*, void*, void*) {
  auto* f = static_cast<Fifo*>(a1);
  auto poster = reinterpret_cast<intptr_t>(a2);
  auto seq = reinterpret_cast<intptr_t>(a3);
  if (std::this_thread::get_id() != f->owner_thread) f->foreign_run = true;
  if (f->next[static_cast<size_t>(poster)] != seq) f->out_of_order = true;
  f->next[static_cast<size_t>(poster)] = seq + 1;
  f->total.fetch_add(1);
}

void note_owner(vor_box*, const char*, void* a1, void*, void*, void*, void*, void*, void*, void*) {
  auto* f = static_cast<Fifo*>(a1);
  f->owner_thread = std::this_thread::get_id();
  f->owner_known = true;
}

TEST(ThreadBox, InEventsFromEightThreadsArriveInOrderPerPosterNoneLost) {
  vor_box* box = vorx_ThreadBox_create();
  ASSERT_NE(box, nullptr);
  Fifo f;
  f.next.assign(kPosters, 0);
  ASSERT_TRUE(vor_box_AddInEvent(box, nullptr, note_owner, &f, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr));
  ASSERT_TRUE(wait_until([&] { return f.owner_known.load(); }));
  std::vector<std::thread> posters;
  std::atomic<int> refused{0};
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (intptr_t i = 0; i < kPerPoster; ++i) {
        if (!vor_box_AddInEvent(box, nullptr, fifo_event, &f, reinterpret_cast<void*>(static_cast<intptr_t>(p)),
                                reinterpret_cast<void*>(i), nullptr, nullptr, nullptr, nullptr, nullptr))
          refused.fetch_add(1);
      }
    });
  }
  for (auto& t : posters) t.join();
  EXPECT_TRUE(wait_until([&] { return f.total.load() == int64_t{kPosters} * kPerPoster; }, 60s));
  EXPECT_EQ(refused.load(), 0);
  EXPECT_FALSE(f.out_of_order.load());
  EXPECT_FALSE(f.foreign_run.load());
  destroy_and_wait(box);
}

// --- no wake-up lost between a post and the loop's wait ---------------------------------------------
void ping(vor_box*, const char*, void* a1, void*, void*, void*, void*, void*, void*, void*) {
  static_cast<std::atomic<int>*>(a1)->fetch_add(1);
}

TEST(ThreadBox, EveryPostWakesAnIdleOwner) {
  vor_box* box = vorx_ThreadBox_create();
  ASSERT_NE(box, nullptr);
  std::atomic<int> ran{0};
  for (int i = 1; i <= 3000; ++i) {
    ASSERT_TRUE(vor_box_AddInEvent(box, nullptr, ping, &ran, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr));
    auto end = std::chrono::steady_clock::now() + 5s;
    while (ran.load() != i && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    ASSERT_EQ(ran.load(), i) << "post " << i << " never ran";
  }
  destroy_and_wait(box);
}

// --- text copies, NULL stays NULL, posted-during-drain runs in the same drain ----------------------
struct Drain {
  vor_box* box = nullptr;
  std::mutex m;
  std::vector<std::string> texts;
  bool inside_add = false;
  int passes = 0;        // counted by an always-writable socket: one per pass
  int pass_of_first = -1;
  int pass_of_second = -1;
  std::atomic<int> done{0};
};

void count_pass(void* ud) { ++static_cast<Drain*>(ud)->passes; }

void second_event(vor_box*, const char* text, void* a1, void*, void*, void*, void*, void*, void*, void*) {
  auto* d = static_cast<Drain*>(a1);
  EXPECT_FALSE(d->inside_add);
  EXPECT_EQ(text, nullptr);
  d->pass_of_second = d->passes;
  d->done.fetch_add(1);
}

void first_event(vor_box* box, const char* text, void* a1, void*, void*, void*, void*, void*, void*, void*) {
  auto* d = static_cast<Drain*>(a1);
  {
    std::lock_guard<std::mutex> g(d->m);
    d->texts.emplace_back(text ? text : "(null)");
  }
  d->pass_of_first = d->passes;
  d->inside_add = true;
  EXPECT_TRUE(vor_box_AddInEvent(box, nullptr, second_event, d, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr));
  d->inside_add = false;
}

TEST(ThreadBox, InEventTextIsCopiedAndOneQueuedDuringTheDrainRunsInTheSameDrain) {
  vor_box* box = vorx_ThreadBox_create();
  ASSERT_NE(box, nullptr);
  Drain d;
  d.box = box;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int64_t sid = vor::sid_make(fd);
  ASSERT_TRUE(vorx_box_ImportSockId_ForWrite(box, sid, count_pass, &d));
  char text[] = "copied text";
  ASSERT_TRUE(vor_box_AddInEvent(box, text, first_event, &d, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr));
  memset(text, 'X', sizeof text - 1);  // the box holds its own copy
  ASSERT_TRUE(wait_until([&] { return d.done.load() == 1; }));
  vor_box_DeleteSock(box, sid);
  destroy_and_wait(box);
  ASSERT_EQ(d.texts.size(), 1u);
  EXPECT_EQ(d.texts[0], "copied text");
  EXPECT_EQ(d.pass_of_first, d.pass_of_second);
}

// --- dropped on free; owner-free outside the loop ------------------------------------------------
void must_not_run(vor_box*, const char*, void*, void*, void*, void*, void*, void*, void*, void*) {
  ADD_FAILURE() << "an in-event of a freed box ran";
}

TEST(ThreadBox, InEventsQueuedAtFreeAreDroppedAndLaterCallsFail) {
  vor_box* box = vor_box_new();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(vor_box_GetNumSock(box), 0);
  EXPECT_EQ(vor_box_GetNumTimer(box), 0);
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(vor_box_AddInEvent(box, "text", must_not_run, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr));
  vor_box_free(box);  // the owner, outside its loop: freed at once
  EXPECT_FALSE(vorx_box_IsValid(box));
  EXPECT_FALSE(vor_box_AddInEvent(box, nullptr, must_not_run, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr));
  EXPECT_EQ(vor_box_GetNumSock(box), -1);
  EXPECT_EQ(vor_box_NewOnceTimer(box, 10, nullptr, nullptr), -1);
  EXPECT_FALSE(vor_box_RefreshTimeout(box, 51200, 10));
  EXPECT_EQ(vorx_box_GetThreadId(box), -1);
  vor_box_free(box);  // harmless
}

// --- in-events that own their arguments: run or released, exactly once ------------------------------
// One slot per posted in-event; each must end with exactly one run or one release.
struct Owned {
  explicit Owned(size_t n) : ran(n), released(n) {}
  std::vector<std::atomic<int>> ran;
  std::vector<std::atomic<int>> released;
  std::mutex m;
  std::vector<std::string> released_texts;
};

void owned_run(vor_box*, const char*, void* a1, void* a2, void*, void*, void*, void*, void*, void*) {
  static_cast<Owned*>(a1)->ran[reinterpret_cast<size_t>(a2)].fetch_add(1);
}

void owned_release(vor_box*, const char* text, void* a1, void* a2, void*, void*, void*, void*, void*, void*) {
  auto* o = static_cast<Owned*>(a1);
  {
    std::lock_guard<std::mutex> g(o->m);
    o->released_texts.emplace_back(text ? text : "(null)");
  }
  o->released[reinterpret_cast<size_t>(a2)].fetch_add(1);  // last: a waiter may then end o's life
}

bool post_owned(vor_box* box, const char* text, Owned* o, size_t slot, vor_box_inevent_fn fn = owned_run) {
  return vor::box::add_inevent_with_release(box, text, fn, owned_release, o, reinterpret_cast<void*>(slot), nullptr,
                                            nullptr, nullptr, nullptr, nullptr, nullptr);
}

TEST(ThreadBox, OwnedInEventsDroppedByAFreeAreReleasedOnceAndNeverRun) {
  vor_box* box = vor_box_new();
  ASSERT_NE(box, nullptr);
  Owned o(3);
  ASSERT_TRUE(post_owned(box, "first", &o, 0));
  ASSERT_TRUE(post_owned(box, nullptr, &o, 1));
  ASSERT_TRUE(vor_box_AddInEvent(box, nullptr, must_not_run, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr));  // without a release: dropped as before
  ASSERT_TRUE(post_owned(box, "third", &o, 2));
  vor_box_free(box);  // the owner, outside its loop: freed at once, queue dropped
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(o.ran[i].load(), 0) << i;
    EXPECT_EQ(o.released[i].load(), 1) << i;
  }
  EXPECT_EQ(o.released_texts, (std::vector<std::string>{"first", "(null)", "third"}));
}

TEST(ThreadBox, OwnedInEventRefusedByAGoneBoxIsReleasedInsideThePost) {
  vor_box* box = vor_box_new();
  ASSERT_NE(box, nullptr);
  vor_box_free(box);
  Owned o(2);
  EXPECT_FALSE(post_owned(box, "late", &o, 0));
  EXPECT_FALSE(post_owned(nullptr, nullptr, &o, 1));
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(o.ran[i].load(), 0) << i;
    EXPECT_EQ(o.released[i].load(), 1) << i;
  }
  EXPECT_EQ(o.released_texts, (std::vector<std::string>{"late", "(null)"}));
}

void break_own_loop(vor_box* box, const char*, void*, void*, void*, void*, void*, void*, void*, void*) {
  vor_box_BreakLoop(box);
}

TEST(ThreadBox, OwnedInEventsThatRunAreNeverReleased) {
  vor_box* box = vor_box_new();
  ASSERT_NE(box, nullptr);
  constexpr size_t kSlots = 50;
  Owned o(kSlots + 1);
  for (size_t i = 0; i < kSlots; ++i) ASSERT_TRUE(post_owned(box, "run", &o, i));
  ASSERT_TRUE(post_owned(box, nullptr, &o, kSlots, break_own_loop));
  vor_box_loop(box);  // runs all of them, breaks, then frees the box on this thread
  EXPECT_FALSE(vorx_box_IsValid(box));
  for (size_t i = 0; i < kSlots; ++i) {
    EXPECT_EQ(o.ran[i].load(), 1) << i;
    EXPECT_EQ(o.released[i].load(), 0) << i;
  }
  EXPECT_EQ(o.released[kSlots].load(), 0);
}

// Posters race the end of the owner's loop: whatever the split, no in-event is lost or handled twice.
TEST(ThreadBox, OwnedInEventsRacingTheBoxsEndRunOrAreReleasedExactlyOnce) {
  constexpr size_t kPosters = 4;
  constexpr size_t kPerPoster = 3000;
  for (int round = 0; round < 5; ++round) {
    vor_box* box = vorx_ThreadBox_create();
    ASSERT_NE(box, nullptr);
    Owned o(kPosters * kPerPoster);
    std::atomic<size_t> posted{0};
    std::vector<std::thread> posters;
    for (size_t p = 0; p < kPosters; ++p) {
      posters.emplace_back([&, p] {
        for (size_t i = 0; i < kPerPoster; ++i) {
          posted.fetch_add(1);
          if (!post_owned(box, i % 2 ? "t" : nullptr, &o, p * kPerPoster + i)) break;  // gone: released
        }
      });
    }
    wait_until([&] { return posted.load() > kPosters * kPerPoster / 4; }, 2s);
    vorx_ThreadBox_destroy(box);
    for (auto& t : posters) t.join();
    auto handled = [&](size_t slot) { return o.ran[slot].load() + o.released[slot].load(); };
    EXPECT_TRUE(wait_until([&] {
      size_t done = 0;
      for (size_t s = 0; s < o.ran.size(); ++s) done += handled(s) > 0;
      return done == posted.load();
    }));
    for (size_t s = 0; s < o.ran.size(); ++s) ASSERT_LE(handled(s), 1) << "slot " << s;
  }
}

// --- a box left empty stays alive for a later timer from another thread ------------------------------
void flag_timer(void*, void* ud, int32_t, int32_t) { static_cast<std::atomic<int>*>(ud)->fetch_add(1); }

TEST(ThreadBox, EmptyBoxStaysAliveAndWakesForAForeignTimer) {
  vor_box* box = vorx_ThreadBox_create();
  ASSERT_NE(box, nullptr);
  std::this_thread::sleep_for(30ms);
  ASSERT_TRUE(vorx_box_IsValid(box));
  std::atomic<int> fired{0};
  // First a far timer, so the loop waits for it; then a near one must cut the wait short.
  int32_t far = vor_box_NewOnceTimer(box, 60000, flag_timer, &fired);
  ASSERT_GT(far, 0);
  std::this_thread::sleep_for(10ms);
  auto start = std::chrono::steady_clock::now();
  int32_t near = vor_box_NewOnceTimer(box, 10, flag_timer, &fired);
  ASSERT_GT(near, 0);
  ASSERT_TRUE(wait_until([&] { return fired.load() == 1; }));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(vor_box_RefreshTimeout(box, far, 1000));
  EXPECT_FALSE(vor_box_RefreshTimeout(box, far, 0));
  EXPECT_EQ(vor_box_GetNumTimer(box), 2);
  destroy_and_wait(box);
}

// --- foreign threads add and delete sockets and timers ----------------------------------------------
struct Stress {
  std::atomic<int> fired{0};
  std::atomic<int> datagrams{0};
};

void stress_timer(void*, void* ud, int32_t, int32_t) { static_cast<Stress*>(ud)->fired.fetch_add(1); }
void stress_datagram(void*, void* ud, int64_t, const char*, int32_t len, cu_peer_addr*) {
  if (len > 0) static_cast<Stress*>(ud)->datagrams.fetch_add(1);
}

TEST(ThreadBox, ForeignThreadsAddAndDeleteSocketsAndTimers) {
  vor_box* box = vorx_ThreadBox_create();
  ASSERT_NE(box, nullptr);
  Stress s;
  constexpr int kThreads = 4, kRounds = 50;
  std::vector<std::thread> threads;
  std::atomic<int> kept{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        int32_t keep = vor_box_NewOnceTimer(box, 1 + i % 5, stress_timer, &s);
        int32_t drop = vor_box_NewLoopTimer(box, 1000, stress_timer, &s);
        if (keep > 0) kept.fetch_add(1);
        vor_box_DeleteTimer(box, drop);
        uint16_t port = vor::test::free_port(SOCK_DGRAM);
        int64_t sid = vor_box_NewUdpServer(box, "127.0.0.1", port, stress_datagram, &s);
        if (sid > 0) {
          int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
          sockaddr_in to = vor::test::loopback(port);
          sendto(sender, "d", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
          close(sender);
          std::this_thread::sleep_for(1ms);
          vor_box_DeleteSock(box, sid);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_TRUE(wait_until([&] { return s.fired.load() == kept.load(); }));
  EXPECT_EQ(kept.load(), kThreads * kRounds);
  EXPECT_EQ(vor_box_GetNumSock(box), 0);
  EXPECT_EQ(vor_box_GetNumTimer(box), kThreads * kRounds);  // spent once timers stay until deleted
  destroy_and_wait(box);
}

// --- frees while the owner dispatches ------------------------------------------------------------
struct Spin {
  std::atomic<int> calls{0};
};

void spin_timer(void*, void* ud, int32_t, int32_t) {
  static_cast<Spin*>(ud)->calls.fetch_add(1);
  std::this_thread::sleep_for(100us);
}

TEST(ThreadBox, ForeignFreeWhileTheOwnerDispatchesIsSafe) {
  for (int round = 0; round < 10; ++round) {
    vor_box* box = vorx_ThreadBox_create();
    ASSERT_NE(box, nullptr);
    Spin s;
    vor_box_NewLoopTimer(box, 1, spin_timer, &s);
    std::atomic<bool> stop{false};
    std::thread poster([&] {
      while (!stop.load()) {
        vor_box_AddInEvent(box, "x", [](vor_box*, const char*, void*, void*, void*, void*, void*, void*, void*,
                                        void*) {}, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                           nullptr);
        vor_box_NewOnceTimer(box, 5, spin_timer, &s);
        std::this_thread::yield();
      }
    });
    wait_until([&] { return s.calls.load() > 2; }, 2s);
    vor_box_free(box);  // a foreign thread: breaks the loop; the owner frees the box
    EXPECT_TRUE(wait_until([&] { return !vorx_box_IsValid(box); }));
    stop = true;
    poster.join();
  }
}

void free_own_box(void* handle, void* ud, int32_t, int32_t) {
  auto* box = static_cast<vor_box*>(handle);
  vor_box_free(box);  // inside its own loop: break only
  static_cast<std::atomic<int>*>(ud)->store(vorx_box_IsValid(box) ? 1 : 2);
}

TEST(ThreadBox, FreeFromItsOwnCallbackOnlyBreaksTheLoop) {
  vor_box* box = vorx_ThreadBox_create();
  ASSERT_NE(box, nullptr);
  std::atomic<int> seen{0};
  ASSERT_GT(vor_box_NewOnceTimer(box, 1, free_own_box, &seen), 0);
  ASSERT_TRUE(wait_until([&] { return seen.load() != 0; }));
  EXPECT_EQ(seen.load(), 1);  // still registered while its callback ran
  EXPECT_TRUE(wait_until([&] { return !vorx_box_IsValid(box); }));
}

// --- TCP through a thread-owned box from another thread ---------------------------------------------
struct Tcp {
  std::atomic<int> accepted{0};
  std::atomic<int> bytes{0};
  std::atomic<int> closes{0};
};

void tcp_read(void*, void* ud, int64_t, const char*, int32_t len) { static_cast<Tcp*>(ud)->bytes.fetch_add(len); }
void tcp_close(void* handle, void* ud, int64_t sid) {
  static_cast<Tcp*>(ud)->closes.fetch_add(1);
  vor_box_DeleteSock(static_cast<vor_box*>(handle), sid);
}
void tcp_accept(void* handle, void* ud, int64_t, int64_t sid, const char*, uint16_t) {
  static_cast<Tcp*>(ud)->accepted.fetch_add(1);
  EXPECT_EQ(vor_box_AcceptTcpClient(static_cast<vor_box*>(handle), sid, tcp_read, ud, tcp_close, ud), sid);
}

TEST(ThreadBox, ServesTcpRegisteredFromAnotherThread) {
  vor_box* box = vorx_ThreadBox_create();
  ASSERT_NE(box, nullptr);
  Tcp t;
  uint16_t port = 0;
  int64_t listener = -1;
  for (int i = 0; i < 20 && listener <= 0; ++i) {
    port = vor::test::free_port();
    listener = vor_box_NewTcpServer(box, "127.0.0.1", port, tcp_accept, &t);
  }
  ASSERT_GT(listener, 0);
  for (int c = 0; c < 10; ++c) {
    int fd = vor::test::connect_blocking(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "0123456789", 10), 10);
    close(fd);
  }
  EXPECT_TRUE(wait_until([&] { return t.closes.load() == 10; }));
  EXPECT_EQ(t.accepted.load(), 10);
  EXPECT_EQ(t.bytes.load(), 100);
  EXPECT_EQ(vor_box_GetNumSock(box), 1);
  destroy_and_wait(box);
}

}  // namespace
