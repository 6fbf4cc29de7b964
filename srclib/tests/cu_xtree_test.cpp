#include "cu_xtree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cu_i64tree.h"
#include "cu_malloc.h"
#include "cu_mem.h"
#include "cu_rtree.h"
#include "tree_check.h"

namespace {

void* val(intptr_t v) { return reinterpret_cast<void*>(v); }
intptr_t num(void* v) { return reinterpret_cast<intptr_t>(v); }

std::vector<int32_t> itree_keys(cu_itree* t) {
  std::vector<int32_t> keys;
  cu_itree_traverse(
      t,
      [](void* key, void*, void* out) -> uint8_t {
        static_cast<std::vector<int32_t>*>(out)->push_back(static_cast<int32_t>(reinterpret_cast<intptr_t>(key)));
        return 0;
      },
      &keys);
  return keys;
}

void expect_same(cu_itree* t, const std::map<int32_t, intptr_t>& model) {
  ASSERT_EQ(tree_check::check(t), "");
  ASSERT_EQ(cu_itree_nnodes(t), static_cast<int32_t>(model.size()));
  std::vector<std::pair<int32_t, intptr_t>> got;
  cu_itree_traverse(
      t,
      [](void* key, void* value, void* out) -> uint8_t {
        static_cast<std::vector<std::pair<int32_t, intptr_t>>*>(out)->emplace_back(
            static_cast<int32_t>(reinterpret_cast<intptr_t>(key)), num(value));
        return 0;
      },
      &got);
  const std::vector<std::pair<int32_t, intptr_t>> want(model.begin(), model.end());
  ASSERT_EQ(got, want);
}

TEST(XTree, RandomOperationsMatchStdMap) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    cu_itree* t = cu_itree_malloc();
    std::map<int32_t, intptr_t> model;
    for (int step = 0; step < 3000; ++step) {
      const int32_t key = static_cast<int32_t>(rng() % 200) - 100;
      const intptr_t value = static_cast<intptr_t>(rng() % 100000);
      switch (rng() % 6) {
        case 0:
        case 1:
          ASSERT_TRUE(cu_itree_insert(t, key, val(value)));
          model[key] = value;
          break;
        case 2:
          ASSERT_TRUE(cu_xtree_replace(t, val(key), val(value)));
          model[key] = value;
          break;
        case 3:
          ASSERT_EQ(cu_itree_delete(t, key), model.erase(key) == 1);
          break;
        case 4:
          ASSERT_EQ(cu_xtree_steal(t, val(key)), model.erase(key) == 1);
          break;
        default: {
          void* got = nullptr;
          const auto it = model.find(key);
          ASSERT_EQ(cu_itree_find(t, key, &got), it != model.end());
          if (it != model.end()) {
            ASSERT_EQ(num(got), it->second);
          }
        }
      }
      expect_same(t, model);
      if (HasFatalFailure()) return;
    }
    cu_itree_free(t);
  }
}

std::string shape_of(const cu_xtree_node* n) {
  if (!n) return ".";
  std::string s = std::to_string(reinterpret_cast<intptr_t>(n->key)) + ":" + std::to_string(n->balance) + "(";
  s += n->is_child[0] ? shape_of(n->link[0]) : ".";
  s += ",";
  s += n->is_child[1] ? shape_of(n->link[1]) : ".";
  return s + ")";
}

// Every insertion order of 1..n (n <= 7), checked after each insert; from every distinct tree
// those orders build, every removal order down to the empty tree, checked after each removal.
TEST(XTree, EveryInsertionAndDeletionOrderUpToSeven) {
  // Trees in a scratch arena: a million short-lived nodes would otherwise make and return a
  // size-class page of the process allocator on almost every call.
  alignas(16) static uint8_t scratch[8192];
  auto fresh_tree = [] { return cu_itree_mallocx(cu_mem_init(scratch, sizeof scratch)); };
  for (int n = 1; n <= 7; ++n) {
    std::vector<int32_t> ins(n);
    std::iota(ins.begin(), ins.end(), 1);
    std::set<std::string> shapes;
    do {
      cu_itree* t = fresh_tree();
      for (int32_t k : ins) {
        cu_itree_insert(t, k, val(k));
        ASSERT_EQ(tree_check::check(t), "");
      }
      const bool new_shape = shapes.insert(shape_of(t->root)).second;
      cu_itree_free(t);
      if (!new_shape) continue;
      std::vector<int32_t> del(ins.begin(), ins.end());
      std::sort(del.begin(), del.end());
      do {
        t = fresh_tree();
        for (int32_t k : ins) cu_itree_insert(t, k, val(k));
        for (size_t i = 0; i < del.size(); ++i) {
          ASSERT_TRUE(cu_itree_delete(t, del[i]));
          ASSERT_EQ(tree_check::check(t), "");
          ASSERT_EQ(cu_itree_nnodes(t), n - static_cast<int>(i) - 1);
          ASSERT_FALSE(cu_itree_find(t, del[i], nullptr));
        }
        ASSERT_EQ(t->root, nullptr);
        cu_itree_free(t);
      } while (std::next_permutation(del.begin(), del.end()));
    } while (std::next_permutation(ins.begin(), ins.end()));
    EXPECT_GE(shapes.size(), 1u);
  }
}

