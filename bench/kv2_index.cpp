// The disk-cache index store (vor_kv2_*) beside the same table through plain SQLite defaults
// (rollback journal, synchronous FULL, one shared connection), with 400,000 records of 170 bytes:
// operations per second with 1, 8 and 20 threads, the 99th percentile of gets while a walk
// deletes one record in five and while the store is flushed and checkpointed; then the
// statistics counter's SynStat calls per second. Prints figures; never fails.
#include "tallies.h"
#include "vor_kv2.h"

#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kRecords = 400000;
constexpr int32_t kValueSize = 170;
constexpr auto kRun = std::chrono::milliseconds(1500);

std::string key_of(uint64_t n) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%032llx", static_cast<unsigned long long>(n * 2654435761ULL % (1ULL << 60)));
  return std::string(buf, 32);
}

std::string value_of(uint64_t n) {
  std::string v = "vs=371&dn=1&pt=" + std::to_string(n % 1000) + "&r1=1a2&r2=2b3&cl=4000&ep=6a000000&up=1f/2e/";
  v.resize(kValueSize, '\0');
  return v;
}

class Store {
 public:
  virtual ~Store() = default;
  virtual bool put(const std::string& k, const std::string& v) = 0;
  virtual bool get(const std::string& k) = 0;
  virtual bool del(const std::string& k) = 0;
};

class Kv2Store : public Store {
 public:
  explicit Kv2Store(const std::string& path) : s_(vor_kv2_open_ext(path.c_str(), true, true, 218, 64, 1)) {}
  ~Kv2Store() override { vor_kv2_close(s_); }
  bool ok() const { return s_ != nullptr; }
  vor_kv2* handle() const { return s_; }
  bool put(const std::string& k, const std::string& v) override {
    return vor_kv2_put(s_, 0, k.data(), 32, v.data(), kValueSize);
  }
  bool get(const std::string& k) override {
    char buf[kValueSize];
    int32_t len = kValueSize;
    return vor_kv2_get(s_, 0, k.data(), 32, buf, &len);
  }
  bool del(const std::string& k) override { return vor_kv2_del(s_, 0, k.data(), 32); }

 private:
  vor_kv2* s_;
};

// The same table with SQLite's defaults: one connection shared under a lock.
class PlainStore : public Store {
 public:
  explicit PlainStore(const std::string& path) {
    sqlite3_open(path.c_str(), &db_);
    sqlite3_exec(db_, "CREATE TABLE kv(k BLOB PRIMARY KEY, v BLOB NOT NULL) WITHOUT ROWID", nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO kv(k, v) VALUES(?1, ?2)", -1, &put_, nullptr);
    sqlite3_prepare_v2(db_, "SELECT v FROM kv WHERE k=?1", -1, &get_, nullptr);
    sqlite3_prepare_v2(db_, "DELETE FROM kv WHERE k=?1", -1, &del_, nullptr);
  }
  ~PlainStore() override {
    for (auto* s : {put_, get_, del_}) sqlite3_finalize(s);
    sqlite3_close(db_);
  }
  void fill(uint64_t n) {
    std::lock_guard<std::mutex> lock(mu_);
    sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
    for (uint64_t i = 0; i < n; ++i) step(put_, key_of(i), value_of(i));
    sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  }
  bool put(const std::string& k, const std::string& v) override {
    std::lock_guard<std::mutex> lock(mu_);
    return step(put_, k, v) == SQLITE_DONE;
  }
  bool get(const std::string& k) override {
    std::lock_guard<std::mutex> lock(mu_);
    return step(get_, k, "") == SQLITE_ROW;
  }
  bool del(const std::string& k) override {
    std::lock_guard<std::mutex> lock(mu_);
    return step(del_, k, "") == SQLITE_DONE && sqlite3_changes(db_) > 0;
  }

 private:
  static int step(sqlite3_stmt* s, const std::string& k, const std::string& v) {
    sqlite3_bind_blob(s, 1, k.data(), 32, SQLITE_STATIC);
    if (!v.empty()) sqlite3_bind_blob(s, 2, v.data(), kValueSize, SQLITE_STATIC);
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    return rc;
  }
  std::mutex mu_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* put_ = nullptr;
  sqlite3_stmt* get_ = nullptr;
  sqlite3_stmt* del_ = nullptr;
};

// Runs op(thread, i) on n threads for kRun; answers calls per second.
double rate(int threads, const std::function<void(int, uint64_t)>& op) {
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> done{0};
  std::vector<std::thread> pool;
  const auto t0 = Clock::now();
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      uint64_t i = 0;
      for (; !stop.load(std::memory_order_relaxed); ++i) op(t, i);
      done += i;
    });
  }
  std::this_thread::sleep_for(kRun);
  stop = true;
  for (auto& th : pool) th.join();
  return static_cast<double>(done.load()) / std::chrono::duration<double>(Clock::now() - t0).count();
}

