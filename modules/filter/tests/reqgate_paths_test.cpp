// Cache-file paths: the folder count by depth, the folder number of keys (bytes above 0x7F, the
// most negative hash), the joining of disk paths with backslashes and trailing separators, and
// paths of random keys at every depth against a small Python model.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "policydb.h"
#include "reqgate_index_test_util.h"
#include "reqgate_internal.h"
#include "vor_tempdir.h"

namespace {
uint32_t g_depth = 4;
}  // namespace

// The rules store's directory depth, as the test sets it.
extern "C" uint32_t policydb_system_get_DiskCacheDirectoryDepth(void) { return g_depth; }

namespace {

using namespace vor::reqgate;
using vor::reqgate::test::hex_of;

TEST(CachePaths, FolderCountByDepth) {
  const struct {
    uint32_t depth;
    uint32_t count;
  } kCases[] = {{0, 10},      {1, 10},       {2, 100},      {3, 1000},     {4, 10000},        {5, 100000},
                {6, 1000000}, {7, 1000000},  {8, 1000000},  {9, 10000},    {260, 10000},      {258, 100},
                {0x104, 10000}, {0xFFFFFF03, 1000}};
  for (const auto& c : kCases) EXPECT_EQ(folder_count(c.depth), c.count) << c.depth;
}

TEST(CachePaths, FolderNumbersHashSignedBytesAndSurviveTheMostNegativeHash) {
  EXPECT_EQ(folder_number("", 10000), 0u);
  EXPECT_EQ(folder_number("7", 10000), 55u);  // '7' is 55
  // One byte above 0x7F counts as negative: 0xFF is -1.
  EXPECT_EQ(folder_number("\xff", 10000), 1u);
  EXPECT_EQ(folder_number("a\xff", 10000), (97u * 31u - 1u) % 10000u);
  // "9iazipp" hashes to INT_MIN: its magnitude is 2^31.
  EXPECT_EQ(folder_number("9iazipp", 10000), 2147483648u % 10000u);
  EXPECT_EQ(folder_number("9iazipp", 1000000), 2147483648u % 1000000u);
}

TEST(CachePaths, JoiningTurnsBackslashesAndKeepsSingleSeparators) {
  const std::string name(32, 'e');
  const struct {
    const char* disk;
    const char* digits;
    const char* extension;
    std::string want;
  } kCases[] = {
      {"D:\\cache", "57", "dat", "D:/cache/public/5/7/" + name + ".dat"},
      {"D:\\cache\\", "57", "dat", "D:/cache/public/5/7/" + name + ".dat"},
      {"/srv/c/", "0", "", "/srv/c/public/0/" + name},
      {"/srv/c", "1234", "", "/srv/c/public/1/2/3/4/" + name},
      {"/srv\\c//", "7", "x", "/srv/c//public/7/" + name + ".x"},
  };
  for (const auto& c : kCases) EXPECT_EQ(join_path(c.disk, "public", c.digits, name, c.extension), c.want) << c.disk;
  // Without a name the trailing separator goes.
  EXPECT_EQ(join_path("/srv/c", "member", "12", "", ""), "/srv/c/member/1/2");
}

TEST(CachePaths, KindsWithoutAClassFolderHaveNoPath) {
  settings().disk_file_extension = "dat";
  EXPECT_EQ(cache_path(kSessionAction, "/d", "h/a"), "");
  EXPECT_EQ(cache_path(5, "/d", "h/a"), "");
  g_depth = 1;
  const std::string want_tail = std::to_string(folder_number("h/a", 10)) + "/" + file_name("h/a") + ".dat";
  EXPECT_EQ(cache_path(kIntelligent, "/d", "h/a"), "/d/public/" + want_tail);
  EXPECT_EQ(cache_path(kPublic, "/d", "h/a"), "/d/public/" + want_tail);
  EXPECT_EQ(cache_path(kMember, "/d", "h/a"), "/d/member/" + want_tail);
  EXPECT_EQ(cache_path(kVisitor, "/d", "h/a"), "/d/visitor/" + want_tail);
  settings().disk_file_extension.clear();
  g_depth = 4;
}

TEST(CachePaths, MakeDirsCreatesEveryMissingLevel) {
  vor::test::TempDir dir;
  const std::string path = dir.file("d/public/1/2/3/name.dat");
  make_dirs(path);
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("d/public/1/2/3")));
  EXPECT_FALSE(std::filesystem::exists(path));
  make_dirs(path);  // all there already: nothing to do
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("d/public/1/2/3")));
}

// The rule as a reader would write it from its description, in Python: depth, disk, key (hex).
constexpr char kModel[] = R"(import sys, hashlib
COUNTS = {0: 10, 1: 10, 2: 100, 3: 1000, 4: 10000, 5: 100000, 6: 1000000, 7: 1000000, 8: 1000000}
def folder(key, depth):
    h = 0
    for c in key:
        h = (h * 31 + (c - 256 if c > 127 else c)) & 0xffffffff
    signed = h - (1 << 32) if h >= 0x80000000 else h
    return str(abs(signed) % COUNTS.get(depth & 0xff, 10000))
def path(depth, disk, key):
    parts = [disk.replace('\\', '/'), 'public'] + list(folder(key, depth))
    out = ''
    for p in parts:
        out += p if p.endswith('/') else p + '/'
    return out + hashlib.md5(key).hexdigest() + '.bin'
for line in sys.stdin:
    depth, disk, key = line.split()
    print(path(int(depth), bytes.fromhex(disk).decode('latin-1'), bytes.fromhex(key)))
)";

std::string random_key(std::mt19937& rng) {
  std::string key;
  const int n = 1 + static_cast<int>(rng() % 40);
  for (int i = 0; i < n; ++i) key += static_cast<char>(1 + rng() % 255);  // every byte but NUL
  return key;
}

TEST(CachePaths, RandomKeysAtEveryDepthMatchAPythonModel) {
  const unsigned seed = 20261211;
  std::mt19937 rng(seed);
  const std::vector<std::string> disks = {"/srv/cache", "D:\\cache", "D:\\cache\\", "/x/"};
  const std::vector<uint32_t> depths = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 260};
  struct Row {
    uint32_t depth;
    std::string disk, key;
  };
  std::vector<Row> rows = {{4, "/srv/cache", "9iazipp"}};
  for (int i = 0; i < 2000; ++i) rows.push_back({depths[rng() % depths.size()], disks[rng() % disks.size()], random_key(rng)});
  std::string input;
  for (const Row& r : rows) input += std::to_string(r.depth) + " " + hex_of(r.disk) + " " + hex_of(r.key) + "\n";
  vor::test::TempDir dir;
  vor::test::write_file(dir.file("rows.txt"), input);
  vor::test::write_file(dir.file("model.py"), kModel);
  const std::string out =
      vor::test::shell_output("python3 '" + dir.file("model.py") + "' < '" + dir.file("rows.txt") + "'");
  settings().disk_file_extension = "bin";
  size_t at = 0;
  for (const Row& r : rows) {
    const size_t end = out.find('\n', at);
    ASSERT_NE(end, std::string::npos) << "model output ended early; seed " << seed;
    g_depth = r.depth;
    EXPECT_EQ(cache_path(kPublic, r.disk, r.key), out.substr(at, end - at)) << "key " << hex_of(r.key) << " seed " << seed;
    at = end + 1;
  }
  settings().disk_file_extension.clear();
  g_depth = 4;
}

}  // namespace
