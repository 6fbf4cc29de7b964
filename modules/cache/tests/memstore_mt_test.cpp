// The memory cache under threads: size queries that read without the lock while tables empty,
// and writers, readers, purgers and a poller on one store.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "memstore_test_env.h"

namespace vor::memstore::test {
namespace {

// Each round takes the table from one entry to none while the poller is busy with it: the
// entry stays until the poller has begun a pass over a table that holds it. A round is cheap
// (one caller queue for every store, few buckets to empty); on a loaded machine, where the two
// threads seldom run at once, a time budget ends the rounds early (a few hundred rounds
// already catch a size query that reads the counts twice).
TEST(Threads, SizeQueriesNeverDivideByZeroWhileATableEmpties) {
  auto store = make_store(64, quiet(), 1024, 64);
  ASSERT_TRUE(store);
  std::atomic<bool> done{false};
  std::atomic<uint64_t> passes{0};
  std::thread poller([&] {
    uint64_t sink = 0;
    while (!done.load()) {
      passes.fetch_add(1);
      for (Kind kind : kKinds) sink += store->table_size(kind) + store->table_count(kind) + store->entry_total();
    }
    EXPECT_GE(sink, 0u);
  });
  CallerBody caller;  // each store takes the bytes it is given: the queue is empty again
  uint32_t rounds = 0, stored = 0;
  const auto budget_end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (; rounds < 20000 && std::chrono::steady_clock::now() < budget_end; ++rounds) {
    store->set_data_x(Kind::kPublic, 0, "a.b/only", "HTTP/1.1 200 OK\r\n\r\n", caller.with("x"), 1800000000, 0);
    stored += store->table_count(Kind::kPublic);
    const uint64_t seen = passes.load();
    while (passes.load() == seen) std::this_thread::yield();
    store->clean_all(Kind::kPublic);
  }
  EXPECT_EQ(stored, rounds);
  EXPECT_TRUE(caller.drained());
  done = true;
  poller.join();
  EXPECT_EQ(store->entry_total(), 0u);
}

// A body whose every 4-byte word is its version: a reader can tell any mix of two versions.
std::string versioned_body(uint32_t version) {
  std::string body((1000 + version % 9000) & ~size_t{3}, '\0');
  for (size_t i = 0; i < body.size(); i += 4) std::memcpy(&body[i], &version, 4);
  return body;
}

// The longest single read seen by any reader, in microseconds.
struct LongestRead {
  std::atomic<int64_t> us{0};
  void note(std::chrono::steady_clock::time_point start) {
    const int64_t took =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    int64_t seen = us.load(std::memory_order_relaxed);
    while (took > seen && !us.compare_exchange_weak(seen, took, std::memory_order_relaxed)) {
    }
  }
};

// Looks the url up and reads the version found in 1,000-byte slices, as the request filter does:
// the whole body, or nullopt when the url is absent or its version went away between slices.
std::optional<std::string> read_version(Store& store, Kind kind, const std::string& url,
                                        LongestRead* longest = nullptr) {
  char tag[17];
  if (!store.check(kind, url.c_str(), nullptr, tag)) return std::nullopt;
  std::string assembled, slice(1000, '\0');
  for (uint32_t from = 0;; from += 1000) {
    const auto start = std::chrono::steady_clock::now();
    const int32_t n = store.get_data(kind, url.c_str(), true, tag, nullptr, 0, from, from + 1000, slice.data());
    if (longest) longest->note(start);
    if (n < 0) return std::nullopt;
    assembled.append(slice.data(), static_cast<size_t>(n));
    if (n < 1000) return assembled;
  }
}

bool is_one_version(const std::string& body) {
  uint32_t version = 0;
  if (body.size() < 4) return false;
  std::memcpy(&version, body.data(), 4);
  return body == versioned_body(version);
}

TEST(Threads, ReadersNeverAssembleTwoVersionsWhileWritersPurgersAndPollersRun) {
  auto store = make_store(4, quiet());  // small pools: stores run the replacement too
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> next_version{1};
  std::atomic<long> whole_reads{0};
  const int kUrls = 8;
  auto url_of = [](int i) { return "v.w/" + std::to_string(i); };

  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < 3000; ++i) {
        const uint32_t version = next_version.fetch_add(1);
        const Kind kind = kKinds[static_cast<size_t>((i + w) % 3)];
        put(*store, kind, url_of(i % kUrls), versioned_body(version), static_cast<uint32_t>(i & 1));
      }
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&, r] {
      // As long as the writers run: a reader that ran a fixed count of reads could finish them
      // all, each a miss, before a starved writer stored anything.
      for (int i = 0; !stop.load(); ++i) {
        const Kind kind = kKinds[static_cast<size_t>((i + r) % 3)];
        const std::string url = url_of(i % kUrls);
        const std::optional<std::string> read = read_version(*store, kind, url);
        if (!read) continue;  // absent, or the version went away: the reader gives up, as the filter does
        ASSERT_TRUE(is_one_version(*read)) << url;
        whole_reads.fetch_add(1);
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 400 && !stop.load(); ++i) {
      const Kind kind = kKinds[static_cast<size_t>(i % 3)];
      if (i % 10 == 0)
        store->clean_all(kind);
      else
        EXPECT_TRUE(store->clean_rules(kind, "^v\\.w/[0-3]$", 0, 1));
      std::this_thread::yield();
    }
  });
  threads.emplace_back([&] {
    uint64_t sink = 0;
    for (int i = 0; i < 200000 && !stop.load(); ++i) {
      sink += store->cache_size() + store->entry_total();
      for (Kind kind : kKinds) sink += store->table_size(kind) + store->table_count(kind);
    }
    EXPECT_GE(sink, 0u);
  });
  for (int i = 0; i < 2; ++i) threads[static_cast<size_t>(i)].join();  // the writers end the run
  stop = true;
  for (size_t i = 2; i < threads.size(); ++i) threads[i].join();
  EXPECT_GT(whole_reads.load(), 0);
  for (Kind kind : kKinds) store->clean_all(kind);
  EXPECT_EQ(store->cache_size(), 0u);
}

