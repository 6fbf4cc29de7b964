// Disk and index cleaning passes run on the test's thread over a temporary cache tree and the
// module's own index stores: the share that goes with seeded draws (files with their records,
// records with their files), what is never deleted (files in use, links, folders, short names,
// files outside the current depth, content records' files), the full mark cleared from the first
// folder on, the pauses by disk kind, and the console lines of index cleaning.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cu_xfile.h"
#include "reqgate_clean_test_util.h"
#include "vor_kv2.h"

namespace {

using namespace vor::reqgate;
using namespace vor::reqgate::test;

class DiskClean : public CleanTest {
 protected:
  // The module's init with the console trace off (the init turns it on).
  void begin() {
    start();
    set_console_trace(false);
  }
  // Files spread over every folder number of depth 2 and the three classes.
  std::vector<CacheFile> spread(int count) {
    std::vector<CacheFile> files;
    const uint8_t kinds[] = {kPublic, kPublic, kMember, kVisitor};
    for (int i = 0; i < count; ++i) {
      files.push_back(put_file(kinds[i % 4], std::to_string(i % 100), name_of(i, 'f')));
    }
    return files;
  }
};

TEST_F(DiskClean, AFifthOfTheFilesGoWithTheirRecords) {
  begin();
  const std::vector<CacheFile> files = spread(2000);
  dclean_pass(1);
  size_t gone = 0;
  for (const CacheFile& f : files) {
    SCOPED_TRACE(f.path);
    EXPECT_EQ(on_disk(f), indexed(f));  // a file and its record go together
    if (!on_disk(f)) ++gone;
  }
  EXPECT_GE(gone, 200u);
  EXPECT_LE(gone, 600u);
  // One pause of an HDD disk after every drawn file; every folder of each class clears the mark.
  EXPECT_EQ(g_clean.pauses, std::vector<uint32_t>(gone, 20));
  EXPECT_EQ(g_clean.unfull, std::vector<int32_t>(300, 1));
  EXPECT_EQ(edgeserv_fnnodes(), 0);
}

// Every entry drawn: only regular files with names of 32 characters or more that nobody has open go.
TEST_F(DiskClean, OnlyRegularCacheFilesNobodyHasOpenGo) {
  clean_calls().draw = every_draw;
  begin();
  const CacheFile plain = put_file(kPublic, "5", name_of(1));
  const CacheFile with_extension = put_file(kPublic, "5", name_of(2) + ".dat");
  const CacheFile reading = put_file(kPublic, "5", name_of(3));
  const CacheFile writing = put_file(kMember, "5", name_of(4));
  const std::string folder = disk_ + "/public/5/";
  const std::string short_name = folder + name_of(5).substr(0, 31);
  vor::test::write_file(short_name, "x");
  fs::create_directories(folder + name_of(6) + "/");
  vor::test::write_file(folder + name_of(6) + "/" + name_of(7), "inside a folder");
  const std::string target = root_ + "/outside.txt";
  vor::test::write_file(target, "kept");
  fs::create_symlink(target, folder + name_of(8));
  fs::create_symlink(root_ + "/nowhere", folder + name_of(9));

  int32_t error = 0;
  cu_xfile* read_handle = edgeserv_fopen_r(reading.path.c_str(), &error);
  ASSERT_NE(read_handle, nullptr);
  cu_xfile* write_handle = edgeserv_fopen_tx(writing.path.c_str(), &error);
  ASSERT_NE(write_handle, nullptr);
  dclean_pass(1);

  EXPECT_FALSE(on_disk(plain) || indexed(plain));
  EXPECT_FALSE(on_disk(with_extension));
  EXPECT_FALSE(stored(kPublic, name_of(2)));
  EXPECT_TRUE(on_disk(reading) && indexed(reading));
  EXPECT_TRUE(on_disk(writing) && indexed(writing));
  EXPECT_TRUE(vor::test::exists(short_name));
  EXPECT_TRUE(vor::test::exists(folder + name_of(6) + "/" + name_of(7)));
  EXPECT_TRUE(fs::is_symlink(folder + name_of(8)));
  EXPECT_EQ(vor::test::read_file(target), "kept");
  EXPECT_TRUE(fs::is_symlink(folder + name_of(9)));
  EXPECT_EQ(pause_count(), 4u);  // after every drawn file, the ones in use too

  // Closed again, they go in the next pass.
  edgeserv_fclose(reading.path.c_str(), read_handle);
  edgeserv_fclose(writing.path.c_str(), write_handle);
  ASSERT_EQ(edgeserv_fnnodes(), 0);
  dclean_pass(1);
  EXPECT_FALSE(on_disk(reading) || indexed(reading));
  EXPECT_FALSE(on_disk(writing) || indexed(writing));
}

TEST_F(DiskClean, TheFullMarkClearsOnceTheFirstFolderIsDone) {
  clean_calls().draw = every_draw;
  set_depth(1);
  begin();
  static std::vector<CacheFile> files;
  files.clear();
  for (int n = 0; n < 10; ++n) files.push_back(put_file(kPublic, std::to_string(n), name_of(n)));
  files.push_back(put_file(kVisitor, "0", name_of(10)));
  static std::vector<bool> present_at_first_clear;
  present_at_first_clear.clear();
  g_clean.on_unfull = [](int32_t) {
    if (!present_at_first_clear.empty()) return;
    for (const CacheFile& f : files) present_at_first_clear.push_back(on_disk(f));
  };
  dclean_pass(1);
  // Only the first folder of the first class was cleaned when the mark was first cleared.
  std::vector<bool> expected(files.size(), true);
  expected[0] = false;
  EXPECT_EQ(present_at_first_clear, expected);
  EXPECT_EQ(g_clean.unfull, std::vector<int32_t>(20, 1));  // public and visitor: ten folders each
  for (const CacheFile& f : files) EXPECT_FALSE(on_disk(f)) << f.path;
}

// Files written under a deeper depth sit in folders the current depth never visits.
TEST_F(DiskClean, AChangedDepthVisitsTheFoldersOfTheCurrentDepthOnly) {
  clean_calls().draw = every_draw;
  begin();
  const CacheFile deep = put_file(kPublic, "123", name_of(1));
  const CacheFile deeper = put_file(kMember, "9999", name_of(2));
  const CacheFile two = put_file(kPublic, "12", name_of(3));
  const CacheFile one = put_file(kVisitor, "7", name_of(4));
  set_depth(2);
  dclean_pass(1);
  EXPECT_TRUE(on_disk(deep) && indexed(deep));
  EXPECT_TRUE(on_disk(deeper) && indexed(deeper));
  EXPECT_FALSE(on_disk(two) || indexed(two));
  EXPECT_FALSE(on_disk(one) || indexed(one));
  set_depth(4);
  dclean_pass(1);
  EXPECT_FALSE(on_disk(deep) || indexed(deep));
  EXPECT_FALSE(on_disk(deeper) || indexed(deeper));
}

TEST_F(DiskClean, PausesByDiskKindAndNothingForUnknownDisksOrMissingClasses) {
  clean_calls().draw = every_draw;
  set_depth(1);
  begin();
  add_disk(2, root_ + "/ssd\\", true);  // a backslash and a trailing separator join as '/'
  const std::string ssd_file = cache_path_at(kPublic, root_ + "/ssd", "3", name_of(1));
  make_dirs(ssd_file);
  vor::test::write_file(ssd_file, "x");
  dclean_pass(2);
  EXPECT_FALSE(vor::test::exists(ssd_file));
  EXPECT_EQ(g_clean.pauses, std::vector<uint32_t>{10});
  // Only the public folder exists: its ten folders clear the mark, the missing classes nothing.
  EXPECT_EQ(g_clean.unfull, std::vector<int32_t>(10, 2));

  g_clean.unfull.clear();
  dclean_pass(7);  // unknown
  EXPECT_TRUE(g_clean.unfull.empty());
}

using IndexClean = DiskClean;

TEST_F(IndexClean, AFifthOfTheRecordsGoWithTheirFiles) {
  begin();
  std::vector<CacheFile> files;
  for (int i = 0; i < 1000; ++i) files.push_back(put_file(kMember, std::to_string(i % 100), name_of(i, 'm')));
  const CacheFile other_store = put_file(kPublic, "1", name_of(1, 'm'));
  iclean_pass(IndexStore::kMember);
  size_t gone = 0;
  for (const CacheFile& f : files) {
    SCOPED_TRACE(f.path);
    EXPECT_EQ(on_disk(f), indexed(f));
    if (!indexed(f)) ++gone;
  }
  EXPECT_GE(gone, 100u);
  EXPECT_LE(gone, 300u);
  EXPECT_TRUE(on_disk(other_store) && indexed(other_store));
  // One 20 ms pause per drawn record (the placeholder among them when drawn).
  EXPECT_GE(g_clean.pauses.size(), gone);
  EXPECT_LE(g_clean.pauses.size(), gone + 1);
  EXPECT_EQ(g_clean.pauses, std::vector<uint32_t>(g_clean.pauses.size(), 20));
  EXPECT_EQ(vor_kv2_count(index_store(IndexStore::kMember)), 1001 - g_clean.pauses.size());
  const std::string log = log_text();
  const size_t start_at = log.find("[zazudaza -> filter] start cleanning diskcache index!\r\n");
  ASSERT_NE(start_at, std::string::npos) << log;
  EXPECT_NE(log.find("[zazudaza -> filter] end cleanning diskcache index!\r\n", start_at), std::string::npos);
}

// Every record drawn: each goes; its file only when the record names it soundly and the disk is known.
TEST_F(IndexClean, EveryDrawnRecordGoesAndOnlyTheFilesItNames) {
  clean_calls().draw = every_draw;
  begin();
  // Files a reader taking any text for dn and pt would delete (disk 0 is the same folder).
  add_disk(0, disk_, false);
  const std::string in_class_folder = disk_ + "/public/" + name_of(9);
  const std::string in_folder_12 = cache_path_at(kPublic, disk_, "12", name_of(9));
  for (const std::string& path : {in_class_folder, in_folder_12}) {
    make_dirs(path);
    vor::test::write_file(path, "not the file of these records");
  }
  const char* kRecords[] = {
      "vs=371&pt=12&cl=0",     // no dn
      "vs=371&dn=1&cl=0",      // no pt
      "vs=371&dn=&pt=12",      // empty dn
      "vs=371&dn=1&pt=",       // empty pt: the class folder itself
      "vs=371&dn=7&pt=12",     // unknown disk
      "vs=371&dn=1&pt=1/2",    // not digits
      "vs=371&dn=1x&pt=12",    // dn not hexadecimal
      "vs=371&dn=100000000&pt=12",  // past 32 bits: not disk 0
  };
  for (const char* record : kRecords) {
    ASSERT_TRUE(index_put(kPublic, name_of(9).c_str(), record_of(record).c_str()));
    iclean_pass(IndexStore::kPublic);
    EXPECT_FALSE(stored(kPublic, name_of(9))) << record;
    EXPECT_TRUE(vor::test::exists(in_class_folder)) << record;
    EXPECT_TRUE(vor::test::exists(in_folder_12)) << record;
  }
  // A sound record: its file goes; one being read goes at its last close.
  const CacheFile plain = put_file(kPublic, "12", name_of(1));
  const CacheFile reading = put_file(kPublic, "34", name_of(2));
  int32_t error = 0;
  cu_xfile* handle = edgeserv_fopen_r(reading.path.c_str(), &error);
  ASSERT_NE(handle, nullptr);
  iclean_pass(IndexStore::kPublic);
  EXPECT_FALSE(on_disk(plain) || indexed(plain));
  EXPECT_FALSE(indexed(reading));
  EXPECT_TRUE(on_disk(reading));
  EXPECT_FALSE(edgeserv_fcanread(reading.path.c_str()));
  edgeserv_fclose(reading.path.c_str(), handle);
  EXPECT_FALSE(on_disk(reading));
  EXPECT_EQ(edgeserv_fnnodes(), 0);
  EXPECT_EQ(vor_kv2_count(index_store(IndexStore::kPublic)), 0u);
}

TEST_F(IndexClean, TheContentStoreLosesContentRecordsAlone) {
  clean_calls().draw = every_draw;
  begin();
  const CacheFile holder = put_file(kPublic, "12", name_of(1));
  const std::string content = record_of("vs=371&ct=2&fn=" + name_of(1), kContentRecordSize);
  ASSERT_TRUE(content_put(name_of(1, 'c').c_str(), content.c_str()));
  iclean_pass(IndexStore::kContent);
  char record[kContentRecordSize];
  EXPECT_FALSE(content_get(name_of(1, 'c').c_str(), record));
  EXPECT_EQ(vor_kv2_count(index_store(IndexStore::kContent)), 0u);
  EXPECT_TRUE(on_disk(holder) && indexed(holder));
}

// With the console trace on, records filling their whole value and a key shorter than a name are
// printed as far as they go; ASan sees every read.
TEST_F(IndexClean, ConsoleLinesStayInsideKeysAndRecords) {
  clean_calls().draw = every_draw;
  begin();
  vor_kv2* store = index_store(IndexStore::kPublic);
  ASSERT_TRUE(vor_kv2_del(store, 0, kPlaceholder, 32));
  const CacheFile file = put_file(kPublic, "12", name_of(1));
  std::string full = "vs=371&dn=1&pt=12&up=";
  full.resize(kIndexRecordSize, 'u');  // no NUL in the value
  ASSERT_TRUE(vor_kv2_put(store, 0, name_of(1).data(), 32, full.data(), kIndexRecordSize));
  const std::string shorter_value = "vs=371&cl=0";
  ASSERT_TRUE(vor_kv2_put(store, 0, "short", 5, shorter_value.data(), static_cast<int32_t>(shorter_value.size())));
  set_console_trace(true);
  testing::internal::CaptureStdout();
  iclean_pass(IndexStore::kPublic);
  const std::string out = testing::internal::GetCapturedStdout();
  set_console_trace(false);
  EXPECT_EQ(out, "[IndexClean] " + name_of(1) + " -> " + full + "\r\n" + "[IndexClean -> DiskClean] " + file.path +
                     "\r\n" + "[IndexClean] short -> vs=371&cl=0\r\n");
  EXPECT_FALSE(on_disk(file));
}

}  // namespace
