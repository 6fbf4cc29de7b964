// The store against a model: random stores, tagged reads, access counts, expiry refreshes and
// purges on pools small enough that the replacement runs often, compared with a map of the last
// version stored per url after every step. The replacement may drop entries, never change one.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "memstore_test_env.h"

namespace vor::memstore::test {
namespace {

struct Version {
  std::string body;
  std::string head;
  uint32_t type = 0;
  uint32_t expire = 0;
  long count = 1;
  std::string tag;
};
using Model = std::map<std::string, Version>;  // url -> last version stored

class ModelRun {
 public:
  explicit ModelRun(uint32_t seed) : rng_(seed), store_(make_store(3, quiet())) {
    world().random_state = seed | 1;
    baseline_ = store_->pool_use();
  }

  void step(int i) {
    world().clock += pick(0, 30);
    const Kind kind = kKinds[pick(0, 2)];
    const std::string url = "h/" + std::to_string(pick(0, 24));
    const int op = pick(0, 99);
    if (op < 40) {
      store(kind, url, i);
      return;
    }
    if (op < 60)
      read(kind, url);
    else if (op < 68)
      count(kind, url);
    else if (op < 76)
      refresh(kind, url);
    else
      purge(kind, url);
    expect_same(kind, /*exact=*/true);
  }

  void finish() {
    for (Kind kind : kKinds) {
      store_->clean_all(kind);
      models_[static_cast<int>(kind)].clear();
      expect_same(kind, true);
    }
    const PoolUse use = store_->pool_use();
    EXPECT_EQ(use.body, baseline_.body);
    EXPECT_EQ(use.node, baseline_.node);
    EXPECT_EQ(use.entry, baseline_.entry);
    EXPECT_EQ(use.head, baseline_.head);
    EXPECT_EQ(store_->cache_size(), 0u);
  }

 private:
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
  Model& model(Kind kind) { return models_[static_cast<int>(kind)]; }

  std::string tag_of(Kind kind, const std::string& url) {
    char tag[17];
    return store_->check(kind, url.c_str(), nullptr, tag) ? std::string(tag) : std::string();
  }

  void store(Kind kind, const std::string& url, int version) {
    Version v;
    v.body = pattern(static_cast<size_t>(pick(0, 3) == 0 ? pick(0, 100) : pick(1000, 40000)), version);
    v.head = "HTTP/1.1 200 OK\r\nX-Version: " + std::to_string(version) + "\r\n\r\n";
    v.type = static_cast<uint32_t>(pick(0, 1));
    v.expire = static_cast<uint32_t>(1800000000 + version);
    const std::string old_tag = tag_of(kind, url);
    CallerBody caller;
    store_->set_data_x(kind, v.type, url.c_str(), v.head.c_str(), caller.with(v.body), v.expire,
                       static_cast<uint8_t>(pick(0, 1)));
    EXPECT_TRUE(caller.drained());
    v.tag = tag_of(kind, url);
    if (v.tag.empty()) {
      model(kind).erase(url);  // a failed store leaves the url absent
    } else {
      EXPECT_NE(v.tag, old_tag);
      model(kind)[url] = v;
    }
    // The replacement may have dropped any entry of any table, never changed one.
    for (Kind k : kKinds) expect_same(k, /*exact=*/false);
  }

  void read(Kind kind, const std::string& url) {
    auto it = model(kind).find(url);
    std::string buffer(50000, '#');
    if (it == model(kind).end()) {
      EXPECT_EQ(store_->get_data(kind, url.c_str(), true, nullptr, nullptr, 0, 0, 10, buffer.data()), -1);
      return;
    }
    Version& v = it->second;
    EXPECT_EQ(store_->get_data(kind, url.c_str(), true, "stale-tag-000000", nullptr, 0, 0, 10, buffer.data()), -1);
    const uint32_t len = static_cast<uint32_t>(v.body.size());
    const uint32_t from = static_cast<uint32_t>(pick(0, static_cast<int>(len)));
    const uint32_t to = from + static_cast<uint32_t>(pick(0, 5000));
    const bool with_head = pick(0, 3) == 0;
    char head[256];
    const int32_t n = store_->get_data(kind, url.c_str(), true, v.tag.c_str(), with_head ? head : nullptr, 255, from,
                                       to, buffer.data());
    const size_t expect = from < len ? std::min<size_t>(to - from, len - from) : 0;
    ASSERT_EQ(n, static_cast<int32_t>(expect));
    EXPECT_EQ(buffer.substr(0, expect), v.body.substr(std::min<size_t>(from, len), expect));
    if (with_head) {
      EXPECT_EQ(std::string(head), v.head);
    }
    if (with_head || (from < to && to >= len)) ++v.count;
  }

