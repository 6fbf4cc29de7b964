// A cache disk that fills up (a 16 MiB tmpfs, as root): the write that finds it full marks it and
// starts its cleaning, the pass deletes the files nobody has open with their records and clears
// the mark, and writing resumes on the same disk.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstring>
#include <string>
#include <vector>

#include "reqgate_test_util.h"
#include "reqgate_writer_test_util.h"

namespace {

using namespace vor::reqgate;
using vor::reqgate::test::make_head;
using vor::reqgate::test::stored;
using vor::reqgate::test::Writers;

std::atomic<bool> g_full{false};
std::atomic<int> g_full_calls{0};
std::atomic<int> g_unfull_calls{0};
std::atomic<bool> g_hold{false};

int32_t every_draw() { return 0; }
// Held until the write that found the disk full has settled: its last full mark then comes
// before the pass clears the mark for the last time.
void held_pause(uint32_t) {
  while (g_hold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class FullDisk : public Writers {
 protected:
  // Writes a response of body's length under key on disk 0 from slave box 0; begin's answer.
  bool write(const std::string& key, const std::string& body) {
    const std::string path = path_of(kPublic, 0, key);
    const bool begun = on_box(0, [&] {
      const auto request = make_head("GET /" + key + " HTTP/1.1\r\nHost: h.test\r\n");
      const auto response = make_head("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n");
      if (!writer_begin({kPublic, false, 60, 0, key, path}, request.get(), response.get())) return false;
      for (size_t at = 0; at < body.size(); at += 65536) {
        writer_append(path.c_str(), body.data() + at, static_cast<int64_t>(std::min<size_t>(65536, body.size() - at)));
      }
      writer_finish(path.c_str());
      return true;
    });
    quiesce();
    return begun;
  }
};

TEST_F(FullDisk, WritingResumesOnceTheDiskIsCleaned) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  set_console_trace(false);
  clean_calls() = {every_draw, held_pause};
  g_full = false;
  g_full_calls = 0;
  g_unfull_calls = 0;
  g_hold = true;
  std::filesystem::create_directories(disk(0));
  ASSERT_EQ(mount("tmpfs", disk(0).c_str(), "tmpfs", 0, "size=16m"), 0) << std::strerror(errno);
  struct Unmount {
    std::string at;
    ~Unmount() {
      g_hold = false;
      umount2(at.c_str(), MNT_DETACH);
    }
  } unmount{disk(0)};

  const std::string body(1 << 20, 'b');
  std::vector<std::string> kept;
  std::string failed;
  for (int i = 0; i < 40 && g_full_calls.load() == 0; ++i) {
    const std::string key = "h.test/fill" + std::to_string(i);
    ASSERT_TRUE(write(key, body));
    if (g_full_calls.load() == 0) {
      kept.push_back(key);
    } else {
      failed = key;
    }
  }
  g_hold = false;
  ASSERT_FALSE(failed.empty()) << "the disk never filled";
  EXPECT_FALSE(stored(kPublic, file_name(failed)));
  ASSERT_GE(kept.size(), 10u);
  // The pass clears the mark after each of the ten public folders (depth 1).
  ASSERT_TRUE(vor::test::wait_until([] { return g_unfull_calls.load() >= 10 && !g_full.load(); }));
  for (const std::string& key : kept) {
    EXPECT_FALSE(vor::test::exists(path_of(kPublic, 0, key))) << key;
    EXPECT_FALSE(stored(kPublic, file_name(key))) << key;
  }
  const std::string next = "h.test/after";
  ASSERT_TRUE(write(next, body));
  EXPECT_FALSE(g_full.load());
  std::string record;
  ASSERT_TRUE(stored(kPublic, file_name(next), &record));
  char cl[kNumberValueSize];
  ASSERT_NE(index_value(record.c_str(), "cl", cl, sizeof cl), nullptr) << record;
  EXPECT_EQ(std::string(cl), "100000");
  EXPECT_TRUE(vor::test::exists(path_of(kPublic, 0, next)));
}

}  // namespace

extern "C" {
uint32_t policydb_system_get_DiskCacheDirectoryDepth(void) { return 1; }
uint8_t policydb_diskno_SetFull(int32_t num) {
  if (num == 0) {
    g_full = true;
    g_full_calls.fetch_add(1);
  }
  return 1;
}
uint8_t policydb_diskno_SetUnfull(int32_t num) {
  if (num == 0) {
    g_full = false;
    g_unfull_calls.fetch_add(1);
  }
  return 1;
}
uint8_t policydb_diskno_IsSSD(int32_t) { return 0; }
}