TEST(XTree, HeightOfSevenAscendingKeysIsThree) {
  cu_itree* t = cu_itree_malloc();
  EXPECT_EQ(cu_xtree_height(t), 0);
  for (int32_t k = 1; k <= 7; ++k) cu_itree_insert(t, k, nullptr);
  EXPECT_EQ(cu_xtree_height(t), 3);
  int real = 0;
  ASSERT_EQ(tree_check::check(t, &real), "");
  EXPECT_EQ(real, 3);
  for (int32_t k = 8; k <= 1000; ++k) cu_itree_insert(t, k, nullptr);
  ASSERT_EQ(tree_check::check(t, &real), "");
  EXPECT_EQ(cu_itree_height(t), real);
  cu_itree_free(t);
}

TEST(XTree, RemovingRootOfThreeLeavesBothOthersInOrder) {
  cu_itree* t = cu_itree_malloc();
  for (int32_t k : {2, 1, 3}) cu_itree_insert(t, k, val(k));
  ASSERT_TRUE(cu_itree_delete(t, 2));
  ASSERT_EQ(tree_check::check(t), "");
  EXPECT_EQ(itree_keys(t), (std::vector<int32_t>{1, 3}));
  cu_itree_free(t);
}

TEST(XTree, ItreeKeysOrderBySignedValueEvenFarApart) {
  cu_itree* t = cu_itree_malloc();
  for (int32_t k : {7, -5, 0, INT32_MAX, INT32_MIN}) cu_itree_insert(t, k, nullptr);
  EXPECT_EQ(itree_keys(t), (std::vector<int32_t>{INT32_MIN, -5, 0, 7, INT32_MAX}));
  ASSERT_EQ(tree_check::check(t), "");
  cu_itree_free(t);
}

TEST(XTree, InsertOfExistingKeyReplacesValueKeepsCount) {
  cu_itree* t = cu_itree_malloc();
  EXPECT_TRUE(cu_itree_insert(t, 4, val(1)));
  EXPECT_TRUE(cu_itree_insert(t, 4, val(2)));
  void* v = nullptr;
  EXPECT_TRUE(cu_itree_find(t, 4, &v));
  EXPECT_EQ(num(v), 2);
  EXPECT_EQ(cu_itree_nnodes(t), 1);
  EXPECT_FALSE(cu_itree_update(t, 5, val(3)));
  EXPECT_TRUE(cu_itree_update(t, 4, val(3)));
  EXPECT_TRUE(cu_itree_find(t, 4, &v));
  EXPECT_EQ(num(v), 3);
  cu_itree_free(t);
}

struct Destroyed {
  std::vector<intptr_t> keys, values;
};