// Eight readers while one writer stores new versions over the old ones and a regular-expression
// purge walks 5,000 other entries 40 times: every read is one whole version, and the longest a
// read waited is printed.
TEST(Threads, EightReadersSeeWholeVersionsWhileAWriterReplacesAndARegexPurgeWalks) {
  auto store = make_store(1024, quiet());
  // One caller queue per thread: a queue of its own for every store costs more than the store.
  auto store_version = [&](CallerBody& caller, const std::string& url, const std::string& body) {
    store->set_data_x(Kind::kPublic, 0, url.c_str(), "HTTP/1.1 200 OK\r\n\r\n", caller.with(body), 1800000000, 0);
  };
  CallerBody filler;
  for (int i = 0; i < 5000; ++i) store_version(filler, "filler/" + std::to_string(i), "f");
  const int kUrls = 8;
  auto url_of = [](int i) { return "v.w/" + std::to_string(i); };
  std::atomic<bool> purging{true};
  std::atomic<long> whole_reads{0};
  std::atomic<uint32_t> versions{0};
  LongestRead longest;

  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    CallerBody caller;
    for (uint32_t version = 1; purging.load(); ++version) {
      store_version(caller, url_of(static_cast<int>(version % kUrls)), versioned_body(version));
      versions = version;
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < 40; ++i) EXPECT_TRUE(store->clean_rules(Kind::kPublic, "^v\\.w/[0-3]$", 0, 1));
    purging = false;
  });
  for (int r = 0; r < 8; ++r) {
    threads.emplace_back([&, r] {
      for (int i = r; purging.load(); ++i) {
        const std::optional<std::string> read = read_version(*store, Kind::kPublic, url_of(i % kUrls), &longest);
        if (!read) continue;
        ASSERT_TRUE(is_one_version(*read)) << url_of(i % kUrls);
        whole_reads.fetch_add(1);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  std::cout << "longest read during 40 regex purges of 5,000 entries: " << longest.us.load() << " us ("
            << whole_reads.load() << " whole reads, " << versions.load() << " versions stored)\n";
  EXPECT_GT(versions.load(), 0u);
  store->clean_all(Kind::kPublic);
  EXPECT_EQ(store->cache_size(), 0u);
}

}  // namespace
}  // namespace vor::memstore::test
