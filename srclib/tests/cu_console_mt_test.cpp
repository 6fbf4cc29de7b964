#include "cu_console.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "vor_tempdir.h"

namespace {

// Lines written by several threads at once arrive whole, each exactly once.
TEST(ConsoleThreads, LinesOfThreadsNeverInterleave) {
  vor::test::TempDir dir;
  std::string name = dir.file("console.txt");
  cu_console_Setup(name.c_str());
  constexpr int kThreads = 4, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) cu_console_printf("thread %d line %d %s\r\n", t, i, "payload-payload-payload");
    });
  }
  for (auto& th : threads) th.join();
  cu_console_Free();
  std::istringstream in(vor::test::read_file(name));
  std::string line;
  std::set<std::pair<int, int>> seen;
  while (std::getline(in, line)) {
    int t = -1, i = -1;
    char tail[64] = {};
    ASSERT_EQ(sscanf(line.c_str(), "thread %d line %d %63s", &t, &i, tail), 3) << line;
    EXPECT_STREQ(tail, "payload-payload-payload");
    EXPECT_EQ(line.back(), '\r');
    EXPECT_TRUE(seen.insert({t, i}).second) << "twice: " << line;
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

}  // namespace