TEST(XTree, DestroyFunctionsRunOnKeysAndValuesThatLeave) {
  Destroyed d;
  auto key_destroy = [](void* k, void* data) { static_cast<Destroyed*>(data)->keys.push_back(num(k)); };
  auto value_destroy = [](void* v, void* data) { static_cast<Destroyed*>(data)->values.push_back(num(v)); };
  auto cmp = [](void* n, void* k, void*) -> int64_t { return (num(k) > num(n)) - (num(k) < num(n)); };
  cu_xtree* t = cu_xtree_new_full(nullptr, nullptr, nullptr, cmp, nullptr, key_destroy, &d, value_destroy, &d);
  ASSERT_NE(t, nullptr);
  cu_xtree_insert(t, val(1), val(10));
  cu_xtree_insert(t, val(1), val(11));  // the key passed in is destroyed, the old value too
  EXPECT_EQ(d.keys, std::vector<intptr_t>{1});
  EXPECT_EQ(d.values, std::vector<intptr_t>{10});
  cu_xtree_replace(t, val(1), val(12));
  EXPECT_EQ(d.values, (std::vector<intptr_t>{10, 11}));
  cu_xtree_insert(t, val(2), val(20));
  EXPECT_TRUE(cu_xtree_steal(t, val(2)));
  EXPECT_EQ(d.values.size(), 2u);
  cu_xtree_insert(t, val(3), val(30));
  EXPECT_TRUE(cu_xtree_delete(t, val(3)));
  EXPECT_EQ(d.values.back(), 30);
  cu_xtree_destroy(t);
  EXPECT_EQ(d.values.back(), 12);
  EXPECT_EQ(d.keys.size(), 4u);
  EXPECT_EQ(cu_xtree_new_full(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
            nullptr);
}

TEST(XTree, FindxAnswersStoredKeyAndValue) {
  cu_stree* t = cu_stree_malloc();
  cu_stree_insert(t, "name", val(3));
  const std::string probe = "name";
  void* key = nullptr;
  void* value = nullptr;
  ASSERT_TRUE(cu_xtree_findx(t, const_cast<char*>(probe.c_str()), &key, &value));
  EXPECT_STREQ(static_cast<char*>(key), "name");
  EXPECT_NE(key, static_cast<const void*>(probe.c_str()));  // the node's own copy
  EXPECT_EQ(num(value), 3);
  EXPECT_TRUE(cu_xtree_findx(t, const_cast<char*>("name"), nullptr, nullptr));
  EXPECT_FALSE(cu_xtree_findx(t, const_cast<char*>("nam"), &key, &value));
  EXPECT_EQ(num(cu_xtree_find(t, const_cast<char*>("name"))), 3);
  cu_stree_free(t);
}

TEST(XTree, TraverseOrdersAndStops) {
  cu_itree* t = cu_itree_malloc();
  for (int32_t k : {2, 1, 3}) cu_itree_insert(t, k, nullptr);
  auto collect = [](void* key, void*, void* out) -> uint8_t {
    static_cast<std::vector<intptr_t>*>(out)->push_back(num(key));
    return 0;
  };
  std::vector<intptr_t> pre, in, post;
  cu_xtree_traverse(t, collect, M_TRAVERSE_PRE_ORDER, &pre);
  cu_xtree_traverse(t, collect, M_TRAVERSE_IN_ORDER, &in);
  cu_xtree_traverse(t, collect, M_TRAVERSE_POST_ORDER, &post);
  EXPECT_EQ(pre, (std::vector<intptr_t>{2, 1, 3}));
  EXPECT_EQ(in, (std::vector<intptr_t>{1, 2, 3}));
  EXPECT_EQ(post, (std::vector<intptr_t>{1, 3, 2}));

  // An answer of 2 stops cu_xtree_traverse but not foreach-style walks.
  int calls = 0;
  auto answer_two = [](void*, void*, void* n) -> uint8_t {
    ++*static_cast<int*>(n);
    return 2;
  };
  cu_xtree_traverse(t, answer_two, M_TRAVERSE_IN_ORDER, &calls);
  EXPECT_EQ(calls, 1);
  calls = 0;
  cu_itree_traverse(t, answer_two, &calls);
  EXPECT_EQ(calls, 3);

  testing::internal::CaptureStdout();
  calls = 0;
  cu_xtree_traverse(t, answer_two, M_TRAVERSE_LEVEL_ORDER, &calls);
  cu_xtree_traverse(t, answer_two, 7, &calls);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "cu_xtree_traverse(): traverse type M_TRAVERSE_LEVEL_ORDER isn't implemented.");
  EXPECT_EQ(calls, 0);
  cu_itree* empty = cu_itree_malloc();
  testing::internal::CaptureStdout();
  cu_xtree_traverse(empty, answer_two, M_TRAVERSE_LEVEL_ORDER, &calls);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  cu_itree_free(empty);
  cu_itree_free(t);
}

