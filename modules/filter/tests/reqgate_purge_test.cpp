// Purge and check of disk-cache entries by URL, with the real index stores in a temporary runtime
// tree and cache files on two disks: exact purges of records and files (read back with the
// sqlite3 tool), a file being read that stays whole until its last close, the prefix scans'
// expiry marks, the check's kinds, sizes, expiries and rewrite plug-in answers, and the purge a
// response's X-RefreshCacheURL header starts.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "cu_xfile.h"
#include "reqgate_purge_test_util.h"
#include "reqgate_test_util.h"

namespace {

using namespace vor::reqgate;
using namespace vor::reqgate::test;

constexpr uint8_t kClasses[] = {kPublic, kMember, kVisitor};

// ---- exact purges ----

struct ExactCase {
  const char* name;
  const char* url;        // what is purged
  const char* disk_key;   // the key the entry is stored under
  std::vector<uint8_t> kinds;
  Fields fields;
  int disk;
  bool file_goes;
};

const std::vector<ExactCase>& exact_cases() {
  static const std::vector<ExactCase> cases = {
      {"one class", "e.test/one.html", "e.test/one.html", {kMember}, {}, kDiskA, true},
      {"all three", "e.test/all.html", "e.test/all.html", {kPublic, kMember, kVisitor}, {}, kDiskA, true},
      {"absent", "e.test/absent.html", "e.test/absent.html", {}, {}, kDiskA, true},
      {"no dn", "e.test/nodn.html", "e.test/nodn.html", {kPublic}, {"-", "", "4", ""}, kDiskA, false},
      {"no pt", "e.test/nopt.html", "e.test/nopt.html", {kVisitor}, {"", "-", "4", ""}, kDiskA, false},
      {"empty dn", "e.test/emptydn.html", "e.test/emptydn.html", {kMember}, {"=", "", "4", ""}, kDiskA, false},
      {"empty pt", "e.test/emptypt.html", "e.test/emptypt.html", {kPublic}, {"", "=", "4", ""}, kDiskA, false},
      {"unknown disk", "e.test/disk9.html", "e.test/disk9.html", {kPublic}, {"9", "", "4", ""}, kDiskA, false},
      {"disk number in hex", "e.test/hexdisk.html", "e.test/hexdisk.html", {kPublic, kMember}, {}, kDiskB, true},
      {"rewritten key", "fx.test/keyed/q.html", "fx.test/stored/q.html", {kPublic}, {}, kDiskA, true},
      {"rewrite skipped", "fx.test/skip/q.html", "fx.test/skip/q.html", {kMember}, {}, kDiskA, true},
  };
  return cases;
}

TEST_F(PurgeStores, ExactPurgesDeleteRecordsAndTheFilesTheyName) {
  const std::string neighbour = "e.test/keep.html";
  std::map<std::string, std::string> neighbour_files;
  for (uint8_t kind : kClasses) neighbour_files[std::to_string(kind)] = put_entry(kind, neighbour);
  std::map<std::string, std::vector<std::string>> files;
  for (const ExactCase& c : exact_cases()) {
    for (uint8_t kind : c.kinds) files[c.name].push_back(put_entry(kind, c.disk_key, c.disk, c.fields));
  }
  for (const ExactCase& c : exact_cases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(reqgate_CleanDiskCache(c.url), 1);
    for (uint8_t kind : kClasses) EXPECT_EQ(stored_text(kind, c.disk_key), "") << int(kind);
    for (const std::string& path : files[c.name]) EXPECT_EQ(vor::test::exists(path), !c.file_goes) << path;
  }
  EXPECT_EQ(edgeserv_fnnodes(), 0);
  stop();
  for (uint8_t kind : kClasses) {
    SCOPED_TRACE(int(kind));
    EXPECT_EQ(cli_text(kind, neighbour), record_for(neighbour, kDiskA, {}));
    EXPECT_EQ(vor::test::read_file(neighbour_files[std::to_string(kind)]), file_bytes(neighbour));
    for (const ExactCase& c : exact_cases()) EXPECT_EQ(cli_text(kind, c.disk_key), "") << c.name;
  }
}

TEST_F(PurgeStores, APurgeOfNothingOrNullAnswersTrue) {
  EXPECT_EQ(reqgate_CleanDiskCache(""), 1);
  EXPECT_EQ(reqgate_CleanDiskCache(nullptr), 1);
  EXPECT_EQ(index_scans_running(), 0u);
}

// A client reading the file keeps every byte of it; the file goes at its last close.
TEST_F(PurgeStores, AFileBeingReadStaysWholeUntilItsLastClose) {
  const std::string key = "e.test/slow.bin";
  const std::string path = put_entry(kPublic, key);
  std::string bytes(300000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  vor::test::write_file(path, bytes);
  int32_t error = 0;
  cu_xfile* reader = edgeserv_fopen_r(path.c_str(), &error);
  ASSERT_NE(reader, nullptr) << error;
  std::string got(100000, '\0');
  ASSERT_EQ(cu_xfile_read(reader, got.data(), 100000), 100000);
  EXPECT_EQ(reqgate_CleanDiskCache(key.c_str()), 1);
  EXPECT_EQ(stored_text(kPublic, key), "");
  EXPECT_FALSE(edgeserv_fcanread(path.c_str()));
  std::string rest(bytes.size(), '\0');
  int32_t n = 0;
  size_t more = 0;
  while ((n = cu_xfile_read(reader, rest.data() + more, static_cast<int32_t>(rest.size() - more))) > 0) more += n;
  got += rest.substr(0, more);
  EXPECT_TRUE(got == bytes) << "read " << got.size() << " of " << bytes.size();
  EXPECT_TRUE(vor::test::exists(path));
  edgeserv_fclose(path.c_str(), reader);
  EXPECT_TRUE(vor::test::wait_until([&] { return !vor::test::exists(path) && edgeserv_fnnodes() == 0; }));
}

// ---- prefix purges ----

struct Seeded {
  const char* key;
  uint8_t kind;
  const char* ep;  // "" far ahead, "-" none
};

const std::vector<Seeded>& seeded() {
  static const std::vector<Seeded> entries = {
      {"h.test/dir/a.html", kPublic, ""},
      {"h.test/dir/sub/b.html", kPublic, ""},
      {"h.test/dir/s1/s2/s3/c.html", kPublic, ""},
      {"h.test/dir/m.html", kMember, ""},
      {"h.test/dir/v.html", kVisitor, ""},
      {"h.test/top.html", kPublic, ""},
      {"h.test/other/x.html", kVisitor, ""},
      {"g.test/dir/a.html", kPublic, ""},
      {"h.test/dir/old.html", kPublic, "64"},
      {"h.test/dir/noep.html", kMember, "-"},
  };
  return entries;
}

struct PrefixCase {
  const char* url;
  std::vector<std::string> expired;  // keys whose ep becomes the stamp
};

const std::vector<PrefixCase>& prefix_cases() {
  static const std::vector<std::string> dir = {"h.test/dir/a.html", "h.test/dir/sub/b.html",
                                               "h.test/dir/s1/s2/s3/c.html", "h.test/dir/m.html",
                                               "h.test/dir/v.html"};
  static const std::vector<PrefixCase> cases = {
      {"h.test/dir/*", dir},
      {"h.test/dir/* trailing", dir},
      {"h.test/dir/*\t", dir},
      {"http://H.test/Dir/*", dir},
      {"h.test/*",
       {"h.test/dir/a.html", "h.test/dir/sub/b.html", "h.test/dir/s1/s2/s3/c.html", "h.test/dir/m.html",
        "h.test/dir/v.html", "h.test/top.html", "h.test/other/x.html"}},
      {"h.test/dir/*x", {}},
      {"*/*",
       {"h.test/dir/a.html", "h.test/dir/sub/b.html", "h.test/dir/s1/s2/s3/c.html", "h.test/dir/m.html",
        "h.test/dir/v.html", "h.test/top.html", "h.test/other/x.html", "g.test/dir/a.html"}},
  };
  return cases;
}

std::string seeded_ep(const Seeded& e) { return *e.ep ? e.ep : hex(kFuture); }

TEST_F(PurgeStores, PrefixPurgesExpireTheEntriesUnderTheirPath) {
  ASSERT_NE(path_signature("h.test/x").substr(0, 4), path_signature("g.test/x").substr(0, 4));
  for (const PrefixCase& c : prefix_cases()) {
    SCOPED_TRACE(c.url);
    for (const Seeded& e : seeded()) put_entry(e.kind, e.key, kDiskA, {"", "", "4", e.ep});
    put_entry(kPublic, "h.test/dir/*x");
    EXPECT_EQ(reqgate_CleanDiskCache(c.url), 1);
    ASSERT_TRUE(scans_done());
    EXPECT_EQ(stored_text(kPublic, "h.test/dir/*x") == "", std::string(c.url) == "h.test/dir/*x");
    // What the sqlite3 tool reads once the module is stopped.
    stop();
    for (const Seeded& e : seeded()) {
      const bool expired = std::find(c.expired.begin(), c.expired.end(), e.key) != c.expired.end();
      const std::string text = cli_text(e.kind, e.key);
      EXPECT_EQ(ep_of(text), expired ? stamp() : std::string(*e.ep == '-' ? "<none>" : seeded_ep(e))) << e.key;
      // Everything but the expiry stays.
      std::string without = text;
      index_drop_ep(without.data(), without.size() + 1);
      std::string original = record_for(e.key, kDiskA, {"", "", "4", e.ep});
      index_drop_ep(original.data(), original.size() + 1);
      EXPECT_STREQ(without.c_str(), original.c_str()) << e.key;
    }
    start();
  }
}

TEST_F(PurgeStores, ScanTraceNamesTheUrlAndTheNewRecord) {
  put_entry(kPublic, "t.test/d/one.html");
  testing::internal::CaptureStdout();
  reqgate_CleanDiskCache("t.test/d/*");
  ASSERT_TRUE(scans_done());
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "[IndexScan -> Expired] t.test/d/* -> " + stored_text(kPublic, "t.test/d/one.html") + "\r\n");
  set_console_trace(false);
  testing::internal::CaptureStdout();
  put_entry(kPublic, "t.test/d/one.html");
  reqgate_CleanDiskCache("t.test/d/*");
  ASSERT_TRUE(scans_done());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(ep_of(stored_text(kPublic, "t.test/d/one.html")), stamp());
  set_console_trace(true);
}

// ---- checks ----

struct CheckCase {
  const char* name;
  uint8_t kind;
  const char* url;
  bool rewrite_ext;
  uint32_t min_content;
  bool found;
  uint32_t expiry;  // when found
};

TEST_F(PurgeStores, CheckTable) {
  put_record(kPublic, "c.test/p", kDiskA, {"", "", "100", "5f5e100"});
  put_record(kMember, "c.test/m", kDiskA, {"", "", "100", "abc"});
  put_record(kVisitor, "c.test/v", kDiskA, {"", "", "100", "def"});
  put_record(kPublic, "c.test/nocl", kDiskA, {"", "", "-", "12"});
  put_record(kPublic, "c.test/noep", kDiskA, {"", "", "100", "-"});
  put_record(kPublic, "fx.test/stored/a", kDiskA, {"", "", "100", "a1"});
  put_record(kPublic, "fx.test/skip/a", kDiskA, {"", "", "100", "b1"});
  put_record(kMember, "fx.test/stored/h1", kDiskA, {"", "", "100", "c1"});
  put_record(kMember, "fx.test/stored/h2", kDiskA, {"", "", "ff", "d1"});
  const std::vector<CheckCase> cases = {
      {"intelligent reads public", kIntelligent, "c.test/p", true, 0, true, 0x5f5e100},
      {"public", kPublic, "c.test/p", true, 0, true, 0x5f5e100},
      {"member", kMember, "c.test/m", true, 0, true, 0xabc},
      {"visitor", kVisitor, "c.test/v", true, 0, true, 0xdef},
      {"another class's store", kMember, "c.test/p", true, 0, false, 0},
      {"session kind", kSessionAction, "c.test/p", true, 0, false, 0},
      {"kind 5", 5, "c.test/p", true, 0, false, 0},
      {"not cacheable", kNotCacheable, "c.test/p", true, 0, false, 0},
      {"absent", kPublic, "c.test/none", true, 0, false, 0},
      {"empty URL", kPublic, "", true, 0, false, 0},
      {"body at the minimum", kPublic, "c.test/p", true, 0x100, true, 0x5f5e100},
      {"body below the minimum", kPublic, "c.test/p", true, 0x101, false, 0},
      {"no cl", kPublic, "c.test/nocl", true, 0x100000, true, 0x12},
      {"no ep", kPublic, "c.test/noep", true, 0, true, 0},
      {"rewritten key", kPublic, "fx.test/keyed/a", true, 0, true, 0xa1},
      {"rewritten key absent", kPublic, "fx.test/keyed/zz", true, 0, false, 0},
      {"rewrite skipped", kPublic, "fx.test/skip/a", true, 0, true, 0xb1},
      {"rewrite header", kMember, "fx.test/hdr/rewrite", true, 0, true, 0xc1},
      {"rewrite header, setting off", kMember, "fx.test/hdr/rewrite", false, 0, false, 0},
      {"request-url header", kMember, "fx.test/hdr/url", true, 0x0ff, true, 0xd1},
      {"request-url header, body too small", kMember, "fx.test/hdr/url", true, 0x100, false, 0},
      {"empty rewrite header falls to request-url", kMember, "fx.test/hdr/empty", true, 0, true, 0xd1},
      {"header in another class's store", kPublic, "fx.test/hdr/rewrite", true, 0, false, 0},
  };
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(c.name);
    settings().diskcache_rewrite_ext = c.rewrite_ext ? 1 : 0;
    g_min_content = c.min_content;
    uint32_t expiry = 77;
    EXPECT_EQ(reqgate_CheckDiskCache(c.kind, c.url, &expiry), c.found ? 1 : 0);
    EXPECT_EQ(expiry, c.found ? c.expiry : 77u);
    EXPECT_EQ(reqgate_CheckDiskCache(c.kind, c.url, nullptr), c.found ? 1 : 0);
  }
  EXPECT_EQ(reqgate_CheckDiskCache(kPublic, nullptr, nullptr), 0);
}

