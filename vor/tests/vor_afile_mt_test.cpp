// Asynchronous file operations on temporary files: per-file order, cancels, where completions
// run, worker choice and counts, failures and the copies' lifetime.
#include "vor_afile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cu_console.h"
#include "cu_util.h"
#include "vor_afile_internal.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

namespace {

using namespace std::chrono_literals;
using vor::test::wait_until;
using vor::test::read_file;
using vor::test::TempDir;
using vor::test::write_file;

// Every test but the set-up ones (each in a fresh process) shares these counts.
constexpr int32_t kHdd = 2;
constexpr int32_t kSsd = 2;

// What a completion saw.
struct Done {
  intptr_t tag;
  uint8_t type;
  int32_t result;
  int32_t error;
  uint8_t cancelled;
  uint32_t thread;
};

struct Completions {
  std::mutex m;
  std::vector<Done> done;

  size_t size() {
    std::lock_guard<std::mutex> g(m);
    return done.size();
  }
  std::vector<Done> wait_for(size_t n) {
    EXPECT_TRUE(wait_until([&] { return size() >= n; })) << "completions: " << size() << " of " << n;
    std::lock_guard<std::mutex> g(m);
    return done;
  }
};

void record(vor_afile* op, void* ud, void* tag, void*, void*, void*) {
  auto* c = static_cast<Completions*>(ud);
  std::lock_guard<std::mutex> g(c->m);
  c->done.push_back({reinterpret_cast<intptr_t>(tag), op->type, op->result, op->error, op->cancelled,
                     cu_GetThisThreadId()});
}

vor_afile make_op(cu_xfile* f, uint8_t type, Completions* c, intptr_t tag, vor_box* box = nullptr) {
  vor_afile op;
  memset(&op, 0, sizeof op);
  op.file = f;
  op.type = type;
  op.box = box;
  op.callback = c ? record : nullptr;
  op.ud = c;
  op.a1 = reinterpret_cast<void*>(tag);
  return op;
}

// Holds one worker's thread inside a completion until released, so that operations queued
// meanwhile stay queued. With every worker idle the first worker of the kind takes it.
class Blocker {
 public:
  Blocker(const std::string& path, uint8_t prefer_ssd) {
    write_file(path, "g");
    file_ = cu_xfile_open_r(path.c_str(), 0);
    vor_afile op;
    memset(&op, 0, sizeof op);
    op.file = file_;
    op.type = VOR_AFILE_EVENT;
    op.callback = hold;
    op.ud = this;
    queued_ = vor_afile_eventx(&op, prefer_ssd);
    EXPECT_TRUE(queued_);
    EXPECT_TRUE(wait_until([&] { return entered_.load(); }));
  }
  ~Blocker() {
    release();
    if (queued_) {
      EXPECT_TRUE(wait_until([&] { return left_.load(); }));
    }
    cu_xfile_close(file_);
  }
  void release() {
    std::lock_guard<std::mutex> g(m_);
    open_ = true;
    cv_.notify_all();
  }
  uint32_t thread() const { return thread_.load(); }

 private:
  static void hold(vor_afile*, void* ud, void*, void*, void*, void*) {
    auto* b = static_cast<Blocker*>(ud);
    b->thread_ = cu_GetThisThreadId();
    b->entered_ = true;
    std::unique_lock<std::mutex> g(b->m_);
    b->cv_.wait_for(g, 20s, [&] { return b->open_; });
    b->left_ = true;
  }
  cu_xfile* file_ = nullptr;
  bool queued_ = false;
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
  std::atomic<bool> entered_{false};
  std::atomic<bool> left_{false};
  std::atomic<uint32_t> thread_{0};
};

// The layer's state as vor_afile_debug prints it.
std::string debug_text(const TempDir& dir) {
  std::string name = dir.file("console-" + std::to_string(getpid()) + ".txt");
  cu_console_Setup(name.c_str());
  vor_afile_debug();
  cu_console_Free();
  return read_file(name);
}

class Afile : public ::testing::Test {
 protected:
  void SetUp() override {
    vor_afile_setupx(kHdd, kSsd);
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_EQ(vor_filter_nfiles(), 0);
  }
  void TearDown() override {
    EXPECT_TRUE(wait_until([] { return vor_filter_nfiles() == 0; }));
    EXPECT_TRUE(wait_until([] { return copies_settled(); }));
  }
  static bool copies_settled() { return vor::afile::copies_in_use() == 0; }