  void count(Kind kind, const std::string& url) {
    auto it = model(kind).find(url);
    const bool own_tag = pick(0, 1) == 0;
    const char* tag = it != model(kind).end() && own_tag ? it->second.tag.c_str() : nullptr;
    const bool counted = store_->add_access(kind, url.c_str(), tag);
    EXPECT_EQ(counted, it != model(kind).end());
    if (counted) ++it->second.count;
  }

  void refresh(Kind kind, const std::string& url) {
    const uint32_t expire = static_cast<uint32_t>(pick(1, 2000000000));
    auto it = model(kind).find(url);
    EXPECT_EQ(store_->refresh_expire(kind, url.c_str(), expire), it != model(kind).end());
    if (it != model(kind).end()) it->second.expire = expire;
  }

  void purge(Kind kind, const std::string& url) {
    Model& m = model(kind);
    switch (pick(0, 5)) {
      case 0:
        store_->clean_this(kind, url.c_str());
        m.erase(url);
        break;
      case 1: {
        const uint8_t type = static_cast<uint8_t>(pick(0, 1));
        store_->clean_type(kind, type);
        std::erase_if(m, [type](const auto& e) { return e.second.type == type; });
        break;
      }
      case 2: {
        const std::string prefix = "h/" + std::to_string(pick(0, 2));
        EXPECT_TRUE(store_->clean_rules(kind, (prefix + "*").c_str(), 0, 0));
        std::erase_if(m, [&](const auto& e) { return e.first.rfind(prefix, 0) == 0; });
        break;
      }
      case 3: {
        EXPECT_TRUE(store_->clean_rules(kind, "^H/1[0-9]$", 1, 1));
        std::erase_if(m, [](const auto& e) { return e.first.size() == 4 && e.first[2] == '1'; });
        break;
      }
      case 4: {
        {
          std::lock_guard<std::mutex> hold(world().mu);
          world().rcache = {url};
        }
        store_->refresh_rcache(kind);
        m.erase(url);
        break;
      }
      default:
        if (pick(0, 4) == 0) {
          store_->clean_all(kind);
          m.clear();
        }
        break;
    }
  }

  // Every listed entry is the model's last version of its url; exact: nothing else is missing.
  void expect_same(Kind kind, bool exact) {
    Model& m = model(kind);
    const std::map<std::string, long> listed = counts_of(*store_, kind);
    for (const auto& [url, count] : listed) {
      auto it = m.find(url);
      ASSERT_NE(it, m.end()) << url;
      const Version& v = it->second;
      EXPECT_EQ(tag_of(kind, url), v.tag);
      EXPECT_EQ(store_->get_expire(kind, url.c_str()), v.expire);
      EXPECT_EQ(count, v.count) << url;
    }
    if (!exact) std::erase_if(m, [&](const auto& e) { return listed.count(e.first) == 0; });
    EXPECT_EQ(m.size(), listed.size());
    EXPECT_EQ(store_->table_count(kind), listed.size());
    EXPECT_EQ(store_->entry_total(), store_->table_count(Kind::kPublic) + store_->table_count(Kind::kMember) +
                                         store_->table_count(Kind::kVisitor));
  }

  std::mt19937 rng_;
  std::unique_ptr<Store> store_;
  Model models_[3];
  PoolUse baseline_{};
};

TEST(Model, RandomOperationsMatchTheLastVersionStoredPerUrl) {
  for (uint32_t seed : {1u, 2u, 3u, 20261210u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    ModelRun run(seed);
    for (int i = 0; i < 1500 && !::testing::Test::HasFatalFailure(); ++i) run.step(i);
    run.finish();
    if (::testing::Test::HasFailure()) break;
  }
}

}  // namespace
}  // namespace vor::memstore::test