// ---- purges named by a response ----

uint32_t accept_all(int64_t, const char*, uint32_t len) { return len; }

TEST_F(PurgeStores, RefreshHeadersOfAResponsePurgeExactAndPrefixUrls) {
  const std::string page = put_entry(kPublic, "r.test/page.html");
  put_entry(kMember, "r.test/pics/1.png");
  put_entry(kPublic, "r.test/keep.html");
  Head request = make_head("GET /x HTTP/1.1\r\nHost: r.test");
  ASSERT_TRUE(reqgate_NewFilter_v4(7, request.get(), 5001, "r.test/x", kPublic, 1, 0, 0, 0, 0, 1));
  const std::string response =
      "HTTP/1.1 200 OK\r\nX-RefreshCacheURL: http://r.test/page.html\r\nX-1RefreshCacheURL: r.test/pics/*\r\n"
      "Content-Length: 0\r\n\r\n";
  ASSERT_TRUE(reqgate_ResponseInput_v3(5001, response.data(), static_cast<uint32_t>(response.size()), accept_all,
                                       accept_all));
  ASSERT_TRUE(scans_done());
  finish_client_record(7, false);
  EXPECT_EQ(stored_text(kPublic, "r.test/page.html"), "");
  EXPECT_FALSE(vor::test::exists(page));
  EXPECT_EQ(ep_of(stored_text(kMember, "r.test/pics/1.png")), stamp());
  EXPECT_EQ(ep_of(stored_text(kPublic, "r.test/keep.html")), hex(kFuture));
}

}  // namespace