  cu_xfile* open_file(const std::string& name, const std::string& bytes) {
    std::string path = dir_.file(name);
    write_file(path, bytes);
    return cu_xfile_open_rw(path.c_str(), 0);
  }

  TempDir dir_;
};

TEST_F(Afile, OneFilesOperationsStayInOrderAcrossPreferenceChanges) {
  constexpr int kOps = 400;
  cu_xfile* f = open_file("order", "");
  ASSERT_NE(f, nullptr);
  vor_box* caller = vorx_ThreadBox_create();
  ASSERT_NE(caller, nullptr);
  Completions c;
  // Each write's bytes are read back by the read queued right after it, on whichever preference.
  std::vector<uint32_t> written(kOps), read_back(kOps, 0xFFFFFFFFu);
  for (int i = 0; i < kOps; ++i) {
    written[i] = 0x1000u + static_cast<uint32_t>(i);
    vor_afile w = make_op(f, VOR_AFILE_WRITE, &c, 2 * i, caller);
    w.offset = 4 * i;
    w.buffer = &written[i];
    w.length = 4;
    ASSERT_TRUE(vor_afile_writex(&w, static_cast<uint8_t>(i % 2)));
    vor_afile r = make_op(f, VOR_AFILE_READ, &c, 2 * i + 1, caller);
    r.offset = 4 * i;
    r.buffer = &read_back[i];
    r.length = 4;
    ASSERT_TRUE(vor_afile_readx(&r, static_cast<uint8_t>((i / 3) % 2)));
  }
  std::vector<Done> done = c.wait_for(2 * kOps);
  ASSERT_EQ(done.size(), static_cast<size_t>(2 * kOps));
  for (int i = 0; i < 2 * kOps; ++i) {
    ASSERT_EQ(done[i].tag, i);
    EXPECT_EQ(done[i].result, 4);
  }
  EXPECT_EQ(read_back, written);
  vorx_ThreadBox_destroy(caller);
  cu_xfile_close(f);
}

TEST_F(Afile, FilesOnSeveralThreadsKeepTheirOwnOrder) {
  constexpr int kThreads = 4;
  constexpr int kOps = 150;
  std::vector<cu_xfile*> files;
  for (int t = 0; t < kThreads; ++t) {
    files.push_back(open_file("f" + std::to_string(t), ""));
    ASSERT_NE(files.back(), nullptr);
  }
  std::vector<Completions> c(kThreads);
  std::vector<std::vector<uint32_t>> data(kThreads, std::vector<uint32_t>(kOps));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kOps; ++i) {
        data[t][i] = static_cast<uint32_t>(t * 100000 + i);
        vor_afile w = make_op(files[t], VOR_AFILE_WRITE, &c[t], i);
        w.offset = 4 * i;
        w.buffer = &data[t][i];
        w.length = 4;
        EXPECT_TRUE(vor_afile_writex(&w, static_cast<uint8_t>((i + t) % 2)));
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    std::vector<Done> done = c[t].wait_for(kOps);
    for (int i = 0; i < kOps && i < static_cast<int>(done.size()); ++i) ASSERT_EQ(done[i].tag, i);
    int64_t size = cu_xfile_GetFileSize(files[t]);
    EXPECT_EQ(size, 4 * kOps);
    std::vector<uint32_t> back(kOps);
    ASSERT_EQ(pread(cu_xfile_GetFd(files[t]), back.data(), 4 * kOps, 0), 4 * kOps);
    EXPECT_EQ(back, data[t]);
    cu_xfile_close(files[t]);
  }
}

char g_written[] = "written!";
char g_unread[8];

