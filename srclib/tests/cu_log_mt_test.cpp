#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cu_log.h"
#include "log_test_util.h"
#include "vor_tempdir.h"

namespace {
using vor::test::read_file;

constexpr int kThreads = 8;
constexpr int kLinesPerThread = 10000;

TEST(LogThreads, LinesOfManyThreadsNeverInterleave) {
  vor::test::TempDir scratch;
  const std::string path = scratch.file("mt.log");
  cu_log* log = cu_log_malloc(path.c_str());
  ASSERT_NE(log, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([log, t] {
      const std::string pad(static_cast<size_t>(t * 37 % 200), static_cast<char>('a' + t));
      for (int i = 0; i < kLinesPerThread; ++i) {
        switch (i % 3) {
          case 0: cu_log_notice(log, "t%d n%d %s\r\n", t, i, pad.c_str()); break;
          case 1: cu_log_warn(log, "t%d n%d %s\r\n", t, i, pad.c_str()); break;
          default: cu_log_error(log, "t%d n%d %s\r\n", t, i, pad.c_str()); break;
        }
      }
    });
  }
  // One more thread switches files meanwhile: lines move with it, none is lost.
  const std::string second = scratch.file("mt2.log");
  std::thread renamer([&] { cu_log_rename(log, second.c_str()); });
  for (auto& th : threads) th.join();
  renamer.join();
  cu_log_free(log);

  const char* words[] = {"notice: ", "warn: ", "error: "};
  std::map<int, int> next_of_thread;
  size_t total = 0;
  for (const std::string& file : {path, second}) {
    const std::string text = read_file(file);
    ASSERT_TRUE(text.empty() || (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0));
    for (const std::string& line : split_lines(text)) {
      ++total;
      const size_t n = time_prefix_length(line);
      ASSERT_GT(n, 0u) << line;
      int t = -1, i = -1, used = 0;
      const std::string rest = line.substr(n);
      size_t word_len = 0;
      for (const char* w : words) {
        if (rest.rfind(w, 0) == 0) word_len = strlen(w);
      }
      ASSERT_GT(word_len, 0u) << line;
      ASSERT_EQ(sscanf(rest.c_str() + word_len, "t%d n%d %n", &t, &i, &used), 2) << line;
      ASSERT_TRUE(t >= 0 && t < kThreads) << line;
      ASSERT_EQ(rest.substr(0, word_len), words[i % 3]) << line;
      const std::string pad(static_cast<size_t>(t * 37 % 200), static_cast<char>('a' + t));
      ASSERT_EQ(rest.substr(word_len + static_cast<size_t>(used)), pad) << line;
      ASSERT_EQ(i, next_of_thread[t]) << "thread " << t << " out of order";  // one thread's lines keep their order
      next_of_thread[t] = i + 1;
    }
  }
  EXPECT_EQ(total, static_cast<size_t>(kThreads) * kLinesPerThread);
}

}  // namespace
