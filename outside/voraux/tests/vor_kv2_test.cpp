// Index stores: a model-based test against std::map, files left by crashes and by others, the
// sqlite3 tool's view of a store, short buffers and closed stores.
#include "vor_kv2.h"

#include "kv_test_util.h"
#include "vor_tempdir.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using vor::test::kv_del;
using vor::test::kv_get;
using vor::test::kv_key;
using vor::test::kv_next;
using vor::test::kv_put;
using vor::test::kv_value;
using vor::test::TempDir;

constexpr uint64_t kAllOnes = ~uint64_t{0};

vor_kv2* open_store(const std::string& path, int32_t cache_mib = 2) {
  return vor_kv2_open_ext(path.c_str(), true, true, 218, cache_mib, 1);
}

std::string cli(const std::string& path, const std::string& sql) {
  return vor::test::shell_output("sqlite3 -batch '" + path + "' \"" + sql + "\" 2>&1");
}

// Random puts, gets, deletes, clears and walks with changes between GetNext calls, compared with
// a std::map after every step; the store is closed and reopened now and then.
TEST(Kv2Model, MatchesAMapThroughWalksAndReopens) {
  const unsigned seed = 20261210;
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  TempDir dir;
  const std::string path = dir.file("public.idx2");
  vor_kv2* s = open_store(path);
  ASSERT_NE(s, nullptr);
  std::map<std::string, std::string> model;
  uint64_t version = 0;

  bool walking = false;
  std::string last_seen;
  std::set<std::string> must_see;  // present when the walk started and not deleted since
  std::set<std::string> seen;

  for (int step = 0; step < 6000; ++step) {
    SCOPED_TRACE(step);
    const std::string k = kv_key(rng() % 400);
    const int op = static_cast<int>(rng() % 100);
    if (op < 35) {
      const std::string v = kv_value(rng() % 400, ++version, rng() % 4 ? 170 : 60);
      ASSERT_TRUE(kv_put(s, k, v));
      model[k] = v;
    } else if (op < 50) {
      const bool removed = model.erase(k) > 0;
      ASSERT_EQ(kv_del(s, k), removed);
      must_see.erase(k);
    } else if (op < 70) {
      std::string v;
      const auto it = model.find(k);
      ASSERT_EQ(kv_get(s, k, &v), it != model.end());
      if (it != model.end()) {
        ASSERT_EQ(v, it->second);
      }
    } else if (op < 72 && rng() % 8 == 0) {
      ASSERT_TRUE(vor_kv2_clear(s));
      model.clear();
      must_see.clear();
    } else if (op < 75 && !walking) {
      ASSERT_TRUE(vor_kv2_Foreach_Rewind(s, 0));
      walking = true;
      last_seen.clear();
      seen.clear();
      must_see.clear();
      for (const auto& [key, value] : model) must_see.insert(key);
    } else if (op < 98 && walking) {
      std::string wk, wv;
      if (kv_next(s, &wk, &wv)) {
        ASSERT_GT(wk, last_seen);  // each key once, in order
        ASSERT_TRUE(model.count(wk));
        ASSERT_EQ(wv, model[wk]);  // the current value
        last_seen = wk;
        seen.insert(wk);
      } else {
        for (const auto& key : must_see) ASSERT_TRUE(seen.count(key)) << "walk missed " << key;
        vor_kv2_Foreach_Cancel(s);
        walking = false;
      }
    } else if (op < 99 && !walking) {
      vor_kv2_close(s);
      s = open_store(path);
      ASSERT_NE(s, nullptr);
    } else {
      ASSERT_TRUE(vor_kv2_defrag(s));
    }
    ASSERT_EQ(vor_kv2_count(s), model.size());
  }
  vor_kv2_close(s);
  EXPECT_EQ(cli(path, "select count(*) from kv;"), std::to_string(model.size()) + "\n");
}

TEST(Kv2, ShortBuffersGetWhatFits) {
  TempDir dir;
  vor_kv2* s = open_store(dir.file("content.idx2"));
  ASSERT_NE(s, nullptr);
  const std::string k = kv_key(7);
  const std::string v = kv_value(7, 1, 60);
  ASSERT_TRUE(kv_put(s, k, v));
  for (int32_t room : {0, 1, 10, 59, 60, 170}) {
    SCOPED_TRACE(room);
    std::string got;
    ASSERT_TRUE(kv_get(s, k, &got, room));
    EXPECT_EQ(got, v.substr(0, static_cast<size_t>(std::min<int32_t>(room, 60))));
    ASSERT_TRUE(vor_kv2_Foreach_Rewind(s, 0));
    char key[32] = {};
    std::string buf(static_cast<size_t>(room) + 1, '#');
    int32_t len = room;
    ASSERT_TRUE(vor_kv2_Foreach_GetNext(s, key, 16, buf.data(), &len));  // half a key buffer
    EXPECT_EQ(std::string(key, 16), k.substr(0, 16));
    EXPECT_EQ(std::string(key + 16, 16), std::string(16, '\0'));
    EXPECT_EQ(len, std::min<int32_t>(room, 60));
    EXPECT_EQ(buf[static_cast<size_t>(room)], '#');
    vor_kv2_Foreach_Cancel(s);
  }
  int32_t len = -1;
  char buf[8];
  EXPECT_FALSE(vor_kv2_get(s, 0, k.data(), 32, buf, &len));
  EXPECT_FALSE(vor_kv2_get(s, 0, k.data(), 32, buf, nullptr));
  EXPECT_FALSE(vor_kv2_put(s, 0, nullptr, 32, buf, 1));
  EXPECT_FALSE(vor_kv2_put(s, 0, k.data(), 0, buf, 1));
  vor_kv2_close(s);
}