// Threads mix reads, writes, events and cancels on shared files: every queued copy completes
// once, and each thread's operations of one file complete in the order it queued them.
TEST_F(Afile, MixedOperationsFromSeveralThreadsCompleteOnceInPerFileOrder) {
  constexpr int kThreads = 4;
  constexpr int kFiles = 3;
  constexpr int kOps = 200;
  std::vector<cu_xfile*> files;
  for (int i = 0; i < kFiles; ++i) {
    files.push_back(open_file("mixed" + std::to_string(i), std::string(64, 'm')));
    ASSERT_NE(files.back(), nullptr);
  }
  Completions c;
  std::atomic<int> queued{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<uint32_t>(1000 + t));
      for (int i = 0; i < kOps; ++i) {
        int file = static_cast<int>(rng() % kFiles);
        // tag: thread, file and sequence, so completions can be checked per (thread, file)
        intptr_t tag = (static_cast<intptr_t>(t) << 24) | (file << 16) | i;
        auto type = static_cast<uint8_t>(std::array<uint8_t, 4>{VOR_AFILE_READ, VOR_AFILE_WRITE, VOR_AFILE_EVENT,
                                                                VOR_AFILE_CANCEL}[rng() % 4]);
        vor_afile op = make_op(files[file], type, &c, tag);
        op.offset = static_cast<int64_t>(rng() % 56);
        op.buffer = type == VOR_AFILE_WRITE ? g_written : g_unread;  // both outlive every thread
        op.length = type == VOR_AFILE_READ ? 0 : 8;                     // 0: no two reads share bytes
        uint8_t ssd = static_cast<uint8_t>(rng() % 2);
        bool ok = type == VOR_AFILE_READ    ? vor_afile_readx(&op, ssd)
                  : type == VOR_AFILE_WRITE ? vor_afile_writex(&op, ssd)
                  : type == VOR_AFILE_EVENT ? vor_afile_eventx(&op, ssd)
                                            : vor_afile_cancelx(&op, ssd);
        EXPECT_TRUE(ok);
        queued += ok;
      }
    });
  }
  for (auto& th : threads) th.join();
  std::vector<Done> done = c.wait_for(static_cast<size_t>(queued.load()));
  EXPECT_EQ(done.size(), static_cast<size_t>(queued.load()));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(c.size(), static_cast<size_t>(queued.load()));  // none twice
  std::map<intptr_t, intptr_t> last;  // (thread, file) -> last sequence seen
  for (const Done& d : done) {
    intptr_t key = d.tag >> 16;
    intptr_t seq = d.tag & 0xFFFF;
    auto it = last.find(key);
    if (it != last.end()) {
      EXPECT_LT(it->second, seq) << "thread/file " << key;
    }
    last[key] = seq;
  }
  for (cu_xfile* f : files) cu_xfile_close(f);
}

TEST_F(Afile, ReadQueuedBehindAWriteOfItsFileWaitsForItOnTheSameWorker) {
  Blocker blocker(dir_.file("gate"), 0);
  cu_xfile* f = open_file("behind", "old!");
  ASSERT_NE(f, nullptr);
  Completions c;
  char text[] = "new!";
  vor_afile w = make_op(f, VOR_AFILE_WRITE, &c, 1);
  w.buffer = text;
  w.length = 4;
  ASSERT_TRUE(vor_afile_writex(&w, 0));  // to the idle first HDD worker, the blocked one
  char got[5] = {};
  vor_afile r = make_op(f, VOR_AFILE_READ, &c, 2);
  r.buffer = got;
  r.length = 4;
  ASSERT_TRUE(vor_afile_readx(&r, 1));  // the SSD preference does not move a busy file
  EXPECT_EQ(vor_filter_nfiles(), 1);
  std::string debug = debug_text(dir_);
  EXPECT_NE(debug.find("    HDD-thread-3: 2 ops\r\n"), std::string::npos) << debug;
  EXPECT_EQ(c.size(), 0u);
  blocker.release();
  std::vector<Done> done = c.wait_for(2);
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[0].tag, 1);
  EXPECT_EQ(done[1].tag, 2);
  EXPECT_EQ(done[0].thread, blocker.thread());
  EXPECT_EQ(done[1].thread, blocker.thread());
  EXPECT_STREQ(got, "new!");
  cu_xfile_close(f);
}

