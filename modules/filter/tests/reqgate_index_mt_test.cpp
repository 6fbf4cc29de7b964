// The index stores under threads: puts, gets and deletes on every class store and the content
// store, the count and the flush, all while the module exits under them. Every put answered true
// before the exit is in the store file afterwards; calls after the exit answer as absent.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "reqgate_index_test_util.h"
#include "vor_wait.h"

namespace {

using namespace vor::reqgate;
using namespace vor::reqgate::test;

constexpr int kThreads = 6;

struct Worker {
  std::set<std::string> kept[3];  // names a put answered true for, by class store, not deleted since
  int ops = 0;
};

// Thread t writes names of its own prefix in the store of kind 2 + t % 3 until the store is gone.
void work(int t, Worker& w, std::atomic<int>& total) {
  const uint8_t kind = static_cast<uint8_t>(kPublic + t % 3);
  const char prefix = static_cast<char>('a' + t);
  for (int i = 0;; ++i) {
    const std::string name = name_of(i, prefix);
    if (!index_put(kind, name.c_str(), record_of("vs=371&cl=" + std::to_string(i)).c_str())) break;
    w.kept[t % 3].insert(name);
    char record[kIndexRecordSize + 1] = {};
    if (index_get(kind, name.c_str(), record)) {
      EXPECT_EQ(std::string(record), "vs=371&cl=" + std::to_string(i));
    }
    if (i % 5 == 0) {
      // A delete that answers false came after the exit: the record may stay in the file.
      if (index_del(kind, name.c_str())) w.kept[t % 3].erase(name);
    }
    content_put(name.c_str(), record_of("vs=371&ct=2", kContentRecordSize).c_str());
    reqgate_DiskCacheCount();
    ++w.ops;
    total.fetch_add(1);
  }
}

TEST_F(IndexStores, ExitUnderLoadKeepsEveryAcknowledgedPut) {
  start();
  std::atomic<int> total{0};
  std::vector<Worker> workers(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t, std::ref(workers[t]), std::ref(total));
  std::thread flusher([] {
    for (int i = 0; i < 3; ++i) index_flush();
  });
  ASSERT_TRUE(vor::test::wait_until([&] { return total.load() >= 600; }));
  stop();
  for (auto& thread : threads) thread.join();
  flusher.join();
  EXPECT_EQ(reqgate_DiskCacheCount(), 0u);
  EXPECT_FALSE(index_put(kPublic, name_of(1).c_str(), record_of("x").c_str()));

  const char* files[] = {"public.idx2", "member.idx2", "visitor.idx2"};
  for (int s = 0; s < 3; ++s) {
    SCOPED_TRACE(files[s]);
    std::set<std::string> expected;
    for (const Worker& w : workers) expected.insert(w.kept[s].begin(), w.kept[s].end());
    const std::string listed = vor::test::shell_output("sqlite3 -batch '" + store(files[s]) +
                                                       "' 'select cast(k as text) from kv;' 2>&1");
    std::set<std::string> in_file;
    for (size_t at = 0, end; (end = listed.find('\n', at)) != std::string::npos; at = end + 1) {
      in_file.insert(listed.substr(at, end - at));
    }
    for (const std::string& name : expected) EXPECT_EQ(in_file.count(name), 1u) << name;
  }
}

}  // namespace
