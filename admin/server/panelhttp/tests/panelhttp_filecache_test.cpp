// The file cache with its own clock: hits, ranges, the period before a changed file is seen,
// large files read from disk, eviction by fewest hits then path, and files too large to serve.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "panelhttp_internal.h"
#include "vor_tempdir.h"

namespace {

namespace cache = vor::panelhttp;
using vor::test::write_file;

int64_t g_now = 1000;
int64_t test_clock() { return g_now; }

class FileCache : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = 1000;
    cache::filecache_set_clock(test_clock);
    cache::filecache_set_limits(1ull << 30, 1024, 30);
  }
  // A file with a given modify time (seconds), so that a change is seen whatever the clock.
  std::string put(const std::string& name, const std::string& bytes, int64_t mtime = 100) {
    const std::string path = tmp_.file(name);
    write_file(path, bytes);
    const timespec times[2] = {{mtime, 0}, {mtime, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
    return path;
  }
  std::string read(const std::string& path, uint32_t from, uint32_t to, bool* ok = nullptr) {
    std::string buf(to > from ? to - from : 0, '\0');
    uint32_t count = 99;
    const bool done = cache::filecache_read(path.c_str(), from, to, buf.data(), &count);
    if (ok) *ok = done;
    buf.resize(done ? count : 0);
    return buf;
  }

  vor::test::TempDir tmp_;
};

TEST_F(FileCache, RangesAreCutToTheFileAndPastTheEndGiveNothing) {
  const std::string path = put("a.txt", "0123456789");
  const struct {
    uint32_t from, to;
    const char* bytes;
  } cases[] = {{0, 10, "0123456789"}, {2, 5, "234"}, {8, 100, "89"}, {10, 20, ""}, {50, 60, ""}, {5, 5, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from);
    bool ok = false;
    EXPECT_EQ(read(path, c.from, c.to, &ok), c.bytes);
    EXPECT_TRUE(ok);
  }
  bool ok = true;
  read(tmp_.file("missing"), 0, 10, &ok);
  EXPECT_FALSE(ok);
  uint32_t count = 0;
  EXPECT_FALSE(cache::filecache_read(path.c_str(), 0, 1, nullptr, &count));
}

TEST_F(FileCache, ChangedSmallFileIsSeenOnlyAfterThePeriod) {
  const std::string path = put("b.txt", "old!", 100);
  EXPECT_EQ(read(path, 0, 4), "old!");
  put("b.txt", "new!", 200);
  g_now += 30;
  EXPECT_EQ(read(path, 0, 4), "old!");
  g_now += 1;
  EXPECT_EQ(read(path, 0, 4), "new!");
  std::filesystem::remove(path);
  EXPECT_EQ(read(path, 0, 4), "new!");  // vanished: still served within the period
  g_now += 31;
  bool ok = true;
  read(path, 0, 4, &ok);
  EXPECT_FALSE(ok);
}

TEST_F(FileCache, LargeFileIsNeverHeldAndAlwaysReadFromDisk) {
  const int64_t before = cache::filecache_data_bytes();
  const std::string path = put("big.bin", std::string(2000, 'x'), 100);
  EXPECT_EQ(read(path, 0, 2000), std::string(2000, 'x'));
  EXPECT_EQ(cache::filecache_data_bytes(), before);
  put("big.bin", std::string(2000, 'y'), 100);  // same modify time: only a disk read sees it
  EXPECT_EQ(read(path, 1990, 2000), std::string(10, 'y'));
}

// A file shrunk under a large entry delivers fewer bytes than asked, down to none.
TEST_F(FileCache, ShrunkLargeFileDeliversWhatIsLeft) {
  const std::string path = put("shrink.bin", std::string(3000, 'z'), 100);
  EXPECT_EQ(read(path, 0, 10).size(), 10u);
  truncate(path.c_str(), 1500);
  EXPECT_EQ(read(path, 1000, 2000).size(), 500u);
  bool ok = false;
  EXPECT_EQ(read(path, 2000, 3000, &ok), "");
  EXPECT_TRUE(ok);
}

TEST_F(FileCache, EvictionTakesFewestHitsThenPathOrder) {
  const std::string a = put("e_a", std::string(100, 'a')), b = put("e_b", std::string(100, 'b')),
                    c = put("e_c", std::string(100, 'c'));
  for (int i = 0; i < 2; ++i) read(a, 0, 100);
  read(b, 0, 100);
  read(c, 0, 100);
  read(c, 0, 50);  // a read that does not reach the end is no hit
  const int64_t held = cache::filecache_data_bytes();
  cache::filecache_set_limits(static_cast<uint64_t>(held - 100), 1024, 30);
  read(a, 0, 1);
  EXPECT_TRUE(cache::filecache_holds(a.c_str()));
  EXPECT_FALSE(cache::filecache_holds(b.c_str()));
  EXPECT_TRUE(cache::filecache_holds(c.c_str()));
}

TEST_F(FileCache, ZeroBudgetReloadsEveryRead) {
  cache::filecache_set_limits(0, 1024, 30);
  const std::string path = put("zero.txt", "one", 100);
  EXPECT_EQ(read(path, 0, 3), "one");
  put("zero.txt", "two", 100);
  EXPECT_EQ(read(path, 0, 3), "two");
}

TEST_F(FileCache, AttributesOfFilesAndRefusals) {
  const std::string path = put("attr.txt", "12345", 4242);
  int32_t size = 0;
  int64_t mtime = 0;
  ASSERT_EQ(panelhttp_GetFileAttr(path.c_str(), &size, &mtime), 1);
  EXPECT_EQ(size, 5);
  EXPECT_EQ(mtime, 4242);
  EXPECT_EQ(panelhttp_GetFileAttr(path.c_str(), nullptr, nullptr), 1);
  EXPECT_EQ(panelhttp_GetFileAttr(nullptr, &size, &mtime), 0);
  EXPECT_EQ(panelhttp_GetFileAttr(tmp_.path().c_str(), &size, &mtime), 0);  // a folder
}

// Sizes are 32-bit: a file of 4 GiB (sparse here) is not served at all rather than cut.
TEST_F(FileCache, FileOfFourGibibytesIsRefused) {
  const std::string path = put("huge.bin", "");
  ASSERT_EQ(truncate(path.c_str(), 4ll << 30), 0);
  int32_t size = 0;
  EXPECT_EQ(panelhttp_GetFileAttr(path.c_str(), &size, nullptr), 0);
  bool ok = true;
  read(path, 0, 10, &ok);
  EXPECT_FALSE(ok);
  ASSERT_EQ(truncate(path.c_str(), (4ll << 30) - 1), 0);
  g_now += 100;
  EXPECT_EQ(panelhttp_GetFileAttr(path.c_str(), &size, nullptr), 1);
  EXPECT_EQ(static_cast<uint32_t>(size), 0xFFFFFFFFu);
}

}  // namespace