void throughput(const char* name, Store& store) {
  for (int threads : {1, 8, 20}) {
    const double gets = rate(threads, [&](int t, uint64_t i) { store.get(key_of((i * 7919 + static_cast<uint64_t>(t) * 104729) % kRecords)); });
    const double puts = rate(threads, [&](int t, uint64_t i) {
      const uint64_t n = (i * 15485863 + static_cast<uint64_t>(t) * 32452843) % kRecords;
      store.put(key_of(n), value_of(n + i));
    });
    // Each thread deletes its own keys in turn; they are put back afterwards.
    std::vector<uint64_t> deleted(static_cast<size_t>(threads));
    const double dels = rate(threads, [&](int t, uint64_t i) {
      store.del(key_of((i * static_cast<uint64_t>(threads) + static_cast<uint64_t>(t)) % kRecords));
      deleted[static_cast<size_t>(t)] = i + 1;
    });
    for (int t = 0; t < threads; ++t) {
      for (uint64_t i = 0; i < deleted[static_cast<size_t>(t)] && i < kRecords; ++i) {
        const uint64_t n = (i * static_cast<uint64_t>(threads) + static_cast<uint64_t>(t)) % kRecords;
        store.put(key_of(n), value_of(n));
      }
    }
    std::printf("%-14s %2d threads  get/s %10.0f  put/s %10.0f  del/s %10.0f\n", name, threads, gets, puts, dels);
    std::fflush(stdout);
  }
}

// 8 threads get while background() runs; answers the 50th and 99th percentile in microseconds.
std::pair<double, double> get_latency(Store& store, const std::function<void(const std::atomic<bool>&)>& background) {
  std::atomic<bool> stop{false};
  std::mutex mu;
  std::vector<double> all;
  std::vector<std::thread> pool;
  for (int t = 0; t < 8; ++t) {
    pool.emplace_back([&, t] {
      std::vector<double> mine;
      std::mt19937_64 rng(static_cast<uint64_t>(t));
      while (!stop.load()) {
        const auto t0 = Clock::now();
        store.get(key_of(rng() % kRecords));
        mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      }
      std::lock_guard<std::mutex> lock(mu);
      all.insert(all.end(), mine.begin(), mine.end());
    });
  }
  std::thread bg([&] { background(stop); });
  std::this_thread::sleep_for(kRun);
  stop = true;
  for (auto& th : pool) th.join();
  bg.join();
  if (all.empty()) return {0, 0};
  std::sort(all.begin(), all.end());
  return {all[all.size() / 2], all[all.size() * 99 / 100]};
}

void kv2_latencies(Kv2Store& store) {
  auto idle = get_latency(store, [](const std::atomic<bool>&) {});
  auto walking = get_latency(store, [&](const std::atomic<bool>& stop) {
    vor_kv2_Foreach_Rewind(store.handle(), 0);
    char k[32], v[kValueSize];
    int32_t len = kValueSize;
    for (uint64_t i = 0; !stop.load() && vor_kv2_Foreach_GetNext(store.handle(), k, 32, v, &len); ++i, len = kValueSize) {
      if (i % 5 == 0) vor_kv2_del(store.handle(), 0, k, 32);
    }
    vor_kv2_Foreach_Cancel(store.handle());
  });
  auto flushing = get_latency(store, [&](const std::atomic<bool>& stop) {
    for (uint64_t i = 0; !stop.load(); ++i) {
      store.put(key_of(i % kRecords), value_of(i));
      if (i % 2000 == 0) vor_kv2_flush(store.handle());
      if (i % 2000 == 1000) vor_kv2_checkpoint(store.handle(), 0, 0);
    }
  });
  std::printf("kv2 get latency, 8 threads (us)  p50/p99: idle %.1f/%.1f  walk deleting 1 in 5 %.1f/%.1f  "
              "puts with flush and checkpoint %.1f/%.1f\n",
              idle.first, idle.second, walking.first, walking.second, flushing.first, flushing.second);
}

void synstat_rate() {
  tallies__Restart();
  for (int threads : {1, 8}) {
    const double calls = rate(threads, [](int t, uint64_t i) {
      char address[24];
      std::snprintf(address, sizeof address, "10.%d.%d.%d", t, static_cast<int>(i / 256 % 256), static_cast<int>(i % 256));
      tallies__SynStat(address, "loc", i % 3 == 0);
    });
    std::printf("tallies SynStat %d threads  calls/s %10.0f\n", threads, calls);
  }
}

}  // namespace

int main() {
  char tmpl[] = "/tmp/kv2_index.XXXXXX";
  const char* dir = mkdtemp(tmpl);
  if (!dir) return 0;
  const std::string kv2_path = std::string(dir) + "/public.idx2";
  const std::string plain_path = std::string(dir) + "/plain.db";
  {
    Kv2Store kv2(kv2_path);
    if (kv2.ok()) {
      const auto t0 = Clock::now();
      for (uint64_t i = 0; i < kRecords; ++i) kv2.put(key_of(i), value_of(i));
      const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
      std::printf("kv2 fill: %llu records of %d bytes in %.1f s (%.0f put/s, one commit each), %llu bytes\n",
                  static_cast<unsigned long long>(kRecords), kValueSize, secs, kRecords / secs,
                  static_cast<unsigned long long>(vor_kv2_size(kv2.handle())));
      throughput("kv2", kv2);
      kv2_latencies(kv2);
    }
  }
  {
    PlainStore plain(plain_path);
    plain.fill(kRecords);
    throughput("plain sqlite", plain);
    auto idle = get_latency(plain, [](const std::atomic<bool>&) {});
    auto writing = get_latency(plain, [&](const std::atomic<bool>& stop) {
      for (uint64_t i = 0; !stop.load(); ++i) plain.put(key_of(i % kRecords), value_of(i));
    });
    std::printf("plain sqlite get latency, 8 threads (us)  p50/p99: idle %.1f/%.1f  with puts %.1f/%.1f\n",
                idle.first, idle.second, writing.first, writing.second);
  }
  synstat_rate();
  std::filesystem::remove_all(dir);
  return 0;
}
