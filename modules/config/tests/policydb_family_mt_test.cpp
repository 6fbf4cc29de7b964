// Request threads walk a family while the admin thread changes it; afterwards memory and table
// agree rule for rule.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "policydb_fixture_family.h"
#include "policydb_test_env.h"

namespace policydb::test {
namespace {

TEST(FamilyThreads, ReadersWalkWhileTheAdminThreadChangesTheFamily) {
  Tree t;
  t.make_default_db();
  t.sql(kFixtureTable);
  ASSERT_EQ(t.init(), 1);
  Fixture f;
  f.load();
  std::atomic<bool> done{false};
  std::atomic<int> out_of_order{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!done.load()) {
        uint32_t last = 0;
        f.first([&](const FixtureRule& r) {
          if (r.num <= last) out_of_order.fetch_add(1);
          last = r.num;
          return r.url == "/never";
        });
        (void)f.has_rules();
      }
    });
  }
  std::mt19937 rng(7);
  printf("seed 7\n");
  std::vector<uint32_t> ids;
  for (int step = 0; step < 150; ++step) {
    const uint32_t pick = rng() % 4;
    if (pick == 0 || ids.size() < 2) {
      uint32_t id = 0;
      ASSERT_TRUE(f.append(rule(("/r" + std::to_string(step)).c_str()), nullptr, &id));
      ids.push_back(id);
    } else if (pick == 1) {
      ASSERT_TRUE(f.move(ids[rng() % ids.size()], rng() % 2 == 0));
    } else if (pick == 2) {
      const size_t at = rng() % ids.size();
      ASSERT_TRUE(f.remove(ids[at]));
      ids.erase(ids.begin() + static_cast<long>(at));
    } else {
      ASSERT_TRUE(f.modify(ids[rng() % ids.size()], rule(("/m" + std::to_string(step)).c_str()), ""));
    }
  }
  done.store(true);
  for (std::thread& r : readers) r.join();
  EXPECT_EQ(out_of_order.load(), 0);
  std::string memory;
  for (const FixtureRule& r : f.snapshot()) memory += r.url + "|" + std::to_string(r.num) + "\n";
  EXPECT_EQ(memory, t.sql("select url, num from wc_fixture order by num"));
}

}  // namespace
}  // namespace policydb::test