TEST_F(Afile, CancelMarksQueuedCopiesAndCompletesLast) {
  Blocker blocker(dir_.file("gate"), 1);
  std::string path = dir_.file("cancel");
  cu_xfile* f = open_file("cancel", "keep");
  ASSERT_NE(f, nullptr);
  Completions c;
  char text[] = "LOST";
  vor_afile w = make_op(f, VOR_AFILE_WRITE, &c, 1);
  w.buffer = text;
  w.length = 4;
  ASSERT_TRUE(vor_afile_writex(&w, 1));
  char untouched[5] = "xxxx";
  vor_afile r = make_op(f, VOR_AFILE_READ, &c, 2);
  r.buffer = untouched;
  r.length = 4;
  ASSERT_TRUE(vor_afile_readx(&r, 0));
  vor_afile fl = make_op(f, VOR_AFILE_FLUSH, &c, 3);
  ASSERT_TRUE(vor_afile_flush(&fl));
  vor_afile cl = make_op(f, VOR_AFILE_CLOSE, &c, 4);
  ASSERT_TRUE(vor_afile_close(&cl));
  vor_afile ev = make_op(f, VOR_AFILE_EVENT, &c, 5);
  ASSERT_TRUE(vor_afile_event(&ev));
  vor_afile cancel = make_op(f, VOR_AFILE_CANCEL, &c, 6);
  ASSERT_TRUE(vor_afile_cancelx(&cancel, 0));
  EXPECT_EQ(cancel.cancelled, 0);  // the caller's record is never touched
  blocker.release();
  std::vector<Done> done = c.wait_for(6);
  ASSERT_EQ(done.size(), 6u);
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(done[i].tag, i + 1);
    EXPECT_EQ(done[i].cancelled, 1);
    EXPECT_EQ(done[i].result, 0);
    EXPECT_EQ(done[i].error, 0);
  }
  EXPECT_EQ(done[5].tag, 6);
  EXPECT_EQ(done[5].type, VOR_AFILE_CANCEL);
  EXPECT_EQ(done[5].cancelled, 0);
  EXPECT_EQ(done[5].result, 0);
  EXPECT_STREQ(untouched, "xxxx");
  EXPECT_EQ(read_file(path), "keep");
  EXPECT_EQ(cu_xfile_GetFileSize(f), 4);  // the cancelled close left the handle open
  cu_xfile_close(f);
}

TEST_F(Afile, CancelsBehindCancelsCompleteInOrderWithTheirFlagsClear) {
  Blocker blocker(dir_.file("gate"), 0);
  cu_xfile* f = open_file("twice", "keep");
  ASSERT_NE(f, nullptr);
  Completions c;
  vor_afile ev = make_op(f, VOR_AFILE_EVENT, &c, 1);
  ASSERT_TRUE(vor_afile_event(&ev));
  for (int i = 2; i <= 4; ++i) {
    vor_afile cancel = make_op(f, VOR_AFILE_CANCEL, &c, i);
    ASSERT_TRUE(vor_afile_cancelx(&cancel, static_cast<uint8_t>(i % 2)));
  }
  blocker.release();
  std::vector<Done> done = c.wait_for(4);
  ASSERT_EQ(done.size(), 4u);
  EXPECT_EQ(done[0].cancelled, 1);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(done[i].tag, i + 1);
    if (i > 0) {
      EXPECT_EQ(done[i].cancelled, 0);
    }
  }
  cu_xfile_close(f);
}