TEST(Kv2, NullAndClosedStoresAnswerAbsent) {
  EXPECT_EQ(vor_kv2_count(nullptr), kAllOnes);
  EXPECT_EQ(vor_kv2_nbuckets(nullptr), kAllOnes);
  EXPECT_EQ(vor_kv2_size(nullptr), kAllOnes);
  EXPECT_FALSE(vor_kv2_put(nullptr, 0, "k", 1, "v", 1));
  EXPECT_FALSE(vor_kv2_flush(nullptr));
  vor_kv2_halfclose(nullptr);
  vor_kv2_close(nullptr);

  TempDir dir;
  const std::string path = dir.file("member.idx2");
  vor_kv2* s = open_store(path);
  ASSERT_NE(s, nullptr);
  ASSERT_TRUE(kv_put(s, kv_key(1), kv_value(1, 1)));
  ASSERT_TRUE(vor_kv2_Foreach_Rewind(s, 0));
  vor_kv2_halfclose(s);
  vor_kv2_halfclose(s);  // twice is fine
  std::string k, v;
  EXPECT_FALSE(kv_next(s, &k, &v));  // a walk in progress ends
  EXPECT_FALSE(kv_put(s, kv_key(2), kv_value(2, 1)));
  EXPECT_FALSE(kv_get(s, kv_key(1), &v));
  EXPECT_FALSE(kv_del(s, kv_key(1)));
  EXPECT_EQ(vor_kv2_count(s), kAllOnes);
  EXPECT_EQ(vor_kv2_nbuckets(s), kAllOnes);
  EXPECT_EQ(vor_kv2_size(s), kAllOnes);
  EXPECT_FALSE(vor_kv2_flush(s));
  EXPECT_FALSE(vor_kv2_checkpoint(s, 0, 0));
  EXPECT_FALSE(vor_kv2_defrag(s));
  EXPECT_FALSE(vor_kv2_clear(s));
  EXPECT_FALSE(vor_kv2_Foreach_Rewind(s, 0));
  vor_kv2_Foreach_Cancel(s);
  // Everything acknowledged is in the file, the log is gone and the file is sound.
  EXPECT_FALSE(vor::test::exists(path + "-wal"));
  EXPECT_EQ(cli(path, "pragma integrity_check; select count(*) from kv;"), "ok\n1\n");
  vor_kv2_close(s);
}

TEST(Kv2, BucketsFollowTheCacheSize) {
  TempDir dir;
  struct {
    int32_t cache_mib;
    uint64_t buckets;
  } const cases[] = {{2, 65536}, {16, 65536}, {32, 131072}, {0, 65536}, {1000, 4096000}};
  for (const auto& c : cases) {
    vor_kv2* s = open_store(dir.file("b.idx2"), c.cache_mib);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(vor_kv2_nbuckets(s), c.buckets) << c.cache_mib;
    vor_kv2_close(s);
  }
}

TEST(Kv2, FilesNotOursAreRefused) {
  TempDir dir;
  const std::string garbage = dir.file("garbage.idx2");
  vor::test::write_file(garbage, std::string(8192, 'x'));
  EXPECT_EQ(open_store(garbage), nullptr);
  EXPECT_EQ(vor::test::read_file(garbage), std::string(8192, 'x'));  // left as it was

  const std::string other = dir.file("other.idx2");
  ASSERT_EQ(cli(other, "create table kv(k blob primary key, v blob);"), "");
  EXPECT_EQ(open_store(other), nullptr);
  EXPECT_EQ(vor_kv2_open_ext(nullptr, 1, 1, 218, 2, 1), nullptr);
}

TEST(Kv2, DeletedStoreWithLeftoverLogStartsEmpty) {
  TempDir dir;
  const std::string path = dir.file("visitor.idx2");
  vor_kv2* s = open_store(path);
  ASSERT_NE(s, nullptr);
  for (uint64_t i = 0; i < 200; ++i) ASSERT_TRUE(kv_put(s, kv_key(i), kv_value(i, 1)));
  // Copy the live log and index aside while the store is open, as a crash would leave them.
  const std::string wal = vor::test::read_file(path + "-wal");
  const std::string shm = vor::test::read_file(path + "-shm");
  ASSERT_FALSE(wal.empty());
  vor_kv2_close(s);
  std::remove(path.c_str());
  vor::test::write_file(path + "-wal", wal);
  vor::test::write_file(path + "-shm", shm);
  s = open_store(path);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(vor_kv2_count(s), 0u);
  std::string v;
  EXPECT_FALSE(kv_get(s, kv_key(3), &v));
  ASSERT_TRUE(kv_put(s, kv_key(3), kv_value(3, 2)));
  vor_kv2_close(s);
  EXPECT_EQ(cli(path, "pragma integrity_check; select count(*) from kv;"), "ok\n1\n");
}

