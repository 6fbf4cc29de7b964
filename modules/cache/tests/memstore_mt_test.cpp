// The memory cache under threads: size queries that read without the lock while tables empty,
// and writers, readers, purgers and a poller on one store.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
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
      std::string slice(1000, '\0');
      for (int i = 0; i < 20000 && !stop.load(); ++i) {
        const Kind kind = kKinds[static_cast<size_t>((i + r) % 3)];
        const std::string url = url_of(i % kUrls);
        char tag[17];
        if (!store->check(kind, url.c_str(), nullptr, tag)) continue;
        std::string assembled;
        for (uint32_t from = 0;; from += 1000) {
          const int32_t n = store->get_data(kind, url.c_str(), true, tag, nullptr, 0, from, from + 1000, slice.data());
          if (n < 0) break;  // the version is gone: the reader gives up, as the filter does
          assembled.append(slice.data(), static_cast<size_t>(n));
          if (n < 1000) {
            uint32_t version = 0;
            ASSERT_GE(assembled.size(), 4u);
            std::memcpy(&version, assembled.data(), 4);
            ASSERT_EQ(assembled, versioned_body(version)) << url;
            whole_reads.fetch_add(1);
            break;
          }
        }
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

}  // namespace
}  // namespace vor::memstore::test
