// The open-file registry: its edge cases as one table over real files, the listing text, both
// spellings of a path, and eight threads opening, closing and deleting at random.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "edgeserv.h"
#include "vor_afile.h"
#include "vor_setup.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

namespace {

using vor::test::wait_until;

class Registry : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    vor_Setup();
    vor_afile_setupx(2, 1);
  }
  void TearDown() override { EXPECT_TRUE(wait_until([] { return edgeserv_fnnodes() == 0; })); }
  std::string path(const std::string& name) {
    const std::string p = dir_.file(name);
    vor::test::write_file(p, "data");
    return p;
  }
  vor::test::TempDir dir_;
};

std::string listing() {
  cu_jitter* out = cu_jitter_malloc();
  edgeserv_flist(out);
  std::string text(static_cast<size_t>(cu_jitter_GetLen(out)), '\0');
  cu_jitter_GetData(out, text.data(), static_cast<int32_t>(text.size()));
  cu_jitter_free(out);
  return text;
}

bool on_disk(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

TEST_F(Registry, TwoReadersCountTwoAndOneCloseLeavesOne) {
  const std::string p = path("a");
  cu_xfile* r1 = edgeserv_fopen_r(p.c_str(), nullptr);
  cu_xfile* r2 = edgeserv_fopen_r(p.c_str(), nullptr);
  ASSERT_TRUE(r1 && r2);
  EXPECT_EQ(listing(), "\"" + p + "\" -> reading(2) \r\n");
  edgeserv_fclose(p.c_str(), r1);
  EXPECT_TRUE(wait_until([&] { return listing() == "\"" + p + "\" -> reading(1) \r\n"; }));
  EXPECT_EQ(edgeserv_fexist(p.c_str()), 1);
  edgeserv_fclose(p.c_str(), r2);
}

TEST_F(Registry, AWriterIsRefusedWhileReadersHoldThePathAndTheOtherWayRound) {
  const std::string p = path("b");
  cu_xfile* r = edgeserv_fopen_r(p.c_str(), nullptr);
  ASSERT_NE(r, nullptr);
  int32_t error = -1;
  EXPECT_EQ(edgeserv_fopen_tx(p.c_str(), &error), nullptr);
  EXPECT_EQ(error, 0);
  edgeserv_fclose(p.c_str(), r);
  ASSERT_TRUE(wait_until([] { return edgeserv_fnnodes() == 0; }));
  cu_xfile* w = edgeserv_fopen_wx(p.c_str(), &error);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(listing(), "\"" + p + "\" -> writing \r\n");
  error = -1;
  EXPECT_EQ(edgeserv_fopen_r(p.c_str(), &error), nullptr);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(edgeserv_fopen_w(p.c_str(), &error), nullptr);
  EXPECT_EQ(edgeserv_fcanread(p.c_str()), 0);
  edgeserv_fclose(p.c_str(), w);
}

TEST_F(Registry, ADeleteWaitsForTheLastReader) {
  const std::string p = path("c");
  cu_xfile* r1 = edgeserv_fopen_r(p.c_str(), nullptr);
  cu_xfile* r2 = edgeserv_fopen_r(p.c_str(), nullptr);
  edgeserv_fdelete(p.c_str());
  EXPECT_EQ(listing(), "\"" + p + "\" -> deleting\r\n");
  int32_t error = -1;
  EXPECT_EQ(edgeserv_fopen_r(p.c_str(), &error), nullptr);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(edgeserv_fcanread(p.c_str()), 0);
  edgeserv_fclose(p.c_str(), r1);
  EXPECT_TRUE(wait_until([&] { return listing().find("deleting") != std::string::npos; }));
  EXPECT_TRUE(on_disk(p));
  edgeserv_fclose(p.c_str(), r2);
  EXPECT_TRUE(wait_until([&] { return !on_disk(p) && edgeserv_fexist(p.c_str()) == 0; }));
}

TEST_F(Registry, UnregisteredDeletesAndMissingFiles) {
  const std::string p = path("d");
  edgeserv_fdelete(p.c_str());
  EXPECT_FALSE(on_disk(p));
  EXPECT_EQ(edgeserv_fexist(p.c_str()), 0);
  int32_t error = 0;
  EXPECT_EQ(edgeserv_fopen_r(dir_.file("missing").c_str(), &error), nullptr);
  EXPECT_TRUE(cu_xfile_IsErrorForNoSuchFile(error)) << error;
  EXPECT_EQ(edgeserv_fnnodes(), 0);
  EXPECT_EQ(edgeserv_fcanread(dir_.file("missing").c_str()), 1);
  // A reference taken and released without a handle leaves no entry.
  cu_xfile* r = edgeserv_fopen_r(dir_.file("missing").c_str(), nullptr);
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(edgeserv_fnnodes(), 0);
}

TEST_F(Registry, BothSpellingsOfAPathMeetInOneEntry) {
  const std::string p = path("e");
  std::string back = p;
  for (char& c : back)
    if (c == '/') c = '\\';
  cu_xfile* r = edgeserv_fopen_r(back.c_str(), nullptr);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(edgeserv_fopen_tx(p.c_str(), nullptr), nullptr);
  EXPECT_EQ(listing(), "\"" + p + "\" -> reading(1) \r\n");
  edgeserv_fclose(p.c_str(), r);
}

// Eight threads, sixteen paths: a reader's file is never removed under it, a writer is alone
// on its path, and every entry is gone at the end.
TEST_F(Registry, RandomOpensClosesAndDeletesFromEightThreads) {
  constexpr int kPaths = 16;
  std::vector<std::string> paths;
  for (int i = 0; i < kPaths; ++i) paths.push_back(path("p" + std::to_string(i)));
  std::atomic<int> readers[kPaths] = {};
  std::atomic<int> writers[kPaths] = {};
  std::atomic<int> faults{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(100 + t);
      struct Held {
        int path;
        cu_xfile* file;
        bool writer;
      };
      std::vector<Held> held;
      for (int step = 0; step < 3000; ++step) {
        const int i = static_cast<int>(rng() % kPaths);
        const char* p = paths[static_cast<size_t>(i)].c_str();
        const uint32_t op = rng() % 10;
        if (op < 4) {
          if (cu_xfile* f = edgeserv_fopen_r(p, nullptr)) {
            readers[i].fetch_add(1);
            if (writers[i].load() != 0 || !on_disk(p)) faults.fetch_add(1);
            held.push_back({i, f, false});
          }
        } else if (op < 5) {
          if (cu_xfile* f = edgeserv_fopen_wx(p, nullptr)) {
            if (writers[i].fetch_add(1) != 0 || readers[i].load() != 0) faults.fetch_add(1);
            held.push_back({i, f, true});
          }
        } else if (op < 9 && !held.empty()) {
          const size_t k = rng() % held.size();
          const Held h = held[k];
          held.erase(held.begin() + static_cast<long>(k));
          if (!h.writer && !on_disk(paths[static_cast<size_t>(h.path)])) faults.fetch_add(1);
          (h.writer ? writers : readers)[h.path].fetch_sub(1);
          edgeserv_fclose(paths[static_cast<size_t>(h.path)].c_str(), h.file);
        } else if (op == 9) {
          edgeserv_fdelete(p);
        }
      }
      for (const Held& h : held) {
        (h.writer ? writers : readers)[h.path].fetch_sub(1);
        edgeserv_fclose(paths[static_cast<size_t>(h.path)].c_str(), h.file);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_TRUE(wait_until([] { return edgeserv_fnnodes() == 0; })) << listing();
}

}  // namespace
