// The file cache under contention: threads read random ranges while the files are replaced;
// every read gives bytes of one version of the file, never a mix.
#include <gtest/gtest.h>
#include <stdio.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "panelhttp_internal.h"
#include "vor_tempdir.h"

namespace {

std::atomic<int64_t> g_now{1000};
int64_t test_clock() { return g_now.load(); }

// Version v of a file: every byte is the letter of its version.
std::string version(int v, size_t size) { return std::string(size, static_cast<char>('a' + v % 26)); }

TEST(FileCacheThreaded, RandomRangesWhileFilesAreReplaced) {
  vor::test::TempDir tmp;
  vor::panelhttp::filecache_set_clock(test_clock);
  vor::panelhttp::filecache_set_limits(64 * 1024, 4096, 0);
  const std::vector<size_t> sizes = {100, 3000, 9000};  // the last above the block size: read from disk
  std::vector<std::string> paths;
  for (size_t i = 0; i < sizes.size(); ++i) {
    paths.push_back(tmp.file("f" + std::to_string(i)));
    vor::test::write_file(paths.back(), version(0, sizes[i]));
  }
  std::atomic<bool> stop{false};
  std::atomic<int> mixed{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 8; ++t) {
    readers.emplace_back([&, t] {
      std::mt19937 rng(t);
      std::string buf(16384, '\0');
      for (int i = 0; i < 3000 && !stop; ++i) {
        const size_t f = rng() % paths.size();
        const uint32_t from = rng() % sizes[f], to = from + 1 + rng() % (sizes[f] - from);
        uint32_t count = 0;
        if (!vor::panelhttp::filecache_read(paths[f].c_str(), from, to, buf.data(), &count) || count == 0) continue;
        if (buf.find_first_not_of(buf[0], 0) < count) ++mixed;
        if (i % 50 == 0) ++g_now;
      }
    });
  }
  for (int v = 1; v < 60; ++v) {
    for (size_t i = 0; i < paths.size(); ++i) {
      // Replaced whole by a rename, as a deploy would.
      const std::string next = paths[i] + ".next";
      vor::test::write_file(next, version(v, sizes[i]));
      rename(next.c_str(), paths[i].c_str());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  stop = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(mixed.load(), 0);
}

}  // namespace