TEST(XTree, SearchDescendsByCallback) {
  cu_itree* t = cu_itree_malloc();
  for (int32_t k = 0; k < 50; ++k) cu_itree_insert(t, k, val(k * 10));
  auto find37 = [](void* key, void*, void*) -> int64_t { return 37 - num(key); };
  EXPECT_EQ(num(cu_xtree_search(t, find37, nullptr)), 370);
  auto never = [](void*, void*, void*) -> int64_t { return 1; };
  EXPECT_EQ(cu_xtree_search(t, never, nullptr), nullptr);
  cu_itree_free(t);
}

TEST(STree, TextKeysAreCopiedAndOrderedByUnsignedBytes) {
  cu_stree* t = cu_stree_malloc();
  std::string mutable_key = "alpha";
  EXPECT_TRUE(cu_stree_insert(t, mutable_key.c_str(), val(1)));
  mutable_key[0] = 'X';
  EXPECT_TRUE(cu_stree_find(t, "alpha", nullptr));
  EXPECT_TRUE(cu_stree_insert(t, "", val(2)));
  EXPECT_TRUE(cu_stree_insert(t, "z", val(3)));
  EXPECT_TRUE(cu_stree_insert(t, "\xE4x", val(4)));
  EXPECT_FALSE(cu_stree_insert(t, nullptr, val(5)));
  void* v = nullptr;
  EXPECT_TRUE(cu_stree_find(t, "", &v));
  EXPECT_EQ(num(v), 2);
  std::vector<std::string> keys;
  cu_stree_traverse(
      t,
      [](void* key, void*, void* out) -> uint8_t {
        static_cast<std::vector<std::string>*>(out)->push_back(static_cast<char*>(key));
        return 0;
      },
      &keys);
  EXPECT_EQ(keys, (std::vector<std::string>{"", "alpha", "z", "\xE4x"}));
  EXPECT_TRUE(cu_stree_update(t, "z", val(9)));
  EXPECT_FALSE(cu_stree_update(t, "zz", val(9)));
  EXPECT_FALSE(cu_stree_find(t, nullptr, nullptr));
  EXPECT_TRUE(cu_stree_delete(t, "alpha"));
  EXPECT_FALSE(cu_stree_delete(t, "alpha"));
  ASSERT_EQ(tree_check::check(t), "");
  cu_stree_free(t);
}

TEST(STree, InsertxStoresAndFindsTheCutKey) {
  cu_stree* t = cu_stree_malloc();
  EXPECT_TRUE(cu_stree_insertx(t, "m", 1, val(1)));
  EXPECT_TRUE(cu_stree_insertx(t, "host:8080", 4, val(2)));
  EXPECT_TRUE(cu_stree_insertx(t, "b", 5, val(3)));  // length past the NUL stops at it
  EXPECT_FALSE(cu_stree_insertx(t, "x", -1, val(4)));
  void* v = nullptr;
  EXPECT_TRUE(cu_stree_find(t, "host", &v));
  EXPECT_EQ(num(v), 2);
  EXPECT_FALSE(cu_stree_find(t, "host:8080", nullptr));
  EXPECT_TRUE(cu_stree_find(t, "b", nullptr));
  ASSERT_EQ(tree_check::check(t), "");
  // Inserting the whole text again is a different key; the cut one is updated in place.
  EXPECT_TRUE(cu_stree_insertx(t, "host:9", 4, val(5)));
  EXPECT_EQ(cu_stree_nnodes(t), 3);
  EXPECT_TRUE(cu_stree_find(t, "host", &v));
  EXPECT_EQ(num(v), 5);
  cu_stree_free(t);
}

TEST(STree, InsertxReadsNothingPastTheLength) {
  cu_stree* t = cu_stree_malloc();
  // A key at the very end of its buffer, with no NUL after it.
  std::unique_ptr<char[]> key(new char[4]);
  std::memcpy(key.get(), "host", 4);
  EXPECT_TRUE(cu_stree_insertx(t, key.get(), 4, val(1)));
  void* v = nullptr;
  EXPECT_TRUE(cu_stree_find(t, "host", &v));
  EXPECT_EQ(num(v), 1);
  cu_stree_free(t);
}

