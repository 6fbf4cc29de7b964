// Costs of the request path's rule questions: a question walking a 1,000-rule cache family of
// one pattern kind (the match is the last rule), at 1 and 20 threads; the upstream choice among
// 10,000 proxies (100 wildcards) with a host-index hit and with a miss; and the p99 of a
// question while the admin thread appends rules.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "policydb.h"
#include "policydb_test_env.h"

namespace {

using policydb::test::Tree;

std::unique_ptr<Tree> g_tree;

// A fresh store whose wc_icache holds 1,000 rules of one kind; rule i matches only ".../f<i>.x".
void make_icache(const char* url_sql, int kind) {
  g_tree = std::make_unique<Tree>();
  g_tree->make_default_db();
  g_tree->sql("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < 1000) "
              "INSERT INTO wc_icache(num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache) SELECT i, " +
              std::string(url_sql) + ", 0, " + std::to_string(kind) + ", 1, 3, 0, 0, 1 FROM n");
  g_tree->init("[system]\ndisplay_console=0\n");
}

void question_walk(benchmark::State& state, const char* url_sql, int kind) {
  if (state.thread_index() == 0) make_icache(url_sql, kind);
  for (auto _ : state) benchmark::DoNotOptimize(policydb_icache_GetExpire("www.example.com/f1000.x", nullptr, nullptr));
  if (state.thread_index() == 0) g_tree.reset();
}

void BM_IcacheWildcard(benchmark::State& state) { question_walk(state, "'*/f' || i || '.x'", 0); }
void BM_IcacheRegex(benchmark::State& state) { question_walk(state, "'/f' || i || '\\.x$'", 1); }
// Family rules keep every placeholder regex a template: one expansion and compile per rule tried.
void BM_IcacheTemplate(benchmark::State& state) { question_walk(state, "'^%{HTTP_HOST}/f' || i || '\\.x$'", 1); }
BENCHMARK(BM_IcacheWildcard)->Threads(1)->Threads(20)->UseRealTime();
BENCHMARK(BM_IcacheRegex)->Threads(1)->Threads(20)->UseRealTime();
BENCHMARK(BM_IcacheTemplate)->Threads(1)->Threads(20)->UseRealTime();

// The same walk over 1,000 URL rule objects in the host-class form.
std::vector<xcache_rules*> g_objects;
void BM_HostClassObjects(benchmark::State& state) {
  if (state.thread_index() == 0) {
    for (int i = 1; i <= 1000; ++i) {
      g_objects.push_back(xcache_rules_make(("^%{HTTP_HOST}/f" + std::to_string(i) + "\\.x$").c_str(), 0, 1));
    }
  }
  for (auto _ : state) {
    bool hit = false;
    for (xcache_rules* r : g_objects) {
      if ((hit = xcache_rules_ishit(r, "www.example.com/f1000.x") != 0)) break;
    }
    benchmark::DoNotOptimize(hit);
  }
  if (state.thread_index() == 0) {
    for (xcache_rules* r : g_objects) xcache_rules_free(r);
    g_objects.clear();
  }
}
BENCHMARK(BM_HostClassObjects)->Threads(1)->Threads(20)->UseRealTime();

// 10,000 proxies, every 100th a wildcard, each with two upstreams.
void make_proxies() {
  g_tree = std::make_unique<Tree>();
  g_tree->make_default_db();
  g_tree->sql("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < 10000) "
              "INSERT INTO upfetch(wid, host, balance, note) SELECT i, CASE WHEN i % 100 = 0 THEN '*.w' || i || '.com'"
              " ELSE 'h' || i || '.com' END, 0, '' FROM n;"
              "INSERT INTO wc_upstream(wid, host, weight, note) SELECT wid, 'up1', 1, '' FROM upfetch;"
              "INSERT INTO wc_upstream(wid, host, weight, note) SELECT wid, 'up2', 1, '' FROM upfetch;");
  g_tree->init("[system]\ndisplay_console=0\n");
}

void choice(benchmark::State& state, const char* host) {
  if (state.thread_index() == 0) make_proxies();
  char buffer[200];
  uint32_t wid = 0, id = 0, a = 0, b = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        policydb_proxy_IsHitExtExt(host, "10.1.2.3", "a/b", buffer, sizeof buffer, &wid, &id, &a, &b));
  }
  if (state.thread_index() == 0) g_tree.reset();
}
void BM_ChoiceIndexHit(benchmark::State& state) { choice(state, "h5000.com"); }
void BM_ChoiceMiss(benchmark::State& state) { choice(state, "nowhere.example.com"); }
BENCHMARK(BM_ChoiceIndexHit)->Threads(1)->Threads(20)->UseRealTime();
BENCHMARK(BM_ChoiceMiss)->Threads(1)->Threads(20)->UseRealTime();

// The p99 of a question on a 1,000-rule wildcard family while another thread appends rules.
void BM_IsHitWhileAppending(benchmark::State& state) {
  make_icache("'*/f' || i || '.x'", 0);
  std::atomic<bool> done{false};
  std::thread admin([&] {
    for (int i = 0; !done.load(); ++i) {
      policydb_fcache_append_x(("*/g" + std::to_string(i)).c_str(), 0, 0, 1, 3, 0, 0, 1, "", nullptr);
      policydb_icache_append_x(("*/g" + std::to_string(i)).c_str(), 0, 0, 1, 3, 0, 0, 1, "", nullptr);
    }
  });
  std::vector<int64_t> ns;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(policydb_icache_IsHit("www.example.com/f500.x", nullptr, nullptr));
    ns.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count());
  }
  done.store(true);
  admin.join();
  std::sort(ns.begin(), ns.end());
  if (!ns.empty()) {
    state.counters["p50_ns"] = static_cast<double>(ns[ns.size() / 2]);
    state.counters["p99_ns"] = static_cast<double>(ns[ns.size() * 99 / 100]);
  }
  g_tree.reset();
}
BENCHMARK(BM_IsHitWhileAppending)->Iterations(20000)->UseRealTime();

}  // namespace