TEST_F(Afile, CancelOfAnIdleFileWithoutCallbackQueuesNothing) {
  cu_xfile* f = open_file("idle", "x");
  ASSERT_NE(f, nullptr);
  vor_afile cancel = make_op(f, VOR_AFILE_CANCEL, nullptr, 0);
  EXPECT_TRUE(vor_afile_cancel(&cancel));
  EXPECT_EQ(vor_filter_nfiles(), 0);
  EXPECT_EQ(vor::afile::copies_in_use(), 0);
  // With a callback it is queued like a first operation and completes.
  Completions c;
  vor_afile told = make_op(f, VOR_AFILE_CANCEL, &c, 7);
  EXPECT_TRUE(vor_afile_cancelx(&told, 1));
  std::vector<Done> done = c.wait_for(1);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].cancelled, 0);
  EXPECT_EQ(done[0].result, 0);
  cu_xfile_close(f);
}

TEST_F(Afile, CompletionsRunOnTheCallerBoxThreadOrOnTheWorker) {
  cu_xfile* f = open_file("where", "abcd");
  ASSERT_NE(f, nullptr);
  vor_box* caller = vorx_ThreadBox_create();
  ASSERT_NE(caller, nullptr);
  auto caller_thread = static_cast<uint32_t>(vorx_box_GetThreadId(caller));
  Completions c;
  char buf[4];
  for (int i = 0; i < 20; ++i) {
    vor_afile r = make_op(f, VOR_AFILE_READ, &c, i, i % 2 ? caller : nullptr);
    r.buffer = buf;
    r.length = 4;
    ASSERT_TRUE(vor_afile_readx(&r, static_cast<uint8_t>(i % 3 == 0)));
  }
  std::vector<Done> done = c.wait_for(20);
  ASSERT_EQ(done.size(), 20u);
  uint32_t me = cu_GetThisThreadId();
  for (const Done& d : done) {
    SCOPED_TRACE(d.tag);
    if (d.tag % 2) {
      EXPECT_EQ(d.thread, caller_thread);
    } else {
      EXPECT_NE(d.thread, caller_thread);
      EXPECT_NE(d.thread, me);
    }
    EXPECT_EQ(d.result, 4);
  }
  vorx_ThreadBox_destroy(caller);
  cu_xfile_close(f);
}

TEST_F(Afile, CompletionForABoxThatIsGoneIsDroppedAndItsCopyFreed) {
  cu_xfile* f = open_file("gone", "abcd");
  ASSERT_NE(f, nullptr);
  vor_box* caller = vorx_ThreadBox_create();
  ASSERT_NE(caller, nullptr);
  vorx_ThreadBox_destroy(caller);
  ASSERT_TRUE(wait_until([&] { return !vorx_box_IsValid(caller); }));
  Completions c;
  char buf[4];
  for (int i = 0; i < 10; ++i) {
    vor_afile r = make_op(f, VOR_AFILE_READ, &c, i, caller);
    r.buffer = buf;
    r.length = 4;
    ASSERT_TRUE(vor_afile_read(&r));
  }
  EXPECT_TRUE(wait_until([] { return vor_filter_nfiles() == 0 && vor::afile::copies_in_use() == 0; }));
  EXPECT_EQ(c.size(), 0u);
  cu_xfile_close(f);
}

TEST_F(Afile, CompletionsPendingOnACallerBoxThatIsFreedReturnTheirCopies) {
  cu_xfile* f = open_file("pending", "abcd");
  ASSERT_NE(f, nullptr);
  int64_t baseline = vor::afile::copies_in_use();
  vor_box* caller = vor_box_new();  // owned by this thread, whose loop never runs
  ASSERT_NE(caller, nullptr);
  Completions c;
  char buf[4];
  constexpr int kOps = 10;
  for (int i = 0; i < kOps; ++i) {
    vor_afile r = make_op(f, VOR_AFILE_READ, &c, i, caller);
    r.buffer = buf;
    r.length = 4;
    ASSERT_TRUE(vor_afile_read(&r));
  }
  // Every read done: the copies now wait in the caller box's queue.
  ASSERT_TRUE(wait_until([] { return vor_filter_nfiles() == 0; }));
  EXPECT_EQ(vor::afile::copies_in_use(), baseline + kOps);
  vor_box_free(caller);
  EXPECT_EQ(vor::afile::copies_in_use(), baseline);
  EXPECT_EQ(c.size(), 0u);
  cu_xfile_close(f);
}

