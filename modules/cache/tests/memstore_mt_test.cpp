// The memory cache under threads: size queries that read without the lock while tables empty,
// and writers, readers, purgers and a poller on one store.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "memstore_test_env.h"

namespace vor::memstore::test {
namespace {

TEST(Threads, SizeQueriesNeverDivideByZeroWhileATableEmpties) {
  auto store = make_store(64, quiet());
  std::atomic<bool> done{false};
  std::thread poller([&] {
    uint64_t sink = 0;
    for (int i = 0; i < 2000000 && !done.load(); ++i)
      for (Kind kind : kKinds) sink += store->table_size(kind) + store->table_count(kind) + store->entry_total();
    EXPECT_GE(sink, 0u);
  });
  for (int i = 0; i < 20000; ++i) {
    put(*store, Kind::kPublic, "a.b/only", "x");
    store->clean_all(Kind::kPublic);
  }
  done = true;
  poller.join();
  EXPECT_EQ(store->entry_total(), 0u);
}

}  // namespace
}  // namespace vor::memstore::test