TEST(STree, ValueCallbacksWalkInOrderAndStopOnOne) {
  cu_stree* t = cu_stree_malloc();
  for (const char* k : {"c", "a", "b"}) cu_stree_insert(t, k, const_cast<char*>(k));
  std::string seen;
  cu_stree_foreach(
      t, [](void* v, void* out) { *static_cast<std::string*>(out) += static_cast<char*>(v); }, &seen);
  EXPECT_EQ(seen, "abc");
  cu_stree_foreach(t, nullptr, nullptr);
  seen.clear();
  cu_stree_foreach_if(
      t,
      [](void* v, void* out) -> uint8_t {
        *static_cast<std::string*>(out) += static_cast<char*>(v);
        return static_cast<char*>(v)[0] == 'b' ? 1 : 2;
      },
      &seen);
  EXPECT_EQ(seen, "ab");
  cu_stree_foreach_if(t, nullptr, nullptr);
  int destroyed = 0;
  EXPECT_TRUE(cu_stree_deletex(t, "a", [](void*, void* n) { ++*static_cast<int*>(n); }, &destroyed));
  EXPECT_FALSE(cu_stree_deletex(t, "a", [](void*, void* n) { ++*static_cast<int*>(n); }, &destroyed));
  EXPECT_EQ(destroyed, 1);
  cu_stree_emptyx(t, [](void*, void* n) { ++*static_cast<int*>(n); }, &destroyed);
  EXPECT_EQ(destroyed, 3);
  EXPECT_EQ(cu_stree_nnodes(t), 0);
  cu_stree_insert(t, "again", nullptr);
  cu_stree_freex(t, [](void*, void* n) { ++*static_cast<int*>(n); }, &destroyed);
  EXPECT_EQ(destroyed, 4);
}

TEST(XTree, NullTreeAnswersNothing) {
  EXPECT_FALSE(cu_itree_insert(nullptr, 1, nullptr));
  EXPECT_FALSE(cu_stree_find(nullptr, "a", nullptr));
  EXPECT_EQ(cu_xtree_find(nullptr, nullptr), nullptr);
  EXPECT_EQ(cu_xtree_height(nullptr), 0);
  EXPECT_EQ(cu_i64tree_nnodes(nullptr), 0);
  EXPECT_TRUE(cu_rtree_delete(nullptr, 5));
  EXPECT_TRUE(cu_rtree_deletex(nullptr, 5, nullptr, nullptr));
  cu_xtree_destroy(nullptr);
  cu_stree_freex(nullptr, nullptr, nullptr);
}

TEST(XTree, TreesInAnArenaAllocateOnlyThere) {
  alignas(16) static uint8_t block[16384];
  cu_mem* arena = cu_mem_init(block, sizeof block);
  cu_stree* t = cu_stree_mallocx(arena);
  ASSERT_NE(t, nullptr);
  const uint64_t before = cu_mem_used_chunk_count(arena);
  for (int i = 0; i < 50; ++i) cu_stree_insert(t, std::to_string(i).c_str(), nullptr);
  EXPECT_EQ(cu_mem_used_chunk_count(arena), before + 50);
  cu_stree_free(t);
  EXPECT_EQ(cu_mem_used_chunk_count(arena), 0u);
}

TEST(I64Tree, KeysFarApartKeepSignedOrder) {
  cu_i64tree* t = cu_i64tree_malloc();
  std::map<int64_t, intptr_t> model;
  std::mt19937_64 rng(7);
  for (int i = 0; i < 2000; ++i) {
    const int64_t key = static_cast<int64_t>(rng());
    if (rng() % 3 == 0 && !model.empty()) {
      const int64_t victim = model.begin()->first;
      EXPECT_TRUE(cu_i64tree_delete(t, victim));
      model.erase(victim);
    } else {
      cu_i64tree_insert(t, key, val(i));
      model[key] = i;
    }
  }
  for (int64_t k : {INT64_MIN, INT64_MAX, int64_t{0}}) {
    cu_i64tree_insert(t, k, val(-1));
    model[k] = -1;
  }
  ASSERT_EQ(tree_check::check(t), "");
  std::vector<int64_t> keys;
  cu_i64tree_traverse(
      t,
      [](void* key, void*, void* out) -> uint8_t {
        static_cast<std::vector<int64_t>*>(out)->push_back(reinterpret_cast<intptr_t>(key));
        return 0;
      },
      &keys);
  std::vector<int64_t> want;
  for (const auto& [k, v] : model) want.push_back(k);
  EXPECT_EQ(keys, want);
  EXPECT_EQ(cu_i64tree_realkey(-42), -42);
  void* v = nullptr;
  EXPECT_TRUE(cu_i64tree_find(t, INT64_MIN, &v));
  EXPECT_TRUE(cu_i64tree_update(t, INT64_MIN, val(5)));
  EXPECT_TRUE(cu_i64tree_deletex(t, INT64_MIN, [](void*, void*) {}, nullptr));
  EXPECT_FALSE(cu_i64tree_find(t, INT64_MIN, nullptr));
  cu_i64tree_free(t);
}

