#include "cu_xhash.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

char A, B, C, D;

// The integer tables share one set of behaviours; the adapter lets each test run on both.
template <typename T, typename K>
struct IntOps;

template <>
struct IntOps<cu_ihash, int32_t> {
  using Table = cu_ihash;
  using Key = int32_t;
  static constexpr Key kMin = INT32_MIN;
  static Table* make(int32_t n) { return cu_ihash_malloc(n); }
  static constexpr auto free = cu_ihash_free;
  static constexpr auto insert = cu_ihash_insert;
  static constexpr auto update = cu_ihash_update;
  static constexpr auto find = cu_ihash_find;
  static constexpr auto del = cu_ihash_delete;
  static constexpr auto delete3x = cu_ihash_delete3x;
  static constexpr auto deletex = cu_ihash_deletex;
  static constexpr auto findx = cu_ihash_findx;
  static constexpr auto foreachx = cu_ihash_foreachx;
  static constexpr auto traverse = cu_ihash_traverse;
  static constexpr auto first = cu_ihash_GetFirst;
  static constexpr auto next = cu_ihash_GetNext;
  static constexpr auto nnodes = cu_ihash_nnodes;
};

template <>
struct IntOps<cu_i64hash, int64_t> {
  using Table = cu_i64hash;
  using Key = int64_t;
  static constexpr Key kMin = INT64_MIN;
  static Table* make(int32_t n) { return cu_i64hash_malloc(n); }
  static constexpr auto free = cu_i64hash_free;
  static constexpr auto insert = cu_i64hash_insert;
  static constexpr auto update = cu_i64hash_update;
  static constexpr auto find = cu_i64hash_find;
  static constexpr auto del = cu_i64hash_delete;
  static constexpr auto delete3x = cu_i64hash_delete3x;
  static constexpr auto deletex = cu_i64hash_deletex;
  static constexpr auto findx = cu_i64hash_findx;
  static constexpr auto foreachx = cu_i64hash_foreachx;
  static constexpr auto traverse = cu_i64hash_traverse;
  static constexpr auto first = cu_i64hash_GetFirst;
  static constexpr auto next = cu_i64hash_GetNext;
  static constexpr auto nnodes = cu_i64hash_nnodes;
};

template <typename Ops>
class IntHash : public testing::Test {};
using IntKinds = testing::Types<IntOps<cu_ihash, int32_t>, IntOps<cu_i64hash, int64_t>>;
TYPED_TEST_SUITE(IntHash, IntKinds);

TYPED_TEST(IntHash, DuplicatesAreFoundNewestFirst) {
  using Ops = TypeParam;
  auto* t = Ops::make(16);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(Ops::insert(t, 5, &A), 1);
  ASSERT_EQ(Ops::insert(t, 5, &B), 1);
  EXPECT_EQ(Ops::nnodes(t), 2);
  void* v = nullptr;
  ASSERT_EQ(Ops::find(t, 5, &v), 1);
  EXPECT_EQ(v, &B);
  EXPECT_EQ(Ops::find(t, 5, nullptr), 1);
  Ops::update(t, 5, &C);  // the newest node only
  Ops::del(t, 5);
  EXPECT_EQ(Ops::nnodes(t), 1);
  ASSERT_EQ(Ops::find(t, 5, &v), 1);
  EXPECT_EQ(v, &A);
  Ops::del(t, 5);
  EXPECT_EQ(Ops::find(t, 5, &v), 0);
  Ops::del(t, 5);  // absent: nothing
  Ops::update(t, 5, &C);
  EXPECT_EQ(Ops::nnodes(t), 0);
  Ops::free(t);
}

