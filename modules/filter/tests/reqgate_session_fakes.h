// The session cache's questions answered by the test: session rules for every URL, the session
// cookie names, the size limit and the clock.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "policydb.h"
#include "reqgate_session.h"

namespace vor::reqgate::test {

struct FakeRule {
  int32_t lifetime;
  std::string key;
};

struct SessionFakes {
  std::mutex lock;
  std::vector<FakeRule> rules;  // every URL matches all of them, in this order
  std::atomic<uint32_t> limit{UINT32_MAX};
  std::atomic<int64_t> now{1000};
};

inline SessionFakes& fakes() {
  static SessionFakes instance;
  return instance;
}

// Lays list nodes and their data one after the other into the caller's block, as the rules store
// does; a datum that does not fit ends the list.
class BlockList {
 public:
  BlockList(void* block, int32_t size) : at_(static_cast<char*>(block)), end_(at_ + size) {}
  void* append(size_t data_size) {
    const size_t need = round(sizeof(cu_list)) + round(data_size);
    if (static_cast<size_t>(end_ - at_) < need) return nullptr;
    auto* node = reinterpret_cast<cu_list*>(at_);
    void* data = at_ + round(sizeof(cu_list));
    at_ += need;
    *node = cu_list{last_, nullptr, data};
    if (last_) last_->next = node;
    if (!first_) first_ = node;
    last_ = node;
    return data;
  }
  cu_list* first() const { return first_; }

 private:
  static size_t round(size_t n) { return (n + 15) & ~static_cast<size_t>(15); }
  char* at_;
  char* end_;
  cu_list* first_ = nullptr;
  cu_list* last_ = nullptr;
};

inline uint8_t fake_hit_list(const char*, cu_list** list, void* block, int32_t size) {
  std::lock_guard<std::mutex> hold(fakes().lock);
  *list = nullptr;
  if (fakes().rules.empty()) return 0;
  BlockList out(block, size);
  for (const FakeRule& rule : fakes().rules) {
    auto* entry = static_cast<scache_hit_entry*>(out.append(offsetof(scache_hit_entry, name) + rule.key.size() + 1));
    if (!entry) break;
    entry->expire = rule.lifetime;
    std::memcpy(entry->name, rule.key.c_str(), rule.key.size() + 1);
  }
  *list = out.first();
  return 1;
}

// The distinct cookie names of the rules, in first-met order.
inline cu_list* fake_session_ids(void* block, int32_t size) {
  std::lock_guard<std::mutex> hold(fakes().lock);
  BlockList out(block, size);
  std::vector<std::string> seen;
  for (const FakeRule& rule : fakes().rules) {
    if (std::find(seen.begin(), seen.end(), rule.key) != seen.end()) continue;
    seen.push_back(rule.key);
    auto* name = static_cast<char*>(out.append(rule.key.size() + 1));
    if (!name) break;
    std::memcpy(name, rule.key.c_str(), rule.key.size() + 1);
  }
  return out.first();
}

inline void set_rules(std::vector<FakeRule> rules) {
  std::lock_guard<std::mutex> hold(fakes().lock);
  fakes().rules = std::move(rules);
}

// Installs the fakes and a fresh store with the geometry given.
inline void fresh_session_store(const SessionGeometry& geometry = {}) {
  session_questions() = SessionQuestions{fake_hit_list, fake_session_ids, [] { return fakes().limit.load(); },
                                         [] { return fakes().now.load(); }};
  session_store_destroy();
  session_store_init(geometry);
  fakes().limit = UINT32_MAX;
  fakes().now = 1000;
  set_rules({});
}

}  // namespace vor::reqgate::test
