#include "cu_xhash.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

// Tables are per-thread, but the random start of RandomTraverse draws from one process-wide
// generator: threads walking their own tables at once must not race on it.
TEST(CuShashThreads, RandomTraverseOnSeparateTablesAtOnce) {
  constexpr int kThreads = 4;
  std::vector<int> visits(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([i, &visits] {
      cu_shash* t = cu_shash_malloc(31);
      for (int k = 0; k < 50; ++k) cu_shash_insert(t, ("k" + std::to_string(k)).c_str(), nullptr);
      for (int round = 0; round < 500; ++round) {
        cu_shash_RandomTraverse(
            t, [](const char*, void*, void* arg) -> uint8_t { return ++*static_cast<int*>(arg) % 7 == 0 ? 1 : 0; },
            &visits[i]);
      }
      cu_shash_free(t);
    });
  }
  for (auto& th : threads) th.join();
  for (int v : visits) EXPECT_GE(v, 500);
}

}  // namespace
