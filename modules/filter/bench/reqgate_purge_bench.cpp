// Purges by URL over real index stores in a temporary folder: one prefix-scan pass over the
// three class stores (REQGATE_PURGE_BENCH_RECORDS index records, 200,000 by default, four in
// five in the public store) that marks nothing, one that marks 1 in 100 records, and the first
// pass of a purge of every entry, which rewrites each record; beside them an exact purge of a
// URL that is on disk (three reads, its deletes) and of one that is not. Per pass it prints the
// seconds and the records walked per second; the seeding time is printed once.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "reqgate.h"
#include "reqgate_internal.h"
#include "vor_kv2.h"

namespace {

using namespace vor::reqgate;
namespace fs = std::filesystem;

constexpr uint8_t kClasses[] = {kPublic, kPublic, kPublic, kPublic, kMember};

uint64_t record_count() {
  const char* n = std::getenv("REQGATE_PURGE_BENCH_RECORDS");
  return n ? std::strtoull(n, nullptr, 10) : 200000;
}

// The key of record i: 100 folders of one host; folder 0 holds 1 in 100 records.
std::string key_of(uint64_t i) {
  return "bench.test/f" + std::to_string(i % 100) + "/s" + std::to_string(i % 7) + "/" + std::to_string(i) + ".html";
}

std::string record_text(const std::string& key, uint64_t expiry) {
  char text[kIndexRecordSize] = {};
  std::snprintf(text, sizeof text, "vs=371&dn=1&pt=%s&r1=5b&r2=cf&cl=4e20&ep=%" PRIx64 "&cc=0&up=%s",
                folder_digits(key).c_str(), expiry, path_signature(key).c_str());
  return std::string(text, sizeof text);
}

void put_all(uint64_t expiry) {
  for (uint64_t i = 0; i < record_count(); ++i) {
    const std::string key = key_of(i);
    index_put(kClasses[i % 5], file_name(key).c_str(), record_text(key, expiry).c_str());
  }
}

// The stores, opened once in a temporary runtime tree and seeded.
struct Stores {
  Stores() {
    root = fs::temp_directory_path() / ("reqgate-purge-bench-" + std::to_string(getpid()));
    fs::create_directories(root / "bin");
    fs::current_path(root / "bin");
    set_console_trace(false);
    open_index_stores();
    const auto start = std::chrono::steady_clock::now();
    put_all(0x7f000000);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("seeded %" PRIu64 " records in %.1f s (%.0f puts/s)\n", record_count(), took.count(),
                static_cast<double>(record_count()) / took.count());
  }
  ~Stores() {
    stop_index_scans();
    index_close();
    content_close();
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  fs::path root;
};

Stores& stores() {
  static Stores instance;
  return instance;
}

void pass(benchmark::State& state, const char* url) {
  stores();
  for (auto _ : state) index_scan(url);
  state.counters["s/pass"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(record_count() * state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ScanMarkingNothing(benchmark::State& state) { pass(state, "other.test/x/*"); }
void BM_ScanMarkingOneInHundred(benchmark::State& state) { pass(state, "bench.test/f0/*"); }
// Every record rewritten once: the later passes find them expired already, so one pass only.
void BM_ScanMarkingEveryEntry(benchmark::State& state) { pass(state, "*/*"); }

void BM_ExactPurge(benchmark::State& state) {
  stores();
  uint64_t i = 0;
  for (auto _ : state) {
    const std::string key = key_of(i++ % record_count());
    reqgate_CleanDiskCache(key.c_str());
  }
}

void BM_ExactPurgeOfAnAbsentUrl(benchmark::State& state) {
  stores();
  for (auto _ : state) reqgate_CleanDiskCache("absent.test/none.html");
}

BENCHMARK(BM_ScanMarkingNothing)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ScanMarkingOneInHundred)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ScanMarkingEveryEntry)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ExactPurgeOfAnAbsentUrl)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExactPurge)->Unit(benchmark::kMicrosecond)->Iterations(2000);

}  // namespace
