#include "vor_queue.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <random>
#include <vector>

namespace {

char A, B, C;

TEST(VorQueue, PopsInPushOrderAndStopsAtEmpty) {
  vor_queue* q = vor_queue_make();
  ASSERT_NE(q, nullptr);
  for (char* p : {&A, &B, &C}) ASSERT_TRUE(vor_queue_push(q, p));
  EXPECT_EQ(vor_queue_nnodes(q), 3);
  EXPECT_EQ(vor_queue_pop(q), &A);
  EXPECT_EQ(vor_queue_pop(q), &B);
  EXPECT_EQ(vor_queue_pop(q), &C);
  EXPECT_EQ(vor_queue_pop(q), nullptr);
  EXPECT_EQ(vor_queue_nnodes(q), 0);
  EXPECT_EQ(q->head, nullptr);
  EXPECT_EQ(q->tail, nullptr);
  // After the queue ran dry a push makes head and tail the one new node.
  ASSERT_TRUE(vor_queue_push(q, &B));
  EXPECT_EQ(q->head, q->tail);
  EXPECT_EQ(q->head->data, &B);
  vor_queue_free(q);
}

TEST(VorStack, PopsNewestFirst) {
  vor_stack* s = vor_stack_make();
  ASSERT_NE(s, nullptr);
  for (char* p : {&A, &B, &C}) ASSERT_TRUE(vor_stack_push(s, p));
  EXPECT_EQ(vor_stack_nnodes(s), 3);
  EXPECT_EQ(vorx_stack_peek(s, 0), &C);
  EXPECT_EQ(vor_stack_pop(s), &C);
  EXPECT_EQ(vor_stack_pop(s), &B);
  EXPECT_EQ(vor_stack_pop(s), &A);
  EXPECT_EQ(vor_stack_pop(s), nullptr);
  EXPECT_EQ(vor_stack_nnodes(s), 0);
  vor_stack_free(s);
}

TEST(VorQueue, PeekDoesNotRemove) {
  vor_queue* q = vor_queue_make();
  for (char* p : {&A, &B, &C}) vor_queue_push(q, p);
  EXPECT_EQ(vorx_queue_peek(q, 0), &A);
  EXPECT_EQ(vorx_queue_peek(q, -5), &A);
  EXPECT_EQ(vorx_queue_peek(q, 2), &C);
  EXPECT_EQ(vorx_queue_peek(q, vor_queue_nnodes(q)), nullptr);
  EXPECT_EQ(vor_queue_nnodes(q), 3);
  vor_queue_free(q);
}

TEST(VorQueue, NullArgumentsAnswerTheFailureValue) {
  EXPECT_FALSE(vor_queue_push(nullptr, &A));
  EXPECT_EQ(vor_queue_pop(nullptr), nullptr);
  EXPECT_EQ(vor_queue_nnodes(nullptr), 0);
  EXPECT_EQ(vorx_queue_peek(nullptr, 0), nullptr);
  vorx_queue_foreach(nullptr, nullptr, nullptr);
  vor_queue_free(nullptr);
  vorx_queue_free(nullptr, nullptr, nullptr);
  EXPECT_FALSE(vor_stack_push(nullptr, &A));
  EXPECT_EQ(vor_stack_pop(nullptr), nullptr);
  EXPECT_EQ(vor_stack_nnodes(nullptr), 0);
  EXPECT_EQ(vorx_stack_peek(nullptr, 0), nullptr);
  vorx_stack_foreach(nullptr, nullptr, nullptr);
  vor_stack_free(nullptr);
  vorx_stack_free(nullptr, nullptr, nullptr);
}

TEST(VorQueue, NullItemIsCountedButPopsAsNull) {
  vor_queue* q = vor_queue_make();
  ASSERT_TRUE(vor_queue_push(q, nullptr));
  EXPECT_EQ(vor_queue_nnodes(q), 1);
  EXPECT_EQ(vor_queue_pop(q), nullptr);
  EXPECT_EQ(vor_queue_nnodes(q), 0);
  vor_queue_free(q);
}

// Freeing with a callback that frees the items leaves nothing behind (ASan checks the leaks).
TEST(VorQueue, FreeWithCallbackReleasesEveryItem) {
  vor_queue* q = vor_queue_make();
  vor_stack* s = vor_stack_make();
  for (int i = 0; i < 5; ++i) {
    vor_queue_push(q, malloc(16));
    vor_stack_push(s, malloc(16));
  }
  std::vector<void*> order;
  auto release = [](void* item, void* arg) {
    static_cast<std::vector<void*>*>(arg)->push_back(item);
    free(item);
  };
  std::vector<void*> expected;
  for (int i = 0; i < 5; ++i) expected.push_back(vorx_queue_peek(q, i));
  vorx_queue_free(q, release, &order);
  EXPECT_EQ(order, expected);
  order.clear();
  expected.clear();
  for (int i = 0; i < 5; ++i) expected.push_back(vorx_stack_peek(s, i));
  vorx_stack_free(s, release, &order);
  EXPECT_EQ(order, expected);
}

TEST(VorQueue, ForeachMayPopTheItemItIsGiven) {
  vor_queue* q = vor_queue_make();
  for (char* p : {&A, &B, &C}) vor_queue_push(q, p);
  std::vector<void*> seen;
  struct Ctx { vor_queue* q; std::vector<void*>* seen; } ctx{q, &seen};
  vorx_queue_foreach(
      q,
      [](void* item, void* arg) {
        auto* c = static_cast<Ctx*>(arg);
        c->seen->push_back(item);
        EXPECT_EQ(vor_queue_pop(c->q), item);
      },
      &ctx);
  EXPECT_EQ(seen, (std::vector<void*>{&A, &B, &C}));
  EXPECT_EQ(vor_queue_nnodes(q), 0);
  vor_queue_free(q);
}

// Random pushes and pops on a pooled queue and stack against std::deque; the pool's usage
// returns to its baseline once both are freed.
TEST(VorQueue, PooledQueueAndStackFollowTheModelAndReturnTheirMemory) {
  cu_xmem* pool = cu_xmem_init(64 * 1024, 8);
  ASSERT_NE(pool, nullptr);
  const uint64_t baseline = cu_xmem_used_space_size(pool);
  vor_queue* q = vor_queue_makex(pool);
  vor_stack* s = vor_stack_makex(pool);
  ASSERT_NE(q, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_GT(cu_xmem_used_space_size(pool), baseline);
  std::deque<intptr_t> fifo, lifo;
  const unsigned seed = 424242;
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  for (intptr_t step = 1; step <= 2000; ++step) {
    void* item = reinterpret_cast<void*>(step);
    if (rng() % 3) {
      ASSERT_TRUE(vor_queue_push(q, item));
      ASSERT_TRUE(vor_stack_push(s, item));
      fifo.push_back(step);
      lifo.push_front(step);
    } else {
      void* expect_q = fifo.empty() ? nullptr : reinterpret_cast<void*>(fifo.front());
      void* expect_s = lifo.empty() ? nullptr : reinterpret_cast<void*>(lifo.front());
      ASSERT_EQ(vor_queue_pop(q), expect_q);
      ASSERT_EQ(vor_stack_pop(s), expect_s);
      if (!fifo.empty()) fifo.pop_front();
      if (!lifo.empty()) lifo.pop_front();
    }
    ASSERT_EQ(vor_queue_nnodes(q), static_cast<int32_t>(fifo.size()));
    ASSERT_EQ(vor_stack_nnodes(s), static_cast<int32_t>(lifo.size()));
    ASSERT_EQ(q->tail ? q->tail->next : nullptr, nullptr);
    if (!fifo.empty()) {
      ASSERT_EQ(q->tail->data, reinterpret_cast<void*>(fifo.back()));
      ASSERT_EQ(vorx_queue_peek(q, static_cast<int32_t>(fifo.size()) - 1), reinterpret_cast<void*>(fifo.back()));
      ASSERT_EQ(vorx_stack_peek(s, static_cast<int32_t>(lifo.size()) - 1), reinterpret_cast<void*>(lifo.back()));
    }
  }
  vor_queue_free(q);
  vor_stack_free(s);
  EXPECT_EQ(cu_xmem_used_space_size(pool), baseline);
  cu_xmem_exit(pool);
}

// A push that finds no memory answers false and leaves the queue or stack as it was.
TEST(VorQueue, PushWithoutMemoryLeavesQueueAndStackUnchanged) {
  cu_xmem* pool = cu_xmem_init(4096, 1);
  ASSERT_NE(pool, nullptr);
  vor_queue* q = vor_queue_makex(pool);
  vor_stack* s = vor_stack_makex(pool);
  ASSERT_NE(q, nullptr);
  ASSERT_NE(s, nullptr);
  auto item = [](intptr_t i) { return reinterpret_cast<void*>(i); };
  intptr_t pushed = 0;
  while (pushed < 10000 && vor_queue_push(q, item(pushed + 1))) ++pushed;
  ASSERT_GT(pushed, 1);
  ASSERT_LT(pushed, 10000);
  EXPECT_EQ(vor_queue_nnodes(q), pushed);
  EXPECT_FALSE(vor_stack_push(s, &A));
  EXPECT_EQ(vor_stack_nnodes(s), 0);
  EXPECT_EQ(s->top, nullptr);
  // The node one pop gives back is all the room there is.
  EXPECT_EQ(vor_queue_pop(q), item(1));
  EXPECT_TRUE(vor_stack_push(s, &A));
  EXPECT_FALSE(vor_stack_push(s, &B));
  EXPECT_EQ(vor_stack_nnodes(s), 1);
  EXPECT_EQ(vorx_stack_peek(s, 0), &A);
  EXPECT_EQ(vorx_stack_peek(s, 1), nullptr);
  EXPECT_FALSE(vor_queue_push(q, &C));
  EXPECT_EQ(vor_queue_nnodes(q), pushed - 1);
  EXPECT_EQ(q->tail->data, item(pushed));
  for (intptr_t i = 2; i <= pushed; ++i) ASSERT_EQ(vor_queue_pop(q), item(i));
  EXPECT_EQ(q->head, nullptr);
  EXPECT_EQ(q->tail, nullptr);
  vor_queue_free(q);
  vor_stack_free(s);
  cu_xmem_exit(pool);
}

}  // namespace
