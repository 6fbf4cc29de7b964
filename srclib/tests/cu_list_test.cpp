#include "cu_list.h"
#include "cu_xmem.h"
#include "cu_xmem_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

namespace {

// Items are small integers carried in the data pointer.
void* item(intptr_t v) { return reinterpret_cast<void*>(v); }
intptr_t value(const void* p) { return reinterpret_cast<intptr_t>(p); }

int32_t ascending(const void* a, const void* b) {
  intptr_t x = value(a), y = value(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

// Walks the list checking that every previous link mirrors the next link before it.
std::vector<intptr_t> contents(cu_list* head) {
  std::vector<intptr_t> out;
  EXPECT_TRUE(!head || head->prev == nullptr);
  for (cu_list* n = head; n; n = n->next) {
    if (n->next) {
      EXPECT_EQ(n->next->prev, n);
    }
    out.push_back(value(n->data));
  }
  return out;
}

cu_list* make_list(std::initializer_list<intptr_t> values) {
  cu_list* head = nullptr;
  for (intptr_t v : values) head = cu_list_append(head, item(v));
  return head;
}

using V = std::vector<intptr_t>;

TEST(CuList, AppendAndNthData) {
  cu_list* head = cu_list_append(nullptr, item(1));
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(cu_list_length(head), 1);
  head = cu_list_append(head, item(2));
  head = cu_list_append(head, item(3));
  EXPECT_EQ(value(cu_list_nth_data(head, 1)), 2);
  EXPECT_EQ(cu_list_nth_data(head, 3), nullptr);
  EXPECT_EQ(value(cu_list_nth_data(head, -4)), 1);
  EXPECT_EQ(cu_list_nth(head, 0), head);
  EXPECT_EQ(cu_list_nth_prev(cu_list_last(head), 2), head);
  EXPECT_EQ(cu_list_nth_prev(head, 1), nullptr);
  EXPECT_EQ(cu_list_first(cu_list_last(head)), head);
  EXPECT_EQ(cu_list_length(nullptr), 0);
  EXPECT_EQ(cu_list_first(nullptr), nullptr);
  cu_list_free_all(head, nullptr, nullptr);
}

struct InsertCase {
  const char* name;
  int32_t position;
  V expected;
};

TEST(CuList, InsertPositions) {
  const InsertCase cases[] = {
      {"negative appends", -1, {1, 2, 3, 9}},
      {"zero becomes head", 0, {9, 1, 2, 3}},
      {"middle", 2, {1, 2, 9, 3}},
      {"at length appends", 3, {1, 2, 3, 9}},
      {"beyond length appends", 50, {1, 2, 3, 9}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cu_list* head = make_list({1, 2, 3});
    head = cu_list_insert(head, item(9), c.position);
    EXPECT_EQ(contents(head), c.expected);
    cu_list_free_all(head, nullptr, nullptr);

    head = make_list({1, 2, 3});
    ASSERT_TRUE(cu_list_insert_s(&head, item(9), c.position));
    EXPECT_EQ(contents(head), c.expected);
    cu_list_free_all(head, nullptr, nullptr);
  }
  cu_list* empty = cu_list_insert(nullptr, item(4), 3);
  EXPECT_EQ(contents(empty), V({4}));
  cu_list_free_all(empty, nullptr, nullptr);
}

TEST(CuList, HeadPointerFormsRefuseNullPointer) {
  EXPECT_FALSE(cu_list_append_s(nullptr, item(1)));
  EXPECT_FALSE(cu_list_insert_last_s(nullptr, item(1)));
  EXPECT_FALSE(cu_list_prepend_s(nullptr, item(1)));
  EXPECT_FALSE(cu_list_insert_s(nullptr, item(1), 0));
  EXPECT_FALSE(cu_list_insert_first_s(nullptr, item(1)));
  EXPECT_FALSE(cu_list_insert_sorted_s(nullptr, item(1), ascending));
}

TEST(CuList, PrependAndInsertFirst) {
  cu_list* head = make_list({1, 2, 3});
  cu_list* second = cu_list_nth(head, 1);
  // Prepending before an inner node links it after that node's predecessor.
  cu_list* fresh = cu_list_prepend(second, item(7));
  EXPECT_EQ(contents(head), V({1, 7, 2, 3}));
  EXPECT_EQ(fresh->data, item(7));
  // insert_first rewinds from any node.
  head = cu_list_insert_first(cu_list_last(head), item(0));
  EXPECT_EQ(contents(head), V({0, 1, 7, 2, 3}));
  ASSERT_TRUE(cu_list_prepend_s(&head, item(-1)));
  ASSERT_TRUE(cu_list_insert_first_s(&head, item(-2)));
  ASSERT_TRUE(cu_list_append_s(&head, item(4)));
  EXPECT_EQ(contents(head), V({-2, -1, 0, 1, 7, 2, 3, 4}));
  cu_list_free_all(head, nullptr, nullptr);
}

TEST(CuList, SortedInsertGoesBeforeEqualItems) {
  int a = 1, b2 = 2, c = 3, new2 = 2;
  auto by_int = [](const void* x, const void* y) -> int32_t {
    return *static_cast<const int*>(x) - *static_cast<const int*>(y);
  };
  cu_list* head = nullptr;
  for (int* p : {&a, &b2, &c}) head = cu_list_append(head, p);
  head = cu_list_insert_sorted(head, &new2, by_int);
  EXPECT_EQ(cu_list_nth_data(head, 1), &new2);
  EXPECT_EQ(cu_list_nth_data(head, 2), &b2);
  // Smaller than all: new head; larger than all: last.
  int zero = 0, nine = 9;
  head = cu_list_insert_sorted(head, &nine, by_int);
  ASSERT_TRUE(cu_list_insert_sorted_s(&head, &zero, by_int));
  EXPECT_EQ(head->data, &zero);
  EXPECT_EQ(cu_list_last(head)->data, &nine);
  // No compare: nothing inserted, the head pointer form still answers true.
  EXPECT_EQ(cu_list_insert_sorted(head, &a, nullptr), head);
  EXPECT_TRUE(cu_list_insert_sorted_s(&head, &a, nullptr));
  EXPECT_EQ(cu_list_length(head), 6);
  cu_list_free_all(head, nullptr, nullptr);

  cu_list* node = cu_list_new();
  node->data = item(5);
  cu_list* sorted = cu_list_insert_link_sorted(make_list({1, 5, 8}), node, ascending);
  EXPECT_EQ(contents(sorted), V({1, 5, 5, 8}));
  EXPECT_EQ(cu_list_nth(sorted, 1), node);
  cu_list_free_all(sorted, nullptr, nullptr);
}

struct Visit {
  cu_list** head;
  std::vector<intptr_t> seen;
};

TEST(CuList, ForeachMayFreeItsOwnNode) {
  cu_list* head = make_list({1, 2, 3, 4});
  Visit v{&head, {}};
  cu_list_foreach(
      head,
      [](void* data, void* arg) {
        auto* visit = static_cast<Visit*>(arg);
        visit->seen.push_back(value(data));
        *visit->head = cu_list_remove(*visit->head, data, nullptr, nullptr);
      },
      &v);
  EXPECT_EQ(v.seen, V({1, 2, 3, 4}));
  EXPECT_EQ(head, nullptr);
}

TEST(CuList, ForeachIfStopsOnlyAtOne) {
  cu_list* head = make_list({1, 2, 3, 4});
  std::vector<intptr_t> seen;
  cu_list_foreach_if(
      head,
      [](void* data, void* arg) -> uint8_t {
        static_cast<std::vector<intptr_t>*>(arg)->push_back(value(data));
        return value(data) == 1 ? 2 : value(data) == 3 ? 1 : 0;
      },
      &seen);
  EXPECT_EQ(seen, V({1, 2, 3}));
  auto is_three = [](void* data, void*) -> uint8_t { return value(data) == 3; };
  EXPECT_EQ(cu_list_find_custom(head, is_three, nullptr), cu_list_nth(head, 2));
  EXPECT_EQ(cu_list_find_custom(head, nullptr, nullptr), head);
  EXPECT_EQ(cu_list_find_custom(cu_list_nth(head, 3), is_three, nullptr), nullptr);
  cu_list_free_all(head, nullptr, nullptr);
}

TEST(CuList, FindIndexPosition) {
  cu_list* head = make_list({5, 6, 5});
  EXPECT_EQ(cu_list_find(head, item(5)), head);
  EXPECT_EQ(cu_list_find(head, item(8)), nullptr);
  EXPECT_EQ(cu_list_index(head, item(6)), 1);
  EXPECT_EQ(cu_list_index(head, item(8)), -1);
  EXPECT_EQ(cu_list_position(head, cu_list_last(head)), 2);
  cu_list* stranger = cu_list_new();
  EXPECT_EQ(cu_list_position(head, stranger), -1);
  cu_list_free_all(stranger, nullptr, nullptr);
  cu_list_free_all(head, nullptr, nullptr);
}

struct Destroyed {
  std::vector<intptr_t> values;
  static void note(void* data, void* arg) { static_cast<Destroyed*>(arg)->values.push_back(value(data)); }
};

TEST(CuList, Removal) {
  Destroyed d;
  cu_list* head = make_list({1, 2, 1, 3, 1});
  head = cu_list_remove(head, item(1), Destroyed::note, &d);
  EXPECT_EQ(contents(head), V({2, 1, 3, 1}));
  head = cu_list_remove(head, item(42), Destroyed::note, &d);
  EXPECT_EQ(contents(head), V({2, 1, 3, 1}));
  head = cu_list_remove_all(head, item(1), Destroyed::note, &d);
  EXPECT_EQ(contents(head), V({2, 3}));
  EXPECT_EQ(d.values, V({1, 1, 1}));

  for (int32_t n : {-1, 2}) head = cu_list_nth_remove(head, n, Destroyed::note, &d);
  EXPECT_EQ(contents(head), V({2, 3}));
  head = cu_list_nth_remove(head, 1, Destroyed::note, &d);
  EXPECT_EQ(contents(head), V({2}));
  EXPECT_EQ(d.values, V({1, 1, 1, 3}));

  head = cu_list_append(head, item(4));
  cu_list* node = head;
  head = cu_list_remove_link_only(head, node);
  EXPECT_EQ(contents(head), V({4}));
  EXPECT_EQ(node->prev, nullptr);
  EXPECT_EQ(node->next, nullptr);
  EXPECT_EQ(cu_list_remove_link_only(head, nullptr), head);
  head = cu_list_concat(head, node);
  EXPECT_EQ(contents(head), V({4, 2}));
  head = cu_list_delete_link_only(head, cu_list_last(head));
  EXPECT_EQ(contents(head), V({4}));
  cu_list_destroy_all(head, Destroyed::note, &d);
  EXPECT_EQ(d.values.back(), 4);
}

TEST(CuList, FreeAllRewindsToTheFirstNode) {
  Destroyed d;
  cu_list* head = make_list({1, 2, 3});
  cu_list_free_all(cu_list_last(head), Destroyed::note, &d);
  EXPECT_EQ(d.values, V({1, 2, 3}));
}

TEST(CuList, ConcatAndReverse) {
  cu_list* b = make_list({3, 4});
  b->prev = reinterpret_cast<cu_list*>(0x1);  // a stale link that concat must clear
  cu_list* joined = cu_list_concat(nullptr, b);
  EXPECT_EQ(joined, b);
  EXPECT_EQ(b->prev, nullptr);
  cu_list* a = make_list({1, 2});
  EXPECT_EQ(cu_list_concat(a, nullptr), a);
  a = cu_list_concat(a, b);
  EXPECT_EQ(contents(a), V({1, 2, 3, 4}));
  a = cu_list_reverse(a);
  EXPECT_EQ(contents(a), V({4, 3, 2, 1}));
  EXPECT_EQ(cu_list_reverse(nullptr), nullptr);
  cu_list_free_all(a, nullptr, nullptr);
}

TEST(CuList, CopyKeepsDataPointers) {
  cu_list* head = make_list({1, 2, 3});
  cu_list* tail_copy = cu_list_copy(cu_list_nth(head, 1));
  EXPECT_EQ(contents(tail_copy), V({2, 3}));
  EXPECT_EQ(cu_list_copy(nullptr), nullptr);
  cu_list_free_all(tail_copy, nullptr, nullptr);
  cu_list_free_all(head, nullptr, nullptr);
}

// A node source that fails once a budget of allocations is spent and knows what it still holds.
struct Budget {
  int left = 0;
  std::set<void*> live;
  static void* alloc(void* pool, uint64_t size) {
    auto* b = static_cast<Budget*>(pool);
    if (b->left-- <= 0) return nullptr;
    void* p = ::operator new(size);
    b->live.insert(p);
    return p;
  }
  static void release(void* pool, void* p) {
    auto* b = static_cast<Budget*>(pool);
    EXPECT_EQ(b->live.erase(p), 1u);
    ::operator delete(p);
  }
  ~Budget() {
    for (void* p : live) ::operator delete(p);
  }
};

TEST(CuList, CopyThatRunsOutOfMemoryAnswersNull) {
  cu_list* head = make_list({1, 2, 3, 4});
  Budget budget;
  budget.left = 2;
  EXPECT_EQ(cu_list_MM_copy(head, Budget::alloc, &budget), nullptr);
  budget.left = 4;
  cu_list* whole = cu_list_MM_copy(head, Budget::alloc, &budget);
  EXPECT_EQ(contents(whole), V({1, 2, 3, 4}));
  cu_list_MM_free_all(whole, nullptr, nullptr, Budget::release, &budget);
  cu_list_free_all(head, nullptr, nullptr);
}

TEST(CuList, InsertionWithoutMemoryLeavesTheListUnchanged) {
  Budget budget;
  cu_list* head = nullptr;
  budget.left = 2;
  head = cu_list_MM_append(head, item(1), Budget::alloc, &budget);
  head = cu_list_MM_append(head, item(2), Budget::alloc, &budget);
  EXPECT_EQ(cu_list_MM_append(head, item(3), Budget::alloc, &budget), head);
  EXPECT_EQ(cu_list_MM_prepend(head, item(3), Budget::alloc, &budget), head);
  EXPECT_EQ(cu_list_MM_insert(head, item(3), 0, Budget::alloc, &budget), head);
  EXPECT_EQ(cu_list_MM_insert_first(head, item(3), Budget::alloc, &budget), head);
  EXPECT_EQ(cu_list_MM_insert_sorted(head, item(3), ascending, Budget::alloc, &budget), head);
  cu_list* before = head;
  EXPECT_FALSE(cu_list_MM_append_s(&head, item(3), Budget::alloc, &budget));
  EXPECT_FALSE(cu_list_MM_prepend_s(&head, item(3), Budget::alloc, &budget));
  EXPECT_FALSE(cu_list_MM_insert_s(&head, item(3), 1, Budget::alloc, &budget));
  EXPECT_FALSE(cu_list_MM_insert_first_s(&head, item(3), Budget::alloc, &budget));
  EXPECT_FALSE(cu_list_MM_insert_sorted_s(&head, item(3), ascending, Budget::alloc, &budget));
  EXPECT_EQ(cu_list_MM_new(Budget::alloc, &budget), nullptr);
  EXPECT_EQ(head, before);
  EXPECT_EQ(contents(head), V({1, 2}));
  cu_list_MM_free_all(head, nullptr, nullptr, Budget::release, &budget);
  EXPECT_TRUE(budget.live.empty());
}

TEST(CuList, SortEdgeCases) {
  for (auto sort : {cu_list_sort, cu_list_sort2}) {
    cu_list* head = make_list({3, 1, 2, 1});
    cu_list* first_one = cu_list_nth(head, 1);
    cu_list* second_one = cu_list_nth(head, 3);
    head = sort(head, ascending);
    EXPECT_EQ(contents(head), V({1, 1, 2, 3}));
    EXPECT_EQ(head, first_one);
    EXPECT_EQ(head->next, second_one);
    EXPECT_EQ(sort(head, nullptr), head);
    EXPECT_EQ(sort(nullptr, ascending), nullptr);
    cu_list_free_all(head, nullptr, nullptr);
  }
  cu_list* a = make_list({1, 3, 5});
  cu_list* b = make_list({2, 3, 6});
  cu_list* b3 = cu_list_nth(b, 1);
  cu_list* merged = cu_list_sort_merge(a, b, ascending);
  EXPECT_EQ(contents(merged), V({1, 2, 3, 3, 5, 6}));
  EXPECT_EQ(cu_list_nth(merged, 3), b3);  // ties take a's node first
  EXPECT_EQ(cu_list_sort_merge(nullptr, nullptr, ascending), nullptr);
  cu_list_free_all(merged, nullptr, nullptr);
}

// Records carry a key and their original position, so stability is visible.
struct Rec {
  int key;
  int seq;
};

int32_t by_key(const void* a, const void* b) {
  int x = static_cast<const Rec*>(a)->key, y = static_cast<const Rec*>(b)->key;
  return x < y ? -1 : x > y ? 1 : 0;
}

std::vector<Rec> random_records(std::mt19937& rng, int n, int spread, int shape) {
  std::vector<Rec> recs(n);
  for (int i = 0; i < n; ++i) recs[i] = {static_cast<int>(rng() % spread), i};
  if (shape == 1) std::stable_sort(recs.begin(), recs.end(), [](auto& x, auto& y) { return x.key < y.key; });
  if (shape == 2) std::reverse(recs.begin(), recs.end());
  for (int i = 0; i < n; ++i) recs[i].seq = i;
  return recs;
}

void expect_stably_sorted(cu_list* head, std::vector<Rec> model) {
  std::stable_sort(model.begin(), model.end(), [](auto& x, auto& y) { return x.key < y.key; });
  ASSERT_EQ(cu_list_length(head), static_cast<int32_t>(model.size()));
  size_t i = 0;
  for (cu_list* n = head; n; n = n->next, ++i) {
    if (n->next) {
      ASSERT_EQ(n->next->prev, n);
    }
    const Rec* r = static_cast<const Rec*>(n->data);
    ASSERT_EQ(r->key, model[i].key);
    ASSERT_EQ(r->seq, model[i].seq);
  }
  ASSERT_TRUE(!head || !head->prev);
}

TEST(CuList, BothSortsMatchStableSortOnRandomData) {
  const unsigned seed = 20261210;
  std::mt19937 rng(seed);
  SCOPED_TRACE(seed);
  for (int round = 0; round < 300; ++round) {
    int n = static_cast<int>(rng() % 120);
    int spread = 1 + static_cast<int>(rng() % 40);
    int shape = static_cast<int>(rng() % 3);
    std::vector<Rec> recs = random_records(rng, n, spread, shape);
    for (int which = 0; which < 2; ++which) {
      cu_list* head = nullptr;
      for (auto& r : recs) head = cu_list_append(head, &r);
      head = which ? cu_list_sort2(head, by_key) : cu_list_sort(head, by_key);
      expect_stably_sorted(head, recs);
      cu_list_free_all(head, nullptr, nullptr);
    }
  }
}

TEST(CuList, Sort2WithoutMemoryFallsBackAndLosesNothing) {
  std::mt19937 rng(7);
  for (int budget_size = 0; budget_size < 12; ++budget_size) {
    SCOPED_TRACE(budget_size);
    std::vector<Rec> recs = random_records(rng, 60, 10, 0);
    cu_list* head = nullptr;
    for (auto& r : recs) head = cu_list_append(head, &r);
    Budget budget;
    budget.left = budget_size;
    head = cu_list_MM_sort2(head, by_key, Budget::alloc, Budget::release, &budget);
    expect_stably_sorted(head, recs);
    EXPECT_TRUE(budget.live.empty());
    cu_list_free_all(head, nullptr, nullptr);
  }
}

TEST(CuList, PoolFormsGiveEveryNodeBack) {
  cu_xmem* pool = cu_xmem_init(64 * 1024, 8);
  ASSERT_NE(pool, nullptr);
  const uint64_t baseline = cu_xmem_used_space_size(pool);
  std::mt19937 rng(11);
  std::vector<Rec> recs = random_records(rng, 50, 8, 0);
  cu_list* head = nullptr;
  for (size_t i = 0; i < recs.size(); ++i) {
    switch (i % 5) {
      case 0: head = cu_list_MM_append(head, &recs[i], cu_xmem__alloc_from, pool); break;
      case 1: ASSERT_TRUE(cu_list_MM_prepend_s(&head, &recs[i], cu_xmem__alloc_from, pool)); break;
      case 2: head = cu_list_MM_insert(head, &recs[i], static_cast<int32_t>(i / 2), cu_xmem__alloc_from, pool); break;
      case 3: ASSERT_TRUE(cu_list_MM_insert_first_s(&head, &recs[i], cu_xmem__alloc_from, pool)); break;
      default: ASSERT_TRUE(cu_list_MM_insert_last_s(&head, &recs[i], cu_xmem__alloc_from, pool)); break;
    }
  }
  EXPECT_GT(cu_xmem_used_space_size(pool), baseline);
  EXPECT_EQ(cu_list_MM_length(head), 50);
  head = cu_list_MM_sort2(head, by_key, cu_xmem__alloc_from, cu_xmem__free_to, pool);
  for (cu_list* n = head; n && n->next; n = n->next) {
    EXPECT_LE(by_key(n->data, n->next->data), 0);
  }
  cu_list* dup = cu_list_MM_copy(head, cu_xmem__alloc_from, pool);
  dup = cu_list_MM_insert_sorted(dup, &recs[0], by_key, cu_xmem__alloc_from, pool);
  dup = cu_list_MM_remove(dup, &recs[3], nullptr, nullptr, cu_xmem__free_to, pool);
  dup = cu_list_MM_remove_all(dup, &recs[0], nullptr, nullptr, cu_xmem__free_to, pool);
  dup = cu_list_MM_nth_remove(dup, 4, nullptr, nullptr, cu_xmem__free_to, pool);
  dup = cu_list_MM_delete_link_only(dup, cu_list_MM_last(dup), cu_xmem__free_to, pool);
  EXPECT_EQ(cu_list_MM_length(dup), 46);
  cu_list_MM_destroy_all(dup, nullptr, nullptr, cu_xmem__free_to, pool);
  cu_list_MM_free_all(head, nullptr, nullptr, cu_xmem__free_to, pool);
  cu_list_MM__free_all(cu_list_MM_new(cu_xmem__alloc_from, pool), nullptr, nullptr, cu_xmem__free_to, pool);
  EXPECT_EQ(cu_xmem_used_space_size(pool), baseline);
  cu_xmem_exit(pool);
}

TEST(CuList, Sort2RecordsOfTheProcessAllocatorNeverReachAPoolReleaser) {
  cu_xmem* pool = cu_xmem_init(64 * 1024, 8);
  const uint64_t baseline = cu_xmem_used_space_size(pool);
  cu_list* head = make_list({5, 4, 3, 2, 1});
  head = cu_list_MM_sort2(head, ascending, nullptr, cu_xmem__free_to, pool);
  EXPECT_EQ(contents(head), V({1, 2, 3, 4, 5}));
  EXPECT_EQ(cu_xmem_used_space_size(pool), baseline);
  cu_list_free_all(head, nullptr, nullptr);
  cu_xmem_exit(pool);
}

TEST(CuList, PrintShowsLengthAndItems) {
  cu_list* head = make_list({1, 2});
  testing::internal::CaptureStdout();
  cu_list_print(head, [](void* data, void* arg) { printf("%d%s\n", static_cast<int>(value(data)), arg ? "!" : ""); });
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "list information below:\nlist length: 2\n1\n2\n");
  cu_list_free_all(head, nullptr, nullptr);
}

}  // namespace