TEST_F(Afile, FileCountRisesWhileOperationsArePendingAndFalls) {
  Blocker blocker(dir_.file("gate"), 0);
  cu_xfile* f = open_file("count-a", "aaaa");
  cu_xfile* g = open_file("count-b", "bbbb");
  ASSERT_NE(f, nullptr);
  ASSERT_NE(g, nullptr);
  Completions c;
  char buf[4];
  for (int i = 0; i < 5; ++i) {
    vor_afile r = make_op(f, VOR_AFILE_READ, &c, i);
    r.buffer = buf;
    r.length = 4;
    ASSERT_TRUE(vor_afile_read(&r));
    EXPECT_EQ(vor_filter_nfiles(), 1);
  }
  vor_afile e = make_op(g, VOR_AFILE_EVENT, &c, 9);
  ASSERT_TRUE(vor_afile_event(&e));  // the least-loaded worker: the other HDD worker
  EXPECT_TRUE(wait_until([&] { return c.size() == 1; }));
  EXPECT_EQ(vor_filter_nfiles(), 1);
  blocker.release();
  c.wait_for(6);
  EXPECT_TRUE(wait_until([] { return vor_filter_nfiles() == 0; }));
  cu_xfile_close(f);
  cu_xfile_close(g);
}

// Outcomes of single operations: (file, type, length) -> (result, error).
struct OutcomeCase {
  const char* name;
  const char* path;  // nullptr: a temporary file holding "0123456789"
  bool write_only;
  uint8_t type;
  int64_t offset;
  int32_t length;
  int32_t result;
  int32_t error;
};
const OutcomeCase kOutcomes[] = {
    {"read", nullptr, false, VOR_AFILE_READ, 2, 5, 5, 0},
    {"read across the end", nullptr, false, VOR_AFILE_READ, 8, 5, 2, 0},
    {"read past the end", nullptr, false, VOR_AFILE_READ, 100, 5, 0, 0},
    {"read of nothing", nullptr, false, VOR_AFILE_READ, 0, 0, 0, 0},
    {"read at a negative offset", nullptr, false, VOR_AFILE_READ, -1, 5, -1, EINVAL},
    {"read of a write-only file", nullptr, true, VOR_AFILE_READ, 0, 5, -1, EBADF},
    {"write", nullptr, false, VOR_AFILE_WRITE, 20, 5, 5, 0},
    {"write to a full disk", "/dev/full", true, VOR_AFILE_WRITE, 0, 5, -1, ENOSPC},
    {"flush", nullptr, false, VOR_AFILE_FLUSH, 0, 0, 0, 0},
    {"flush that fails", "/dev/full", true, VOR_AFILE_FLUSH, 0, 0, -1, EINVAL},
    {"event", nullptr, false, VOR_AFILE_EVENT, 0, 0, 0, 0},
};

cu_xfile* open_for(const OutcomeCase& oc, const std::string& temp) {
  std::string path = oc.path ? oc.path : temp;
  cu_xfile* f = nullptr;
  // Other test processes may hold /dev/full's exclusive lock for a moment.
  wait_until([&] {
    f = oc.write_only ? cu_xfile_open_w(path.c_str(), 0) : cu_xfile_open_rw(path.c_str(), 0);
    return f != nullptr || cu_xfile_GetLastError() != EBUSY;
  });
  return f;
}

bool submit(const vor_afile& op) {
  switch (op.type) {
    case VOR_AFILE_READ: return vor_afile_read(&op);
    case VOR_AFILE_WRITE: return vor_afile_write(&op);
    case VOR_AFILE_FLUSH: return vor_afile_flush(&op);
    default: return vor_afile_event(&op);
  }
}