TYPED_TEST(IntHash, DeleteByValueStaysWithinTheBucket) {
  using Ops = TypeParam;
  auto* t = Ops::make(10);
  Ops::insert(t, 7, &A);
  Ops::insert(t, -7, &B);  // same bucket as 7
  Ops::insert(t, 3, &C);
  Ops::deletex(t, 7, &C);  // C lives in another bucket: nothing happens
  EXPECT_EQ(Ops::nnodes(t), 3);
  Ops::deletex(t, 7, &D);
  EXPECT_EQ(Ops::nnodes(t), 3);
  Ops::deletex(t, 7, &B);  // removes -7's node though the key given is 7
  EXPECT_EQ(Ops::nnodes(t), 2);
  EXPECT_EQ(Ops::find(t, -7, nullptr), 0);
  EXPECT_EQ(Ops::find(t, 7, nullptr), 1);
  Ops::free(t);
}

TYPED_TEST(IntHash, FindByPredicateSearchesTheKeysBucket) {
  using Ops = TypeParam;
  auto* t = Ops::make(10);
  Ops::insert(t, 7, &A);
  Ops::insert(t, -7, &B);  // now the bucket's head
  void* v = nullptr;
  ASSERT_EQ(Ops::findx(t, 7, nullptr, nullptr, &v), 1);  // head of the bucket, whatever its key
  EXPECT_EQ(v, &B);
  auto is_arg = [](void* value, void* arg) -> uint8_t { return value == arg ? 1 : 2; };
  ASSERT_EQ(Ops::findx(t, 17, is_arg, &A, &v), 1);
  EXPECT_EQ(v, &A);
  EXPECT_EQ(Ops::findx(t, 7, is_arg, &C, &v), 0);  // answers of 2 are no match
  EXPECT_EQ(Ops::findx(t, 1, nullptr, nullptr, &v), 0);
  std::vector<void*> seen;
  Ops::foreachx(
      t, -17, [](void* value, void* arg) -> uint8_t {
        static_cast<std::vector<void*>*>(arg)->push_back(value);
        return 1;  // the bucket walk does not stop
      },
      &seen);
  EXPECT_EQ(seen, (std::vector<void*>{&B, &A}));
  Ops::free(t);
}

TYPED_TEST(IntHash, DeleteWithDestroyCallsItOnlyWhenPresent) {
  using Ops = TypeParam;
  auto* t = Ops::make(4);
  Ops::insert(t, 1, &A);
  Ops::insert(t, 1, &B);
  std::vector<void*> destroyed;
  auto note = [](void* value, void* arg) { static_cast<std::vector<void*>*>(arg)->push_back(value); };
  Ops::delete3x(t, 2, note, &destroyed);
  EXPECT_TRUE(destroyed.empty());
  Ops::delete3x(t, 1, note, &destroyed);
  EXPECT_EQ(destroyed, (std::vector<void*>{&B}));
  Ops::delete3x(t, 1, nullptr, nullptr);
  EXPECT_EQ(Ops::nnodes(t), 0);
  Ops::free(t);
}

TYPED_TEST(IntHash, MostNegativeKeyHasABucket) {
  using Ops = TypeParam;
  using Key = typename Ops::Key;
  // 2^31 mod n and 2^63 mod n.
  struct Case {
    int32_t n;
    int64_t bucket32, bucket64;
  };
  for (Case c : {Case{1000, 648, 808}, Case{7, 2, 1}, Case{1, 0, 0}}) {
    SCOPED_TRACE(c.n);
    auto* t = Ops::make(c.n);
    ASSERT_EQ(Ops::insert(t, Ops::kMin, &A), 1);
    int64_t expected = sizeof(Key) == 4 ? c.bucket32 : c.bucket64;
    ASSERT_NE(t->buckets[expected], nullptr);
    EXPECT_EQ(t->buckets[expected]->key, Ops::kMin);
    void* v = nullptr;
    EXPECT_EQ(Ops::find(t, Ops::kMin, &v), 1);
    EXPECT_EQ(v, &A);
    Ops::del(t, Ops::kMin);
    EXPECT_EQ(Ops::nnodes(t), 0);
    Ops::free(t);
  }
}