// ---- range tree ----

struct RangeInsertCase {
  int64_t low, high;
  bool ok;
};

TEST(RTree, InsertRefusesEveryOverlap) {
  const RangeInsertCase cases[] = {
      {15, 30, false}, {12, 14, false}, {0, 10, false}, {20, 20, false}, {5, 25, false},
      {21, 30, true},  {0, 9, true},    {31, 31, true}, {40, 35, false},  // inverted: refused
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.low) + ".." + std::to_string(c.high));
    cu_rtree* t = cu_rtree_malloc();
    ASSERT_TRUE(cu_rtree_insert(t, 10, 20, val(1)));
    EXPECT_EQ(cu_rtree_insert(t, c.low, c.high, val(2)), c.ok);
    cu_rtree_free(t);
  }
  cu_rtree* t = cu_rtree_malloc();
  cu_rtree_insert(t, 10, 20, val(1));
  cu_rtree_insert(t, 21, 30, val(2));
  cu_rtree_insert(t, 50, 50, val(3));
  void* v = nullptr;
  EXPECT_TRUE(cu_rtree_find(t, 20, &v));
  EXPECT_EQ(num(v), 1);
  EXPECT_TRUE(cu_rtree_find(t, 21, &v));
  EXPECT_EQ(num(v), 2);
  EXPECT_TRUE(cu_rtree_find(t, 50, &v));
  EXPECT_FALSE(cu_rtree_find(t, 49, nullptr));
  EXPECT_FALSE(cu_rtree_find(t, 51, nullptr));
  EXPECT_TRUE(cu_rtree_findx(t, 12, 18, &v));
  EXPECT_EQ(num(v), 1);
  EXPECT_TRUE(cu_rtree_findx(t, 0, 100, nullptr));
  cu_rtree_free(t);
}

TEST(RTree, MatchesBruteForceIntervalList) {
  std::mt19937_64 rng(11);
  const int64_t bases[] = {0, -(int64_t{1} << 40), int64_t{3} << 31, INT64_MAX - 100000, INT64_MIN};
  for (int64_t base : bases) {
    SCOPED_TRACE("base " + std::to_string(base));
    cu_rtree* t = cu_rtree_malloc();
    std::vector<std::pair<int64_t, int64_t>> list;
    auto overlaps = [&](int64_t lo, int64_t hi) {
      for (auto& r : list)
        if (lo <= r.second && r.first <= hi) return true;
      return false;
    };
    for (int step = 0; step < 1500; ++step) {
      const int64_t lo = base + static_cast<int64_t>(rng() % 20000);
      const int64_t hi = lo + static_cast<int64_t>(rng() % 60);
      if (rng() % 4 == 0) {
        const int64_t point = base + static_cast<int64_t>(rng() % 20000);
        int destroyed = 0;
        cu_rtree_deletex(t, point, [](void*, void* n) { ++*static_cast<int*>(n); }, &destroyed);
        const auto before = list.size();
        std::erase_if(list, [&](auto& r) { return r.first <= point && point <= r.second; });
        ASSERT_EQ(static_cast<size_t>(destroyed), before - list.size());
      } else {
        const bool ok = !overlaps(lo, hi);
        ASSERT_EQ(cu_rtree_insert(t, lo, hi, val(lo)), ok);
        if (ok) list.emplace_back(lo, hi);
      }
      ASSERT_EQ(tree_check::check(t), "");
      ASSERT_EQ(cu_rtree_nnodes(t), static_cast<int32_t>(list.size()));
      const int64_t probe = base + static_cast<int64_t>(rng() % 20000);
      void* v = nullptr;
      const auto hit = std::find_if(list.begin(), list.end(),
                                    [&](auto& r) { return r.first <= probe && probe <= r.second; });
      ASSERT_EQ(cu_rtree_find(t, probe, &v), hit != list.end());
      if (hit != list.end()) {
        ASSERT_EQ(num(v), hit->first);
      }
    }
    cu_rtree_free(t);
  }
}

}  // namespace
