// nameres_bench: cache hits per second on 1 and 8 threads (Google Benchmark), then 10,000 names
// looked up through nameres_AddRequest beside getaddrinfo, 8 threads each, against the dnsmasq
// that NAMERES_SERVERS names (bench/nameres_bench.sh starts it). Prints figures only.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netdb.h>
#include <resolv.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "cu_console.h"
#include "nameres.h"

namespace {

constexpr int kThreads = 8;
constexpr int kNames = 10000;

std::string name_of(int i, const char* run) { return "n" + std::to_string(i) + "." + run + ".wild.test"; }

std::atomic<int> g_done{0};
std::atomic<int> g_ok{0};
void count(nameres_dns*, const char*, const char*, bool ok, int64_t, char*, int32_t, vor_box*, char*, int32_t, char*) {
  if (ok) g_ok.fetch_add(1);
  g_done.fetch_add(1);
}

void BM_HitCache(benchmark::State& state) {
  char ip[32];
  std::vector<std::string> names;
  for (int i = 0; i < 64; ++i) names.push_back(name_of(i, "hit"));
  size_t i = static_cast<size_t>(state.thread_index());
  for (auto _ : state) {
    benchmark::DoNotOptimize(nameres_HitCache(names[i++ % names.size()].c_str(), ip));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HitCache)->Threads(1)->Threads(8)->UseRealTime();

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

void resolver_run() {
  g_done = 0;
  g_ok = 0;
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  std::atomic<int> refused{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &refused] {
      for (int i = t; i < kNames; i += kThreads) {
        std::string n = name_of(i, "async");
        if (!nameres_AddRequest(nameres_GetDnsHandle(), n.c_str(), count, i, nullptr, 0, nullptr, nullptr, 1, nullptr,
                                0, 0))
          refused.fetch_add(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  while (g_done.load() + refused.load() < kNames && seconds_since(start) < 60)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  double s = seconds_since(start);
  printf("nameres_AddRequest: %d names, 8 threads: %.3f s, %.0f look-ups/s (%d answered, %d refused)\n", kNames, s,
         kNames / s, g_ok.load(), refused.load());
}

// The system resolver of each thread pointed at the same dnsmasq (glibc honours _res changes).
void point_system_resolver(const char* server) {
  std::string s = server;
  size_t colon = s.find(':');
  res_init();
  _res.nscount = 1;
  _res.nsaddr_list[0].sin_family = AF_INET;
  _res.nsaddr_list[0].sin_addr.s_addr = inet_addr(s.substr(0, colon).c_str());
  _res.nsaddr_list[0].sin_port = htons(static_cast<uint16_t>(atoi(s.substr(colon + 1).c_str())));
}

void getaddrinfo_run(const char* server) {
  auto start = std::chrono::steady_clock::now();
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, server, &ok] {
      point_system_resolver(server);
      addrinfo hints{};
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_STREAM;
      for (int i = t; i < kNames; i += kThreads) {
        addrinfo* res = nullptr;
        if (getaddrinfo(name_of(i, "sync").c_str(), nullptr, &hints, &res) == 0) ok.fetch_add(1);
        if (res) freeaddrinfo(res);
      }
    });
  }
  for (auto& th : threads) th.join();
  double s = seconds_since(start);
  printf("getaddrinfo:        %d names, 8 threads: %.3f s, %.0f look-ups/s (%d answered)\n", kNames, s, kNames / s,
         ok.load());
}

}  // namespace

int main(int argc, char** argv) {
  const char* server = getenv("NAMERES_SERVERS");
  if (!server || !*server) {
    fprintf(stderr, "NAMERES_SERVERS must name the local dnsmasq (run bench/nameres_bench.sh)\n");
    return 0;
  }
  cu_console_Free();  // the blocking look-ups below would log into the working folder
  char ip[32];
  for (int i = 0; i < 64; ++i) wc_gethostbyname(name_of(i, "hit").c_str(), ip);  // fills the cache
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  resolver_run();
  getaddrinfo_run(server);
  return 0;
}