TYPED_TEST(IntHash, CursorWalksBucketsInOrderNewestFirst) {
  using Ops = TypeParam;
  using Key = typename Ops::Key;
  auto* t = Ops::make(4);
  Key key = 0;
  void* v = nullptr;
  EXPECT_EQ(Ops::first(t, &key, &v), 0);
  Ops::insert(t, 5, &A);  // bucket 1
  Ops::insert(t, 2, &B);  // bucket 2
  Ops::insert(t, 1, &C);  // bucket 1, before 5
  std::vector<Key> keys;
  for (uint8_t ok = Ops::first(t, &key, &v); ok; ok = Ops::next(t, &key, &v)) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<Key>{1, 5, 2}));
  EXPECT_EQ(Ops::next(t, &key, &v), 0);
  EXPECT_EQ(Ops::next(t, &key, &v), 0);
  EXPECT_EQ(Ops::first(t, nullptr, nullptr), 1);
  Ops::free(t);
}

TYPED_TEST(IntHash, TraverseStopsOnlyAtOne) {
  using Ops = TypeParam;
  using Key = typename Ops::Key;
  auto* t = Ops::make(8);
  for (Key k = 0; k < 6; ++k) Ops::insert(t, k, &A);
  struct Walk {
    std::vector<Key> seen;
    Key stop_at;
  } walk{{}, 3};
  Ops::traverse(
      t, [](Key key, void*, void* arg) -> uint8_t {
        auto* w = static_cast<Walk*>(arg);
        w->seen.push_back(key);
        return key == w->stop_at ? 1 : 2;
      },
      &walk);
  EXPECT_EQ(walk.seen, (std::vector<Key>{0, 1, 2, 3}));
  Ops::free(t);
}

// A walk whose callback removes the very node it is given: every node is visited once and
// nothing is touched after its release (ASan would report it).
TYPED_TEST(IntHash, WalkMayDeleteItsOwnNode) {
  using Ops = TypeParam;
  using Key = typename Ops::Key;
  auto* t = Ops::make(3);
  std::vector<int> values(20);
  for (int i = 0; i < 20; ++i) Ops::insert(t, i % 7, &values[i]);
  struct Ctx {
    typename Ops::Table* t;
    int visits;
  } ctx{t, 0};
  Ops::traverse(
      t, [](Key key, void* value, void* arg) -> uint8_t {
        auto* c = static_cast<Ctx*>(arg);
        ++c->visits;
        Ops::deletex(c->t, key, value);
        return 0;
      },
      &ctx);
  EXPECT_EQ(ctx.visits, 20);
  EXPECT_EQ(Ops::nnodes(t), 0);
  Ops::free(t);
}

// Random inserts, finds, deletes and value deletes against a model of per-key stacks.
TYPED_TEST(IntHash, FollowsAModelOfPerKeyStacks) {
  using Ops = TypeParam;
  using Key = typename Ops::Key;
  const unsigned seed = 99;
  SCOPED_TRACE(seed);
  std::mt19937_64 rng(seed);
  const Key keys[] = {0, 1, -1, 7, -7, 13, Ops::kMin, std::numeric_limits<Key>::max(), 1000003, -1000003};
  auto* t = Ops::make(5);
  std::map<Key, std::vector<intptr_t>> model;
  int32_t count = 0;
  for (intptr_t step = 1; step < 3000; ++step) {
    Key k = keys[rng() % std::size(keys)];
    auto& stack = model[k];
    switch (rng() % 4) {
      case 0:
      case 1:
        ASSERT_EQ(Ops::insert(t, k, reinterpret_cast<void*>(step)), 1);
        stack.push_back(step);
        ++count;
        break;
      case 2:
        Ops::del(t, k);
        if (!stack.empty()) {
          stack.pop_back();
          --count;
        }
        break;
      default:
        if (!stack.empty()) {
          size_t i = rng() % stack.size();
          Ops::deletex(t, k, reinterpret_cast<void*>(stack[i]));
          stack.erase(stack.begin() + static_cast<long>(i));
          --count;
        }
    }
    void* v = nullptr;
    ASSERT_EQ(Ops::find(t, k, &v), stack.empty() ? 0 : 1);
    if (!stack.empty()) {
      ASSERT_EQ(v, reinterpret_cast<void*>(stack.back()));
    }
    ASSERT_EQ(Ops::nnodes(t), count);
  }
  Ops::free(t);
}

