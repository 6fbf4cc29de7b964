#include "vor_kit.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vor_tempdir.h"

namespace {

int g_freed = 0;
void count_free(int* p) {
  ++g_freed;
  delete p;
}

TEST(Owned, FreesItsHandleOnceAndNeverANullOne) {
  g_freed = 0;
  {
    vor::Owned<int, count_free> none;
    vor::Owned<int, count_free> one(new int(1));
    vor::Owned<int, count_free> moved(std::move(one));
    EXPECT_EQ(*moved, 1);
  }
  EXPECT_EQ(g_freed, 1);
}

// Whether another thread could take the lock now; the mutex itself answers, no timing involved.
bool free_for_others(cu_sem* sem) {
  return std::async(std::launch::async, [sem] {
           if (pthread_mutex_trylock(&sem->cs) != 0) return false;
           pthread_mutex_unlock(&sem->cs);
           return true;
         }).get();
}

TEST(SemLock, HoldsForTheScopeAndLetsGoAndRetakesOnRequest) {
  cu_sem sem;
  cu_sem_init(&sem);
  {
    vor::SemLock lock(&sem);
    EXPECT_TRUE(lock);
    EXPECT_FALSE(free_for_others(&sem));
    {
      vor::SemLock again(&sem);  // re-entrant: the holder may take it once more
      EXPECT_TRUE(again);
    }
    EXPECT_FALSE(free_for_others(&sem));
    lock.unlock();
    EXPECT_FALSE(lock);
    EXPECT_TRUE(free_for_others(&sem));
    lock.unlock();  // a second unlock leaves nothing twice
    EXPECT_TRUE(lock.relock());
    EXPECT_TRUE(lock.relock());  // already held: not entered twice
    EXPECT_FALSE(free_for_others(&sem));
    lock.unlock();
    EXPECT_TRUE(free_for_others(&sem));
  }
  EXPECT_TRUE(free_for_others(&sem));
  cu_sem_destroy(&sem);
}

TEST(SemLock, ALockMissingOrNotSetUpIsNeitherHeldNorLeft) {
  vor::SemLock none(nullptr);
  EXPECT_FALSE(none);
  EXPECT_FALSE(none.relock());
  cu_sem sem;
  cu_sem_init(&sem);
  cu_sem_destroy(&sem);
  vor::SemLock down(&sem);
  EXPECT_FALSE(down);
}

struct Pair {
  int number;
  std::string text;
};

class TypedAllocation : public ::testing::Test {
 protected:
  void SetUp() override { _cu_mdebug_turnon(); }
  void TearDown() override { _cu_mdebug_turnoff(); }
  std::string stat() {
    vor::test::TempDir dir;
    const std::string path = dir.file("mallocstat.log");
    _cu_mdebug_GetMallocStat(path.c_str());
    return vor::test::read_file(path);
  }
};

TEST_F(TypedAllocation, BlocksCarryTheUnitLabelAndTheCallersLine) {
  const int line = __LINE__ + 1;
  Pair* p = vor::make<Pair>("vor\\kit_test", 7, std::string(100, 'x'));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->number, 7);
  EXPECT_EQ(p->text, std::string(100, 'x'));
  EXPECT_EQ(stat(), "kit_test(" + std::to_string(line) + ")\r\n");
  vor::destroy(p, "vor\\kit_test");  // the string's own block goes too, or the leak check fails
  EXPECT_EQ(stat(), "");
  vor::destroy<Pair>(nullptr, "vor\\kit_test");
}

TEST_F(TypedAllocation, NoArgumentsValueInitialise) {
  Pair* p = vor::make<Pair>("vor\\kit_test");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->number, 0);
  EXPECT_TRUE(p->text.empty());
  vor::destroy(p, "vor\\kit_test");
}

constexpr char kLabel[] = "vor\\kit_test";

TEST_F(TypedAllocation, OwnedBlocksAreFreedUnderTheUnitLabel) {
  {
    vor::Owned<char, vor::free_as<kLabel>> block(static_cast<char*>(_cu_malloc(16, kLabel, 1)));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(stat(), "kit_test(1)\r\n");
  }
  EXPECT_EQ(stat(), "");
}

// Console lines of many threads, one of them longer than any stack buffer, arrive each whole, in
// each thread's order, with nothing lost, on a standard output that is a plain file.
TEST(ConsoleLine, LinesOfManyThreadsArriveWholeAndInOrder) {
  vor::test::TempDir dir;
  const std::string path = dir.file("console.txt");
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(file, 0);
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  ASSERT_GE(saved, 0);
  ASSERT_EQ(dup2(file, STDOUT_FILENO), STDOUT_FILENO);
  constexpr int kThreads = 8;
  constexpr int kLines = 500;
  const std::string long_text(10000, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &long_text] {
      for (int n = 0; n < kLines; ++n) vor::console_line("[thread %d] line %d\r\n", t, n);
      if (t == 0) vor::console_line("[thread %d] long %s\r\n", t, long_text.c_str());
    });
  for (auto& th : threads) th.join();
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(file);

  std::istringstream in(vor::test::read_file(path));
  std::map<int, int> next;
  int longs = 0;
  for (std::string line; std::getline(in, line);) {
    int t = -1, n = -1;
    ASSERT_EQ(line.back(), '\r') << line.substr(0, 80);
    if (line == "[thread 0] long " + long_text + "\r") {
      ++longs;
      continue;
    }
    ASSERT_EQ(sscanf(line.c_str(), "[thread %d] line %d\r", &t, &n), 2) << line.substr(0, 80);
    EXPECT_EQ(n, next[t]++) << "thread " << t;
  }
  EXPECT_EQ(longs, 1);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines) << "thread " << t;
}

}  // namespace
