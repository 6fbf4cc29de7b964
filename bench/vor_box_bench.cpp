// The event layer under load, all on 127.0.0.1: a one-box TCP echo driven by 1,000 client
// connections (messages per second and p99 round trip), in-event posts from four foreign
// threads, and the cost of RefreshTimeout in a box holding 10,000 timers.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "cu_box.h"
#include "vor_box.h"

namespace {

using Clock = std::chrono::steady_clock;

void raise_fd_limit() {
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) == 0) {
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
  }
}

uint16_t free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// --- one-box TCP echo --------------------------------------------------------------------------
constexpr int kConnections = 1000;
constexpr int32_t kMessage = 64;

void server_read(void*, void*, int64_t sid, const char* data, int32_t len) {
  cu_box_sock_TcpWrite(nullptr, sid, data, len);
}
void server_close(void* box, void*, int64_t sid) { vor_box_DeleteSock(static_cast<vor_box*>(box), sid); }
void server_accept(void* box, void*, int64_t, int64_t sid, const char*, uint16_t) {
  cu_sock_set_nondelay(sid);
  vor_box_AcceptTcpClient(static_cast<vor_box*>(box), sid, server_read, nullptr, server_close, nullptr);
}

struct Conn {
  struct Driver* driver;
  int64_t sid = -1;
  int32_t got = 0;
  Clock::time_point sent_at;
};

struct Driver {
  cu_box* box;
  std::vector<Conn> conns;
  std::vector<int64_t> latencies_ns;
  int64_t target = 0;
  int64_t done = 0;
  int connected = 0;
  char message[kMessage];
};

void send_one(Conn* c) {
  c->got = 0;
  c->sent_at = Clock::now();
  cu_box_sock_TcpWrite(nullptr, c->sid, c->driver->message, kMessage);
}

void client_connected(void*, void* ud, int64_t sid) {
  auto* c = static_cast<Conn*>(ud);
  cu_sock_set_nondelay(sid);
  ++c->driver->connected;
  send_one(c);
}

void client_read(void*, void* ud, int64_t, const char*, int32_t len) {
  auto* c = static_cast<Conn*>(ud);
  c->got += len;
  if (c->got < kMessage) return;
  Driver* d = c->driver;
  d->latencies_ns.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - c->sent_at).count());
  if (++d->done >= d->target) {
    cu_box_BreakLoop(d->box);
    return;
  }
  send_one(c);
}

void client_lost(void* box, void*, int64_t sid) { cu_box_sock_Delete(static_cast<cu_box*>(box), sid); }

void BM_TcpEchoOneBox1000Connections(benchmark::State& state) {
  raise_fd_limit();
  vor_box* server = vorx_ThreadBox_create();
  uint16_t port = free_port();
  if (!server || vor_box_NewTcpServer(server, "127.0.0.1", port, server_accept, nullptr) <= 0) {
    state.SkipWithError("no server");
    return;
  }
  int64_t messages = 0;
  std::vector<int64_t> all;
  double seconds = 0;
  for (auto _ : state) {
    Driver d;
    d.box = cu_box_malloc();
    memset(d.message, 'm', sizeof d.message);
    d.conns.resize(kConnections);
    d.target = 200000;
    d.latencies_ns.reserve(static_cast<size_t>(d.target));
    for (Conn& c : d.conns) {
      c.driver = &d;
      c.sid = cu_box_sock_AddLocalTcpClient(d.box, "127.0.0.1", port, client_connected, &c, client_lost, &c,
                                            client_read, &c, client_lost, &c);
    }
    auto start = Clock::now();
    cu_box_StartLoop(d.box);
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    messages += d.done;
    all.insert(all.end(), d.latencies_ns.begin(), d.latencies_ns.end());
    cu_box_free(d.box);
  }
  std::sort(all.begin(), all.end());
  state.counters["msgs_per_s"] = static_cast<double>(messages) / seconds;
  state.counters["p50_us"] = all.empty() ? 0 : all[all.size() / 2] / 1000.0;
  state.counters["p99_us"] = all.empty() ? 0 : all[all.size() * 99 / 100] / 1000.0;
  vorx_ThreadBox_destroy(server);
}
BENCHMARK(BM_TcpEchoOneBox1000Connections)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// --- in-event posts from four foreign threads --------------------------------------------------------
std::atomic<int64_t> g_ran{0};
void count_event(vor_box*, const char*, void*, void*, void*, void*, void*, void*, void*, void*) {
  g_ran.fetch_add(1, std::memory_order_relaxed);
}

void BM_InEventPostsFromFourThreads(benchmark::State& state) {
  vor_box* box = vorx_ThreadBox_create();
  constexpr int kThreads = 4;
  constexpr int64_t kPerThread = 250000;
  double post_seconds = 0;
  int64_t posts = 0;
  for (auto _ : state) {
    g_ran = 0;
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&] {
        for (int64_t i = 0; i < kPerThread; ++i)
          vor_box_AddInEvent(box, nullptr, count_event, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr);
      });
    for (auto& t : threads) t.join();
    while (g_ran.load() < kThreads * kPerThread) std::this_thread::yield();
    post_seconds += std::chrono::duration<double>(Clock::now() - start).count();
    posts += kThreads * kPerThread;
  }
  state.counters["posts_per_s"] = static_cast<double>(posts) / post_seconds;
  vorx_ThreadBox_destroy(box);
}
BENCHMARK(BM_InEventPostsFromFourThreads)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// --- RefreshTimeout among 10,000 timers --------------------------------------------------------------
void never(void*, void*, int32_t, int32_t) {}

void BM_RefreshTimeoutWith10000Timers(benchmark::State& state) {
  cu_box* box = cu_box_malloc();
  std::vector<int32_t> ids;
  for (int i = 0; i < 10000; ++i) ids.push_back(cu_box_timer_AddLoopTimer(box, 60000 + i, never, nullptr));
  std::mt19937 rng(7);
  size_t i = 0;
  std::vector<int32_t> order(ids);
  std::shuffle(order.begin(), order.end(), rng);
  for (auto _ : state) {
    benchmark::DoNotOptimize(cu_box_timer_RefreshTimeout(box, order[i], 1000));
    if (++i == order.size()) i = 0;
  }
  cu_box_free(box);
}
BENCHMARK(BM_RefreshTimeoutWith10000Timers);

}  // namespace