TEST(CuXHash, CreationArguments) {
  cu_ihash_node* heads[4];
  EXPECT_EQ(cu_ihash_malloc(0), nullptr);
  EXPECT_EQ(cu_ihash_mallocx(nullptr, 4, nullptr), nullptr);
  EXPECT_EQ(cu_ihash_mallocx(heads, 0, nullptr), nullptr);
  EXPECT_EQ(cu_ihash_mallocxx(heads, -1, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(cu_i64hash_malloc(-5), nullptr);
  EXPECT_EQ(cu_i64hash_malloc(INT64_MAX), nullptr);  // the bucket array cannot be had
  EXPECT_EQ(cu_shash_malloc(0), nullptr);
  // A caller's array is cleared and stays the caller's.
  for (auto*& h : heads) h = reinterpret_cast<cu_ihash_node*>(&A);
  cu_ihash* t = cu_ihash_mallocx(heads, 4, nullptr);
  ASSERT_NE(t, nullptr);
  for (auto* h : heads) EXPECT_EQ(h, nullptr);
  EXPECT_EQ(t->owns_buckets, 0);
  cu_ihash_insert(t, 1, &A);
  cu_ihash_free(t);
}

TEST(CuXHash, NullTableDoesNothing) {
  void* v = &A;
  EXPECT_EQ(cu_ihash_insert(nullptr, 1, &A), 0);
  EXPECT_EQ(cu_ihash_find(nullptr, 1, &v), 0);
  EXPECT_EQ(cu_ihash_findx(nullptr, 1, nullptr, nullptr, &v), 0);
  EXPECT_EQ(cu_ihash_GetFirst(nullptr, nullptr, &v), 0);
  EXPECT_EQ(cu_ihash_nnodes(nullptr), 0);
  cu_ihash_update(nullptr, 1, &A);
  cu_ihash_delete(nullptr, 1);
  cu_ihash_delete3x(nullptr, 1, nullptr, nullptr);
  cu_ihash_deletex(nullptr, 1, &A);
  cu_ihash_foreach(nullptr, nullptr, nullptr);
  cu_ihash_rewind(nullptr);
  cu_ihash_empty(nullptr);
  cu_ihash_free(nullptr);
  cu_i64hash_free(nullptr);
  EXPECT_EQ(cu_i64hash_nnodes(nullptr), 0);
  EXPECT_EQ(cu_shash_insert(nullptr, "a", &A), 0);
  EXPECT_EQ(cu_shash_find(nullptr, "a", &v), 0);
  EXPECT_EQ(cu_shash_nnodes(nullptr), 0);
  cu_shash_RandomTraverse(nullptr, nullptr, nullptr);
  cu_shash_free(nullptr);
  EXPECT_EQ(v, &A);
}

// Node memory from the caller: with a releaser everything goes back, without one nothing is
// released one by one.
struct Source {
  std::set<void*> live;
  static void* alloc(void* ctx, uint64_t size) {
    void* p = ::operator new(size);
    static_cast<Source*>(ctx)->live.insert(p);
    return p;
  }
  static void release(void* ctx, void* p) {
    EXPECT_EQ(static_cast<Source*>(ctx)->live.erase(p), 1u);
    ::operator delete(p);
  }
  ~Source() {
    for (void* p : live) ::operator delete(p);
  }
};

TEST(CuXHash, CallersMemorySource) {
  Source with_release, without_release;
  cu_i64hash_node* heads[8];
  cu_i64hash* t = cu_i64hash_mallocxx(heads, 8, Source::alloc, Source::release, &with_release);
  ASSERT_NE(t, nullptr);
  for (int64_t k = 0; k < 10; ++k) cu_i64hash_insert(t, k, &A);
  EXPECT_EQ(with_release.live.size(), 11u);  // header and ten nodes
  cu_i64hash_delete(t, 3);
  EXPECT_EQ(with_release.live.size(), 10u);
  cu_i64hash_free(t);
  EXPECT_TRUE(with_release.live.empty());

  t = cu_i64hash_mallocxx(heads, 8, Source::alloc, nullptr, &without_release);
  for (int64_t k = 0; k < 10; ++k) cu_i64hash_insert(t, k, &A);
  cu_i64hash_delete(t, 3);
  cu_i64hash_free(t);
  EXPECT_EQ(without_release.live.size(), 11u);
}

TEST(CuXHash, ArenaMemoryReturnsToItsBaseline) {
  alignas(16) static uint8_t block[256 * 1024];
  cu_mem* mem = cu_mem_init(block, sizeof block);
  ASSERT_NE(mem, nullptr);
  const uint64_t baseline = cu_mem_used_space_size(mem);
  cu_shash_node* heads[64];
  cu_shash* t = cu_shash_mallocx(heads, 64, mem);
  ASSERT_NE(t, nullptr);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(cu_shash_insert(t, std::to_string(i).c_str(), &A), 1);
  EXPECT_GT(cu_mem_used_space_size(mem), baseline);
  cu_shash_delete(t, "17");
  cu_shash_emptyx(t, nullptr, nullptr);
  EXPECT_EQ(cu_shash_nnodes(t), 0);
  cu_shash_free(t);
  EXPECT_EQ(cu_mem_used_space_size(mem), baseline);
}

TEST(CuXHash, EmptyKeepsTheTableAndRewindsTheCursor) {
  cu_ihash* t = cu_ihash_malloc(4);
  std::vector<int> values(5);
  for (int i = 0; i < 5; ++i) cu_ihash_insert(t, i, &values[i]);
  int32_t key;
  ASSERT_EQ(cu_ihash_GetFirst(t, &key, nullptr), 1);
  int destroyed = 0;
  cu_ihash_emptyx(t, [](void*, void* arg) { ++*static_cast<int*>(arg); }, &destroyed);
  EXPECT_EQ(destroyed, 5);
  EXPECT_EQ(cu_ihash_nnodes(t), 0);
  EXPECT_EQ(t->cursor_bucket, 0);
  EXPECT_EQ(t->cursor_pos, 0);
  cu_ihash_insert(t, 9, &A);
  ASSERT_EQ(cu_ihash_GetNext(t, &key, nullptr), 1);
  EXPECT_EQ(key, 9);
  destroyed = 0;
  cu_ihash_freex(t, [](void*, void* arg) { ++*static_cast<int*>(arg); }, &destroyed);
  EXPECT_EQ(destroyed, 1);
}

int32_t bucket_of_key(cu_shash* t, const char* key, int32_t len) {
  for (int32_t b = 0; b < t->nbuckets; ++b)
    for (cu_shash_node* n = t->buckets[b]; n; n = n->next)
      if (n->len == len && memcmp(n->key, key, static_cast<size_t>(len)) == 0) return b;
  return -1;
}

TEST(CuShash, HashReadsBytesAsSigned) {
  cu_shash* t = cu_shash_malloc(1000);
  const char e4[] = "\xE4";  // hashes to -28
  ASSERT_EQ(cu_shash_insert(t, e4, &A), 1);
  EXPECT_EQ(bucket_of_key(t, e4, 1), 28);
  // 12 3 1 18 27 29 10 hashes to exactly -2^31.
  const char most_negative[] = {12, 3, 1, 18, 27, 29, 10, 0};
  ASSERT_EQ(cu_shash_insert(t, most_negative, &B), 1);
  EXPECT_EQ(bucket_of_key(t, most_negative, 7), 648);
  void* v = nullptr;
  ASSERT_EQ(cu_shash_find(t, most_negative, &v), 1);
  EXPECT_EQ(v, &B);
  ASSERT_EQ(cu_shash_insert(t, "ab", &C), 1);
  EXPECT_EQ(bucket_of_key(t, "ab", 2), ('a' * 31 + 'b') % 1000);
  cu_shash_free(t);
}

TEST(CuShash, EmptyTextCanBeStoredAndDeletedButNotFound) {
  cu_shash* t = cu_shash_malloc(8);
  ASSERT_EQ(cu_shash_insert(t, "", &A), 1);
  EXPECT_EQ(cu_shash_nnodes(t), 1);
  EXPECT_EQ(cu_shash_find(t, "", nullptr), 0);
  cu_shash_delete3x(t, "", [](void*, void*) { FAIL(); }, nullptr);
  EXPECT_EQ(cu_shash_nnodes(t), 1);
  cu_shash_delete(t, "");
  EXPECT_EQ(cu_shash_nnodes(t), 0);
  cu_shash_free(t);
}

TEST(CuShash, KeysAreCopiedByLength) {
  cu_shash* t = cu_shash_malloc(8);
  const char unterminated[3] = {'x', 'y', 'z'};
  ASSERT_EQ(cu_shash_insertx(t, unterminated, 3, &A), 1);
  const char with_nul[] = {'a', 'b', 0, 'c', 'd'};
  ASSERT_EQ(cu_shash_insertx(t, with_nul, 5, &B), 1);
  void* v = nullptr;
  ASSERT_EQ(cu_shash_find(t, "xyz", &v), 1);
  EXPECT_EQ(v, &A);
  ASSERT_EQ(cu_shash_findx(t, with_nul, 5, &v), 1);
  EXPECT_EQ(v, &B);
  EXPECT_EQ(cu_shash_find(t, "ab", &v), 0);  // a shorter key is another key
  EXPECT_EQ(cu_shash_findx(t, "xyz", 0, &v), 0);
  EXPECT_EQ(cu_shash_insertx(t, "q", -1, &C), 0);
  EXPECT_EQ(cu_shash_insertx(t, nullptr, 1, &C), 0);
  const char* key = nullptr;
  int32_t len = 0;
  std::map<std::string, int32_t> stored;
  for (uint8_t ok = cu_shash_GetFirstx(t, &key, &len, &v); ok; ok = cu_shash_GetNextx(t, &key, &len, &v)) {
    EXPECT_EQ(key[len], '\0');
    stored[std::string(key, static_cast<size_t>(len))] = len;
  }
  EXPECT_EQ(stored, (std::map<std::string, int32_t>{{"xyz", 3}, {std::string(with_nul, 5), 5}}));
  cu_shash_free(t);
}

TEST(CuShash, KeyOperations) {
  cu_shash* t = cu_shash_malloc(1);  // one bucket: every key shares it
  cu_shash_insert(t, "k", &A);
  cu_shash_insert(t, "k", &B);
  cu_shash_insert(t, "other", &C);
  void* v = nullptr;
  ASSERT_EQ(cu_shash_find(t, "k", &v), 1);
  EXPECT_EQ(v, &B);
  cu_shash_update(t, "k", &D);
  ASSERT_EQ(cu_shash_find(t, "k", &v), 1);
  EXPECT_EQ(v, &D);
  ASSERT_EQ(cu_shash_findxx(t, "k", 1, nullptr, nullptr, &v), 1);
  EXPECT_EQ(v, &C);  // the bucket's head
  auto is_arg = [](void* value, void* arg) -> uint8_t { return value == arg; };
  EXPECT_EQ(cu_shash_findxx(t, "zz", 2, is_arg, &A, &v), 1);
  cu_shash_deletexx(t, "zz", 2, &A);  // by value, whatever the key
  EXPECT_EQ(cu_shash_nnodes(t), 2);
  std::vector<void*> destroyed;
  auto note = [](void* value, void* arg) { static_cast<std::vector<void*>*>(arg)->push_back(value); };
  cu_shash_delete3x(t, "absent", note, &destroyed);
  cu_shash_delete3x(t, "k", note, &destroyed);
  EXPECT_EQ(destroyed, (std::vector<void*>{&D}));
  EXPECT_EQ(cu_shash_find(t, "k", nullptr), 0);
  std::vector<void*> line;
  cu_shash_foreach_line(
      t, "x", 1, [](void* value, void* arg) -> uint8_t {
        static_cast<std::vector<void*>*>(arg)->push_back(value);
        return 1;
      },
      &line);
  EXPECT_EQ(line, (std::vector<void*>{&C}));
  cu_shash_free(t);
}

TEST(CuShash, WalksAndCursor) {
  cu_shash* t = cu_shash_malloc(7);
  const char* key = nullptr;
  void* v = nullptr;
  EXPECT_EQ(cu_shash_GetFirst(t, &key, &v), 0);
  std::set<std::string> all;
  for (int i = 0; i < 30; ++i) {
    all.insert("key" + std::to_string(i));
    cu_shash_insert(t, ("key" + std::to_string(i)).c_str(), &A);
  }
  std::set<std::string> walked;
  for (uint8_t ok = cu_shash_GetFirst(t, &key, &v); ok; ok = cu_shash_GetNext(t, &key, &v)) walked.insert(key);
  EXPECT_EQ(walked, all);
  EXPECT_EQ(cu_shash_GetNext(t, &key, &v), 0);
  cu_shash_rewind(t);
  EXPECT_EQ(cu_shash_GetNext(t, &key, &v), 1);

  int count = 0;
  cu_shash_foreach_if(
      t, [](void*, void* arg) -> uint8_t { return ++*static_cast<int*>(arg) == 4 ? 1 : 0; }, &count);
  EXPECT_EQ(count, 4);
  count = 0;
  cu_shash_foreach(
      t, [](void*, void* arg) -> uint8_t { return ++*static_cast<int*>(arg) ? 1 : 0; }, &count);
  EXPECT_EQ(count, 30);
  cu_shash_free(t);
}

struct TraverseCtx {
  cu_shash* t;
  std::vector<std::string> keys;
  bool remove;
};

uint8_t note_key(const char* key, void* value, void* arg) {
  auto* c = static_cast<TraverseCtx*>(arg);
  c->keys.emplace_back(key);
  if (c->remove) cu_shash_deletexx(c->t, key, static_cast<int32_t>(strlen(key)), value);
  return 0;
}

TEST(CuShash, RandomTraverseVisitsEveryNodeOnce) {
  cu_shash* one = cu_shash_malloc(1);
  for (const char* k : {"a", "b", "c"}) cu_shash_insert(one, k, &A);
  TraverseCtx ctx{one, {}, false};
  cu_shash_RandomTraverse(one, note_key, &ctx);
  EXPECT_EQ(ctx.keys, (std::vector<std::string>{"c", "b", "a"}));  // bucket 0, newest first
  cu_shash_free(one);

  cu_shash* t = cu_shash_malloc(13);
  std::vector<int> values(40);
  for (int i = 0; i < 40; ++i) cu_shash_insert(t, ("n" + std::to_string(i)).c_str(), &values[i]);
  for (int round = 0; round < 3; ++round) {
    TraverseCtx c{t, {}, false};
    cu_shash_RandomTraverse(t, note_key, &c);
    EXPECT_EQ(c.keys.size(), 40u);
    EXPECT_EQ(std::set<std::string>(c.keys.begin(), c.keys.end()).size(), 40u);
  }
  // The callback may delete its own node.
  TraverseCtx removing{t, {}, true};
  cu_shash_RandomTraverse(t, note_key, &removing);
  EXPECT_EQ(removing.keys.size(), 40u);
  EXPECT_EQ(cu_shash_nnodes(t), 0);
  cu_shash_RandomTraverse(t, note_key, &removing);
  EXPECT_EQ(removing.keys.size(), 40u);
  cu_shash_free(t);
}

TEST(CuShash, TraverseMayDeleteItsOwnNode) {
  cu_shash* t = cu_shash_malloc(5);
  std::vector<int> values(25);
  for (int i = 0; i < 25; ++i) cu_shash_insert(t, ("v" + std::to_string(i % 9)).c_str(), &values[i]);
  TraverseCtx ctx{t, {}, true};
  cu_shash_traverse(t, note_key, &ctx);
  EXPECT_EQ(ctx.keys.size(), 25u);
  EXPECT_EQ(cu_shash_nnodes(t), 0);
  cu_shash_free(t);
}

}  // namespace
