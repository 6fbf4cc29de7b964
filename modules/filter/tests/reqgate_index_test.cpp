// The disk-cache index stores as the module opens them, in a temporary runtime tree (the test
// runs in its bin/ folder): kind routing of the record operations, bad stores recreated,
// placeholders, old stores converted, the count, size and empty exports, the flush, and every
// record kept over an exit and a restart, read back with the sqlite3 tool.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cu_util.h"
#include "reqgate_index_test_util.h"
#include "seams.h"
#include "vor_wait.h"

namespace {

using namespace vor::reqgate;
using namespace vor::reqgate::test;

TEST_F(IndexStores, FreshStoresAreCheckedAndGetTheirPlaceholders) {
  const std::string out = start();
  for (const char* name : {"public", "member", "visitor", "content"}) {
    EXPECT_NE(out.find(std::string("checking disk cache index for ") + name + " ... OK!\r\n"), std::string::npos)
        << out;
    EXPECT_TRUE(vor::test::exists(store(std::string(name) + ".idx2")));
  }
  EXPECT_EQ(out.find("convert"), std::string::npos);
  // Each store holds the placeholder alone, "TEST" and zeros to 170 bytes (the content store too).
  for (IndexStore id : {IndexStore::kPublic, IndexStore::kMember, IndexStore::kVisitor, IndexStore::kContent}) {
    EXPECT_EQ(vor_kv2_count(index_store(id)), 1u);
  }
  std::string text;
  ASSERT_TRUE(stored(kPublic, kPlaceholder, &text));
  EXPECT_EQ(text, "TEST");
  EXPECT_EQ(reqgate_DiskCacheCount(), 3u);
  stop();
  EXPECT_EQ(cli_value("content.idx2", kPlaceholder), hex_of(record_of("TEST")) + "\n");
}

// The public store gets the placeholder while it is empty; the others below 100 records.
TEST_F(IndexStores, PlaceholdersGoToStoresBelowTheirThreshold) {
  fs::create_directories(root_ + "/config/dcindex");
  seed_store(store("public.idx2"), 1, 'p');
  seed_store(store("member.idx2"), 99, 'm');
  seed_store(store("visitor.idx2"), 100, 'v');
  seed_store(store("content.idx2"), 99, 'c', kContentRecordSize);
  start();
  EXPECT_EQ(vor_kv2_count(index_store(IndexStore::kPublic)), 1u);
  EXPECT_FALSE(stored(kPublic, kPlaceholder));
  EXPECT_EQ(vor_kv2_count(index_store(IndexStore::kMember)), 100u);
  EXPECT_TRUE(stored(kMember, kPlaceholder));
  EXPECT_EQ(vor_kv2_count(index_store(IndexStore::kVisitor)), 100u);
  EXPECT_FALSE(stored(kVisitor, kPlaceholder));
  EXPECT_EQ(vor_kv2_count(index_store(IndexStore::kContent)), 100u);
  // The member store's placeholder made it 100: the next start adds nothing.
  stop();
  start();
  EXPECT_EQ(vor_kv2_count(index_store(IndexStore::kMember)), 100u);
}

TEST_F(IndexStores, AGarbageStoreIsRecreatedWithItsJournalFilesGone) {
  fs::create_directories(root_ + "/config/dcindex/member.idx-journal/keep");
  vor::test::write_file(store("member.idx2"), std::string(8192, 'x'));
  vor::test::write_file(store("member.idx-journal/0001"), "old journal");
  vor::test::write_file(store("member.idx-journal/0002"), "old journal");
  vor::test::write_file(store("member.idx2.tmpkch"), "left over");
  const std::string out = start();
  EXPECT_NE(out.find("checking disk cache index for member ...[zazudaza -> index] member index is bad, "
                     "recreate it ... OK!\r\n"),
            std::string::npos)
      << out;
  EXPECT_NE(log_text().find("[zazudaza -> index] member index is bad, recreate it!\r\n"), std::string::npos)
      << log_text();
  EXPECT_EQ(out.find("public index is bad"), std::string::npos);
  EXPECT_FALSE(vor::test::exists(store("member.idx-journal/0001")));
  EXPECT_FALSE(vor::test::exists(store("member.idx-journal/0002")));
  EXPECT_TRUE(vor::test::exists(store("member.idx-journal/keep")));
  EXPECT_FALSE(vor::test::exists(store("member.idx2.tmpkch")));
  const std::string name = name_of(1);
  EXPECT_TRUE(index_put(kMember, name.c_str(), record_of("vs=371&cl=5").c_str()));
  EXPECT_TRUE(stored(kMember, name));
}

// A store that stays bad (here a folder in its place) is absent for the run: operations answer
// false, the count leaves it out, and the others work.
TEST_F(IndexStores, AStoreBadTwiceStaysAbsentAndCountsNothing) {
  fs::create_directories(store("visitor.idx2/inside"));
  const std::string out = start();
  EXPECT_NE(out.find("checking disk cache index for visitor ...[zazudaza -> index] visitor index is bad, "
                     "recreate it ... ERROR!\r\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("checking disk cache index for content ... OK!\r\n"), std::string::npos);
  EXPECT_EQ(index_store(IndexStore::kVisitor), nullptr);
  const std::string name = name_of(7);
  const std::string record = record_of("vs=371&cl=5");
  EXPECT_FALSE(index_put(kVisitor, name.c_str(), record.c_str()));
  EXPECT_FALSE(stored(kVisitor, name));
  EXPECT_FALSE(index_del(kVisitor, name.c_str()));
  index_defrag(kVisitor);
  ASSERT_TRUE(index_put(kPublic, name.c_str(), record.c_str()));
  ASSERT_TRUE(index_put(kMember, name.c_str(), record.c_str()));
  // public: placeholder and one; member: placeholder and one.
  EXPECT_EQ(reqgate_DiskCacheCount(), 4u);
  EXPECT_EQ(reqgate_DiskCacheSize(),
            vor_kv2_size(index_store(IndexStore::kPublic)) + vor_kv2_size(index_store(IndexStore::kMember)));
  EXPECT_GT(reqgate_DiskCacheSize(), 0u);
  // Deleting from every class store answers true when one of them held the record.
  EXPECT_TRUE(index_del(0, name.c_str()));
  EXPECT_FALSE(stored(kPublic, name));
  EXPECT_FALSE(stored(kMember, name));
}

struct RouteCase {
  uint8_t kind;
  int store;  // 0 public, 1 member, 2 visitor, -1 none
};
const RouteCase kRoutes[] = {{0, 0}, {1, -1}, {2, 0}, {3, 1}, {4, 2}, {'o', -1}, {5, -1}};

TEST_F(IndexStores, KindsRoutePutGetDelAndDefragToTheirStore) {
  start();
  const uint8_t kinds_of_store[] = {kPublic, kMember, kVisitor};
  int n = 0;
  for (const auto& c : kRoutes) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    const std::string name = name_of(++n);
    const std::string path = "/cache/d1/x/1/2/" + name + ".dat";
    const std::string record = record_of("vs=371&cl=" + std::to_string(n));
    EXPECT_EQ(index_put(c.kind, path.c_str(), record.c_str()), c.store >= 0);
    std::string text;
    EXPECT_EQ(stored(c.kind, name, &text), c.store >= 0);
    for (int s = 0; s < 3; ++s) EXPECT_EQ(stored(kinds_of_store[s], name), s == c.store) << "store " << s;
    if (c.store >= 0) {
      EXPECT_EQ(text, "vs=371&cl=" + std::to_string(n));
    }
    index_defrag(c.kind);  // never fails, whatever the kind
    // del: kinds 2, 3, 4 their store; every other kind every class store.
    const std::string other = name_of(n, 'z');
    for (uint8_t k : kinds_of_store) ASSERT_TRUE(index_put(k, other.c_str(), record.c_str()));
    const bool own = c.kind == kPublic || c.kind == kMember || c.kind == kVisitor;
    EXPECT_TRUE(index_del(c.kind, other.c_str()));
    for (uint8_t k : kinds_of_store) EXPECT_EQ(stored(k, other), own && k != c.kind) << "kind " << int(k);
    EXPECT_FALSE(index_del(c.kind, other.c_str()));
  }
  // A name and its path address the same record; short names are refused.
  const std::string name = name_of(99);
  ASSERT_TRUE(index_put(kPublic, name.c_str(), record_of("vs=371&cl=1").c_str()));
  EXPECT_TRUE(stored(kPublic, "D:\\cache\\public\\" + name + ".html"));
  EXPECT_TRUE(index_del(kPublic, ("/d/public/9/" + name + ".html").c_str()));
  EXPECT_FALSE(stored(kPublic, name));
  EXPECT_FALSE(index_put(kPublic, name.substr(0, 31).c_str(), record_of("x=1").c_str()));
  EXPECT_FALSE(stored(kPublic, name.substr(0, 31)));
  EXPECT_FALSE(index_del(kPublic, name.substr(0, 31).c_str()));
  EXPECT_FALSE(index_put(kPublic, nullptr, record_of("x=1").c_str()));
}

// The hit path's index calls reach the stores unless a test puts its own in.
TEST_F(IndexStores, TheDefaultDiskCallsUseTheStores) {
  start();
  const std::string name = name_of(3);
  ASSERT_TRUE(seams::disk_calls().index_put(kMember, name.c_str(), record_of("vs=371&ep=5").c_str()));
  EXPECT_TRUE(stored(kMember, name));
  char record[kIndexRecordSize + 1] = {};
  EXPECT_TRUE(seams::disk_calls().index_get(kMember, name.c_str(), record));
  EXPECT_STREQ(record, "vs=371&ep=5");
  EXPECT_TRUE(seams::disk_calls().index_del(kMember, name.c_str()));
  EXPECT_FALSE(stored(kMember, name));
}

TEST_F(IndexStores, ContentRecordsAre60BytesByBodyMd5) {
  start();
  const std::string md5 = name_of(5, 'c');
  const std::string record = record_of("vs=371&ct=3&fn=" + name_of(5), kContentRecordSize);
  EXPECT_FALSE(content_put("", record.c_str()));
  EXPECT_FALSE(content_put(md5.substr(0, 20).c_str(), record.c_str()));
  ASSERT_TRUE(content_put(md5.c_str(), record.c_str()));
  char out[kContentRecordSize] = {};
  EXPECT_FALSE(content_get("", out));
  ASSERT_TRUE(content_get(md5.c_str(), out));
  EXPECT_EQ(std::string(out, sizeof out), record);
  char fn[kNameValueSize];
  EXPECT_EQ(std::string(index_value(out, "fn", fn, sizeof fn, kContentRecordSize)), name_of(5));
  EXPECT_FALSE(content_del(""));
  EXPECT_TRUE(content_del(md5.c_str()));
  EXPECT_FALSE(content_get(md5.c_str(), out));
  // The content store is not in the disk-cache count.
  EXPECT_EQ(reqgate_DiskCacheCount(), 3u);
}

TEST_F(IndexStores, AnOldStoreIsConvertedOnceAndDeleted) {
  fs::create_directories(root_ + "/config/dcindex");
  seed_store(store("public.idx"), 150, 'o');
  seed_store(store("content.idx"), 120, 'c', kContentRecordSize);
  vor::test::write_file(store("member.idx"), "not a store");
  std::string out = start();
  EXPECT_NE(out.find("convert public from idx to idx2 ... 150 records!\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("convert member from idx to idx2 ... 0 records!\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("convert content from idx to idx2 ... 120 records!\r\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("convert visitor"), std::string::npos);
  // Conversion comes before the checks.
  EXPECT_LT(out.find("convert public"), out.find("checking disk cache index for public"));
  for (const char* old : {"public.idx", "member.idx", "content.idx"}) EXPECT_FALSE(vor::test::exists(store(old)));
  std::string text;
  ASSERT_TRUE(stored(kPublic, name_of(149, 'o'), &text));
  EXPECT_EQ(text, "vs=371&n=149");
  EXPECT_FALSE(stored(kPublic, kPlaceholder));  // not empty: no placeholder
  char content[kContentRecordSize];
  EXPECT_TRUE(content_get(name_of(119, 'c').c_str(), content));
  stop();
  out = start();
  EXPECT_EQ(out.find("convert"), std::string::npos) << out;
  EXPECT_EQ(vor_kv2_count(index_store(IndexStore::kPublic)), 150u);
}

// An old store whose new store cannot be opened stays for the next start: its records are not
// thrown away while the bad new store is recreated.
TEST_F(IndexStores, AnOldStoreIsKeptWhenItsNewStoreCannotBeOpened) {
  fs::create_directories(root_ + "/config/dcindex");
  seed_store(store("visitor.idx"), 40, 'v');
  vor::test::write_file(store("visitor.idx2"), std::string(4096, 'x'));
  std::string out = start();
  EXPECT_NE(out.find("convert visitor from idx to idx2 ... 0 records!\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("visitor index is bad, recreate it ... OK!\r\n"), std::string::npos) << out;
  EXPECT_TRUE(vor::test::exists(store("visitor.idx")));
  stop();
  out = start();
  EXPECT_NE(out.find("convert visitor from idx to idx2 ... 40 records!\r\n"), std::string::npos) << out;
  EXPECT_FALSE(vor::test::exists(store("visitor.idx")));
  EXPECT_TRUE(stored(kVisitor, name_of(39, 'v')));
}

TEST_F(IndexStores, EmptyingClearsEveryStoreAndLeavesTheFiles) {
  start();
  const std::string cache_file = root_ + "/" + name_of(1) + ".dat";
  vor::test::write_file(cache_file, "heads and body");
  for (uint8_t kind : {kPublic, kMember, kVisitor}) {
    ASSERT_TRUE(index_put(kind, cache_file.c_str(), record_of("vs=371").c_str()));
  }
  ASSERT_TRUE(content_put(name_of(2, 'c').c_str(), record_of("vs=371&ct=2", kContentRecordSize).c_str()));
  EXPECT_EQ(reqgate_DiskCacheCount(), 6u);
  EXPECT_EQ(reqgate_EmptyDCIndex(), 1);
  EXPECT_EQ(reqgate_DiskCacheCount(), 0u);
  EXPECT_EQ(vor_kv2_count(index_store(IndexStore::kContent)), 0u);
  EXPECT_TRUE(vor::test::exists(cache_file));
  for (const char* name : {"public.idx2", "member.idx2", "visitor.idx2", "content.idx2"}) {
    EXPECT_TRUE(vor::test::exists(store(name)));
  }
}

TEST_F(IndexStores, ExitAndRestartKeepEveryRecord) {
  start();
  for (int i = 0; i < 300; ++i) {
    const uint8_t kind = static_cast<uint8_t>(kPublic + i % 3);
    ASSERT_TRUE(index_put(kind, name_of(i).c_str(), record_of("vs=371&cl=" + std::to_string(i)).c_str()));
  }
  ASSERT_TRUE(content_put(name_of(1, 'c').c_str(), record_of("vs=371&ct=4", kContentRecordSize).c_str()));
  const std::string out = stop();
  EXPECT_NE(out.find("[zazudaza -> filter] module exit!\r\n"), std::string::npos);
  // After exit the stores are absent.
  EXPECT_EQ(index_store(IndexStore::kPublic), nullptr);
  EXPECT_EQ(index_store(IndexStore::kContent), nullptr);
  EXPECT_FALSE(stored(kPublic, name_of(0)));
  EXPECT_FALSE(index_put(kPublic, name_of(0).c_str(), record_of("x").c_str()));
  EXPECT_EQ(reqgate_DiskCacheCount(), 0u);
  // The files hold every record (and the placeholders).
  EXPECT_EQ(cli_count("public.idx2"), "101\n");
  EXPECT_EQ(cli_count("member.idx2"), "101\n");
  EXPECT_EQ(cli_count("content.idx2"), "2\n");
  EXPECT_EQ(cli_value("member.idx2", name_of(1)), hex_of(record_of("vs=371&cl=1")) + "\n");
  start();
  for (int i = 0; i < 300; ++i) {
    std::string text;
    ASSERT_TRUE(stored(static_cast<uint8_t>(kPublic + i % 3), name_of(i), &text)) << i;
    EXPECT_EQ(text, "vs=371&cl=" + std::to_string(i));
  }
  EXPECT_EQ(reqgate_DiskCacheCount(), 303u);
}

// What a copy of a store file alone holds: the records a flush has put in the file itself.
std::string records_in_file_copy(const std::string& file, const std::string& copy) {
  std::error_code ec;
  fs::remove(copy, ec);
  fs::copy_file(file, copy);
  return vor::test::shell_output("sqlite3 -batch '" + copy + "' 'select count(*) from kv;' 2>&1");
}

// The flush thread checkpoints the journalled stores: a copy of a store file alone holds the records.
TEST_F(IndexStores, FlushThreadPutsRecordsInTheStoreFiles) {
  start();
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(index_put(kPublic, name_of(i).c_str(), record_of("vs=371").c_str()));
  }
  ASSERT_EQ(records_in_file_copy(store("public.idx2"), root_ + "/copy.idx2"), "1\n");
  ASSERT_TRUE(index_flush_start());
  EXPECT_TRUE(vor::test::wait_until(
      [&] { return records_in_file_copy(store("public.idx2"), root_ + "/copy.idx2") == "21\n"; }));
}

// Without journalled stores (enable_diskcache_index_txn=0) the flush copies the log all the same.
TEST_F(IndexStores, FlushWithoutTxnPutsRecordsInTheStoreFiles) {
  fs::create_directories(root_ + "/modules/zazudaza");
  vor::test::write_file(root_ + "/modules/zazudaza/filter.ini", "[system]\nenable_diskcache_index_txn=0\n");
  start();
  ASSERT_FALSE(settings().diskcache_index_txn);
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(index_put(kMember, name_of(i).c_str(), record_of("vs=371").c_str()));
  }
  index_flush();
  EXPECT_EQ(records_in_file_copy(store("member.idx2"), root_ + "/copy.idx2"), "21\n");
}

// The memory share of the public and content stores, seen in their bucket counts (4096 a MiB,
// at least 65,536).
TEST_F(IndexStores, PublicAndContentCachesFollowTheMemorySettings) {
  uint64_t physical = 0;
  ASSERT_TRUE(cu_GetPhyMemSize(&physical, nullptr));
  if (physical < 2048 * kMiB) GTEST_SKIP() << "needs 2 GiB of memory";
  g_max_usable = 1024 * kMiB;
  g_ratio = 50;
  start();
  // 1 GiB * 50 * 82 / 10000 = 419.8 MiB; * 4 / 10000 = 20.5 MiB; whole MiB.
  EXPECT_EQ(vor_kv2_nbuckets(index_store(IndexStore::kPublic)), 419u * 4096);
  EXPECT_EQ(vor_kv2_nbuckets(index_store(IndexStore::kContent)), 20u * 4096);
  EXPECT_EQ(vor_kv2_nbuckets(index_store(IndexStore::kMember)), 65536u);
  stop();
  g_ratio = 1;  // below the floors: 32 MiB and 4 MiB
  start();
  EXPECT_EQ(vor_kv2_nbuckets(index_store(IndexStore::kPublic)), 32u * 4096);
  EXPECT_EQ(vor_kv2_nbuckets(index_store(IndexStore::kContent)), 65536u);
}

}  // namespace