TEST_F(Afile, OperationOutcomesCarryResultAndErrno) {
  for (const OutcomeCase& oc : kOutcomes) {
    SCOPED_TRACE(oc.name);
    std::string temp = dir_.file("outcome");
    write_file(temp, "0123456789");
    cu_xfile* f = open_for(oc, temp);
    ASSERT_NE(f, nullptr) << cu_xfile_GetLastError();
    Completions c;
    char buf[8] = "ABCDEFG";
    vor_afile op = make_op(f, oc.type, &c, 0);
    op.offset = oc.offset;
    op.buffer = buf;
    op.length = oc.length;
    ASSERT_TRUE(submit(op));
    std::vector<Done> done = c.wait_for(1);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].result, oc.result);
    EXPECT_EQ(done[0].error, oc.error);
    EXPECT_EQ(done[0].cancelled, 0);
    if (oc.type == VOR_AFILE_READ && oc.result > 0) {
      EXPECT_EQ(std::string(buf, oc.result), std::string("0123456789").substr(oc.offset, oc.result));
    }
    if (oc.type == VOR_AFILE_WRITE && oc.result > 0) {
      EXPECT_EQ(read_file(temp).substr(20), "ABCDE");
    }
    EXPECT_TRUE(cu_xfile_IsErrorForDiskFull(done[0].error) == (oc.error == ENOSPC));
    cu_xfile_close(f);
  }
}

TEST_F(Afile, CloseClosesTheFileAfterItsEarlierOperations) {
  std::string path = dir_.file("closing");
  cu_xfile* f = open_file("closing", "");
  ASSERT_NE(f, nullptr);
  Completions c;
  char text[] = "written before the close";
  vor_afile w = make_op(f, VOR_AFILE_WRITE, &c, 1);
  w.buffer = text;
  w.length = static_cast<int32_t>(strlen(text));
  ASSERT_TRUE(vor_afile_write(&w));
  vor_afile cl = make_op(f, VOR_AFILE_CLOSE, &c, 2);
  ASSERT_TRUE(vor_afile_closex(&cl, 1));
  std::vector<Done> done = c.wait_for(2);
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[1].tag, 2);
  EXPECT_EQ(done[1].result, 0);
  EXPECT_EQ(read_file(path), text);
  // Closed: the exclusive sharing lock is gone, so a writer can open it again.
  cu_xfile* again = cu_xfile_open_w(path.c_str(), 0);
  EXPECT_NE(again, nullptr);
  cu_xfile_close(again);
}

TEST_F(Afile, InvalidRecordsAreRefusedAndQueueNothing) {
  cu_xfile* f = open_file("invalid", "x");
  ASSERT_NE(f, nullptr);
  Completions c;
  char buf[4];
  vor_afile good = make_op(f, VOR_AFILE_READ, &c, 0);
  good.buffer = buf;
  good.length = 4;
  vor_afile no_file = good;
  no_file.file = nullptr;
  vor_afile wrong_type = good;
  wrong_type.type = VOR_AFILE_WRITE;
  vor_afile no_buffer = good;
  no_buffer.buffer = nullptr;
  vor_afile negative = good;
  negative.length = -1;
  EXPECT_FALSE(vor_afile_read(nullptr));
  EXPECT_FALSE(vor_afile_read(&no_file));
  EXPECT_FALSE(vor_afile_read(&wrong_type));
  EXPECT_FALSE(vor_afile_read(&no_buffer));
  EXPECT_FALSE(vor_afile_read(&negative));
  EXPECT_FALSE(vor_afile_write(&good));  // a read record handed to write
  EXPECT_FALSE(vor_afile_flush(&good));
  EXPECT_FALSE(vor_afile_cancel(&good));
  EXPECT_FALSE(vor_afile_close(&good));
  EXPECT_FALSE(vor_afile_event(&good));
  EXPECT_EQ(vor_filter_nfiles(), 0);
  EXPECT_EQ(vor::afile::copies_in_use(), 0);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(c.size(), 0u);
  cu_xfile_close(f);
}

// --- set-up: each case in a fresh process --------------------------------------------------------

