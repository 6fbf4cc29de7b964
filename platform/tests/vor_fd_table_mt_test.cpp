#include "vor_fd_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

struct Entry {
  std::atomic<int> hits{0};
};

TEST(FdTable, EntriesAppearWithTheirChunkAndNeverBeyondTheLimit) {
  using Table = vor::FdTable<Entry, 4>;  // chunks of 16 descriptors
  auto owned = std::make_unique<Table>();  // the chunk index alone is megabytes: not on the stack
  Table& table = *owned;
  EXPECT_EQ(table.get(5), nullptr);
  Entry* five = table.ensure(5);
  ASSERT_NE(five, nullptr);
  EXPECT_EQ(table.get(5), five);
  EXPECT_EQ(table.ensure(5), five);
  EXPECT_NE(table.get(15), nullptr);  // same chunk
  EXPECT_EQ(table.get(16), nullptr);  // next chunk, not made yet
  EXPECT_EQ(five->hits.load(), 0);    // value-initialised
  for (int fd : {-1, Table::kLimit, Table::kLimit + 7}) {
    EXPECT_EQ(table.get(fd), nullptr) << fd;
    EXPECT_EQ(table.ensure(fd), nullptr) << fd;
  }
  EXPECT_NE(table.ensure(Table::kLimit - 1), nullptr);
  int visited = 0;
  table.for_each([&](Entry&) { ++visited; });
  EXPECT_EQ(visited, 32);  // two chunks of 16
}

// Threads race to make the same chunks: each descriptor ends with one entry that every thread
// saw, and no count is lost.
TEST(FdTable, RacingThreadsShareOneEntryPerDescriptor) {
  constexpr int kThreads = 8;
  constexpr int kFds = 4096;
  auto owned = std::make_unique<vor::FdTable<Entry, 6>>();
  auto& table = *owned;
  std::vector<std::vector<Entry*>> seen(kThreads, std::vector<Entry*>(kFds));
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kFds; ++i) {
        const int fd = (t % 2) ? kFds - 1 - i : i;  // half the threads walk backwards
        Entry* e = table.ensure(fd);
        if (e) e->hits.fetch_add(1);
        seen[t][fd] = e;
      }
    });
  }
  go.store(true);
  for (auto& th : threads) th.join();
  for (int fd = 0; fd < kFds; ++fd) {
    ASSERT_NE(seen[0][fd], nullptr) << fd;
    for (int t = 1; t < kThreads; ++t) ASSERT_EQ(seen[t][fd], seen[0][fd]) << fd;
    ASSERT_EQ(seen[0][fd]->hits.load(), kThreads) << fd;
    ASSERT_EQ(table.get(fd), seen[0][fd]) << fd;
  }
}

}  // namespace