TEST(Kv2, ClearDefragCheckpointAndSize) {
  TempDir dir;
  const std::string path = dir.file("public.idx2");
  vor_kv2* s = open_store(path);
  ASSERT_NE(s, nullptr);
  for (uint64_t i = 0; i < 3000; ++i) ASSERT_TRUE(kv_put(s, kv_key(i), kv_value(i, 1)));
  ASSERT_TRUE(vor_kv2_checkpoint(s, 0, 0));
  EXPECT_EQ(vor::test::read_file(path + "-wal").size(), 0u);  // the log is emptied
  const uint64_t full = vor_kv2_size(s);
  EXPECT_GE(full, 3000u * 170u);
  EXPECT_EQ(cli(path, "select count(*) from kv;"), "3000\n");
  ASSERT_TRUE(vor_kv2_clear(s));
  EXPECT_EQ(vor_kv2_count(s), 0u);
  ASSERT_TRUE(vor_kv2_defrag(s));
  ASSERT_TRUE(vor_kv2_checkpoint(s, 0, 0));
  EXPECT_LT(vor_kv2_size(s), full / 4);  // the freed pages went back
  ASSERT_TRUE(vor_kv2_flush(s));
  vor_kv2_close(s);
  EXPECT_EQ(cli(path, "pragma integrity_check; select count(*) from kv;"), "ok\n0\n");
}

// What vor_kv_* reads: a store written by vor_kv2_*, read-only, in key order.
TEST(KvOld, ReadsAStoreForConversion) {
  TempDir dir;
  const std::string path = dir.file("public.idx");
  EXPECT_EQ(vor_kv_open_ext(path.c_str(), 1, 1, 210, 200, 0), nullptr);  // missing
  vor_kv2* s = open_store(path);
  ASSERT_NE(s, nullptr);
  for (uint64_t i = 0; i < 600; ++i) ASSERT_TRUE(kv_put(s, kv_key(i), kv_value(i, 1)));
  vor_kv2_close(s);

  vor_kv* old = vor_kv_open_ext(path.c_str(), 1, 1, 210, 200, 0);
  ASSERT_NE(old, nullptr);
  ASSERT_TRUE(vor_kv_Foreach_Rewind(old, 0));
  uint64_t n = 0;
  char key[32];
  char value[170];
  int32_t len = sizeof value;
  while (vor_kv_Foreach_GetNext(old, key, sizeof key, value, &len)) {
    EXPECT_EQ(std::string(key, 32), kv_key(n));
    EXPECT_EQ(std::string(value, static_cast<size_t>(len)), kv_value(n, 1));
    ++n;
    len = sizeof value;
  }
  EXPECT_EQ(n, 600u);
  vor_kv_close(old);

  const std::string garbage = dir.file("content.idx");
  vor::test::write_file(garbage, "no store here");
  EXPECT_EQ(vor_kv_open_ext(garbage.c_str(), 1, 1, 210, 200, 0), nullptr);
  vor_kv_close(nullptr);
}

// A store left by a killed process is checked at open: a sound one opens, a damaged one is refused.
TEST(Kv2, UncleanCloseIsCheckedAtOpen) {
  TempDir dir;
  const std::string path = dir.file("public.idx2");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    vor_kv2* s = open_store(path);
    for (uint64_t i = 0; s && i < 2000; ++i) kv_put(s, kv_key(i), kv_value(i, 1));
    if (s) vor_kv2_flush(s);
    _exit(s ? 0 : 1);  // no close
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(cli(path, "select value from meta where name='clean';"), "0\n");
  vor_kv2* s = open_store(path);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(vor_kv2_count(s), 2000u);
  vor_kv2_close(s);
  // Mark it unclean again, as a crash would, and add a page that no table or free list holds:
  // every record still reads, only the check at open finds the damage.
  ASSERT_EQ(cli(path, "update meta set value='0' where name='clean';"), "");
  std::string bytes = vor::test::read_file(path);
  const auto byte_at = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])); };
  const uint32_t page_size = byte_at(16) << 8 | byte_at(17);
  ASSERT_EQ(bytes.size() % page_size, 0u);
  const uint32_t pages = static_cast<uint32_t>(bytes.size() / page_size) + 1;
  for (int i = 0; i < 4; ++i) bytes[28 + i] = static_cast<char>(pages >> (24 - 8 * i));
  bytes.append(page_size, '\0');
  vor::test::write_file(path, bytes);
  EXPECT_EQ(cli(path, "select count(*) from kv;"), "2000\n");
  EXPECT_EQ(open_store(path), nullptr);
}

}  // namespace