// Runs body in a child process of its own (gtest re-runs this test there) and expects exit 0.
#define IN_FRESH_PROCESS(body)                                       \
  do {                                                               \
    GTEST_FLAG_SET(death_test_style, "threadsafe");                  \
    EXPECT_EXIT({ body; _exit(::testing::Test::HasFailure() ? 1 : 0); }, \
                ::testing::ExitedWithCode(0), "");                   \
  } while (0)

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(AfileSetup, BeforeSetUpNothingIsQueuedAndDebugShowsNoWorkers) {
  IN_FRESH_PROCESS({
    TempDir dir;
    write_file(dir.file("f"), "x");
    cu_xfile* f = cu_xfile_open_r(dir.file("f").c_str(), 0);
    vor_afile op = make_op(f, VOR_AFILE_EVENT, nullptr, 0);
    EXPECT_FALSE(vor_afile_event(&op));
    EXPECT_EQ(vor_filter_nfiles(), 0);
    EXPECT_EQ(debug_text(dir), "---------AFILE DEBUG:\r\nfiles: 0\r\ntheads: 0\r\n");
    cu_xfile_close(f);
  });
}

TEST(AfileSetup, NoCountsStartFourHddWorkers) {
  IN_FRESH_PROCESS({
    TempDir dir;
    vor_afile_setupx(0, 0);
    EXPECT_EQ(debug_text(dir),
              "---------AFILE DEBUG:\r\nfiles: 0\r\n"
              "    HDD-thread-1: 0 ops\r\n    HDD-thread-2: 0 ops\r\n"
              "    HDD-thread-3: 0 ops\r\n    HDD-thread-4: 0 ops\r\ntheads: 4\r\n");
  });
}

TEST(AfileSetup, SixAndTwoStartTwoSsdAndSixHddWorkersOnce) {
  IN_FRESH_PROCESS({
    TempDir dir;
    vor_afile_setupx(6, 2);
    vor_afile_setupx(3, 3);
    vor_afile_setup(5);
    std::string text = debug_text(dir);
    EXPECT_EQ(count_of(text, "SSD-thread-"), 2) << text;
    EXPECT_EQ(count_of(text, "HDD-thread-"), 6) << text;
    EXPECT_NE(text.find("    SSD-thread-1: 0 ops\r\n    SSD-thread-2: 0 ops\r\n    HDD-thread-3: 0 ops\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("theads: 8\r\n"), std::string::npos) << text;
  });
}

TEST(AfileSetup, SsdPreferenceWithoutSsdWorkersGoesToTheLeastLoadedHddWorker) {
  IN_FRESH_PROCESS({
    TempDir dir;
    vor_afile_setup(2);
    {
      Blocker blocker(dir.file("gate"), 1);  // the first HDD worker
      write_file(dir.file("a"), "a");
      write_file(dir.file("b"), "b");
      cu_xfile* a = cu_xfile_open_r(dir.file("a").c_str(), 0);
      cu_xfile* b = cu_xfile_open_r(dir.file("b").c_str(), 0);
      Completions c;
      vor_afile ea = make_op(a, VOR_AFILE_EVENT, &c, 1);
      EXPECT_TRUE(vor_afile_eventx(&ea, 1));  // idle first worker: queued behind the blocker
      vor_afile eb = make_op(b, VOR_AFILE_EVENT, &c, 2);
      EXPECT_TRUE(vor_afile_eventx(&eb, 1));  // the second worker has fewer pending
      std::vector<Done> done = c.wait_for(1);
      EXPECT_EQ(done.size(), 1u);
      if (!done.empty()) {
        EXPECT_EQ(done[0].tag, 2);
        EXPECT_NE(done[0].thread, blocker.thread());
      }
      std::string text = debug_text(dir);
      EXPECT_NE(text.find("    HDD-thread-1: 1 ops\r\n    HDD-thread-2: 0 ops\r\ntheads: 2\r\n"), std::string::npos)
          << text;
      blocker.release();
      c.wait_for(2);
      cu_xfile_close(a);
      cu_xfile_close(b);
    }
  });
}

}  // namespace
