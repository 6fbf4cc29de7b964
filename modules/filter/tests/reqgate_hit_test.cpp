// Hits from the memory cache: ranges, 304 heads, expiry and revalidation set-up, decoded copies,
// slices and a copy replaced midway; the store's conditions; an upstream 304 on a revalidation;
// the disk branches on hand-made index records. The memory table, the edge server's writes and
// the settings the hit path reads are fakes of this test.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cu_md5.h"
#include "cu_xfile.h"
#include "reqgate.h"
#include "reqgate_internal.h"
#include "reqgate_test_util.h"
#include "seams.h"

namespace {

using namespace vor::reqgate;
using namespace vor::reqgate::test;

constexpr int64_t kClient = 11;
constexpr int64_t kNow = 1700000000;
constexpr uint32_t kFastClose = UINT32_MAX;

struct Stored {
  std::string head;
  std::string body;
  uint32_t expire = 0;
  std::string tag;
  uint32_t type = 0;
  uint8_t cls = 0;
};

struct World {
  std::map<std::string, Stored> table;
  int version = 0;
  std::map<int64_t, std::string> out;
  std::vector<std::pair<int64_t, uint32_t>> closes;
  std::vector<std::string> pages;
  int64_t now = kNow;
  uint8_t xcache = 0;
  uint8_t hit_for_refresh = 1;
  uint8_t disk = 0;
  uint32_t min_disk = 0;
  std::map<std::string, std::string> index;  // name -> record text
  std::vector<std::string> deleted;
  std::string served_path;
  int64_t served_from = 0, served_to = 0;
  std::string upstream;  // what the upstream writer got
  bool replace_at_body_read = false;  // a new version lands just before the first body read
  std::vector<std::pair<int, std::string>> cleaned;  // (table, url) of each exact memory drop
  std::vector<std::string> files_deleted;
  std::string disk_root = "/cache/d1";

  void reset() { *this = World(); }
  std::string take_out() { return std::exchange(out[kClient], ""); }
};
World w;

// A whole head (its blank line added) from header lines.
Head head_of(const std::string& lines) { return make_head(lines + "\r\n"); }


std::string next_tag() {
  char tag[17];
  std::snprintf(tag, sizeof tag, "%016d", ++w.version);
  return tag;
}

void put(const std::string& url, const std::string& head, const std::string& body, uint32_t expire = kNow + 600) {
  w.table[url] = Stored{head, body, expire, next_tag(), 0, 0};
}

uint8_t fake_check(const char* url, uint32_t* expire, char* tag) {
  const auto it = w.table.find(url);
  if (it == w.table.end()) return 0;
  if (expire) *expire = it->second.expire;
  if (tag) std::memcpy(tag, it->second.tag.c_str(), 17);
  return 1;
}

int32_t fake_get(const char* url, const char* tag, char* head, uint32_t cap, uint32_t from, uint32_t to, void* body) {
  if (body && w.replace_at_body_read) {
    w.replace_at_body_read = false;
    put(url, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", "new");
  }
  const auto it = w.table.find(url);
  if (it == w.table.end()) return -1;
  return read_stored(it->second.head, it->second.body, it->second.tag, tag, head, cap, from, to, body);
}

void fake_set(uint32_t type, const char* url, const char* head, cu_xjitter* body, uint32_t expire, uint8_t cls) {
  std::string bytes(cu_xjitter_GetLen(body), '\0');
  cu_xjitter_PeekDatax(body, bytes.data(), 0, bytes.size());
  cu_xjitter_empty(body);
  w.table[url] = Stored{head, bytes, expire, next_tag(), type, cls};
}

uint8_t fake_refresh(const char* url, uint32_t expire) {
  const auto it = w.table.find(url);
  if (it == w.table.end()) return 0;
  it->second.expire = expire;
  return 1;
}

uint8_t fake_access(const char*, const char*) { return 1; }
template <int Table>
void fake_clean(const char* url) {
  w.cleaned.emplace_back(Table, url);
  if (Table == 0) w.table.erase(url);
}

bool fake_index_get(uint8_t, const char* name, char* record) {
  const auto it = w.index.find(name);
  if (it == w.index.end()) return false;
  std::strncpy(record, it->second.c_str(), kIndexRecordSize);
  return true;
}
bool fake_index_put(uint8_t, const char* name, const char* record) {
  w.index[name] = record;
  return true;
}
bool fake_index_del(uint8_t, const char* name) {
  w.deleted.emplace_back(name);
  return w.index.erase(name) != 0;
}
bool fake_disk_path(uint32_t disk, char* path, size_t size) {
  if (disk != 1) return false;
  std::snprintf(path, size, "%s", w.disk_root.c_str());
  return true;
}
bool fake_serve(int64_t, bool, const char*, const char*, const char* path, const char*, uint8_t, int64_t from,
                int64_t to) {
  w.served_path = path;
  w.served_from = from;
  w.served_to = to;
  return true;
}

uint32_t record_upstream(int64_t, const char* data, uint32_t len) {
  w.upstream.append(data, len);
  return len;
}

std::string name_of(const std::string& key) {
  char name[33];
  cu_md5_encode(name, key.c_str());
  return name;
}

class HitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    w.reset();
    for (int i = 0; i < 3; ++i) {
      memory_tables()[i] = MemoryTable{fake_check, fake_get, fake_set, fake_refresh, fake_access, nullptr};
    }
    memory_tables()[0].clean = fake_clean<0>;
    memory_tables()[1].clean = fake_clean<1>;
    memory_tables()[2].clean = fake_clean<2>;
    seams::disk_calls() = seams::DiskCalls{fake_index_get, fake_index_put, fake_index_del, fake_disk_path, fake_serve};
    reqgate_ImportPluginResponseEntry_v2(nullptr, nullptr, nullptr);
  }

  // A hit for the request; the outputs and the client's bytes.
  struct Answer {
    bool served;
    HitOutputs out;
    std::string bytes;
  };
  Answer hit(http_parser* request, const char* key = "a.test/x", uint8_t kind = kPublic, uint8_t check = 1) {
    HitOutputs o;
    const bool served = reqgate_HitCache_v4(kClient, request, key, kind, check, &o.expired, &o.revalidate,
                                            &o.rewritten, 1) != 0;
    return {served, o, w.take_out()};
  }
};

}  // namespace

extern "C" {
uint8_t edgeserv_WriteJitter(int64_t sid, const char* data, int32_t len) {
  w.out[sid].append(data, static_cast<size_t>(len));
  return 1;
}
void edgeserv_close(int64_t sid, uint32_t delay) { w.closes.emplace_back(sid, delay); }
void edgeserv_TryFasterSafeClose(int64_t sid) { w.closes.emplace_back(sid, kFastClose); }
int64_t edgeserv_mytime(void) { return w.now; }
void edgeserv_fdelete(const char* path) { w.files_deleted.emplace_back(path); }
cu_xfile* edgeserv_fopen_r(const char* path, int32_t* error) {
  cu_xfile* file = cu_xfile_open_r(path, 0);
  if (!file && error) *error = errno;
  return file;
}
void edgeserv_fclose(const char*, cu_xfile* file) {
  if (file) cu_xfile_close(file);
}
void edgeserv_return500(int64_t, const char*, const char* text) { w.pages.emplace_back(text); }
const char* edgeserv_XFlag(void) { return "node1"; }
uint8_t policydb_system_get_AddXCacheToHeader(void) { return w.xcache; }
uint8_t policydb_system_get_IsHitCacheForRefresh(void) { return w.hit_for_refresh; }
uint8_t policydb_system_get_IsDiskCache(void) { return w.disk; }
uint32_t policydb_system_get_MinDiskCacheContentSize(void) { return w.min_disk; }
}

namespace {

// ---- ranges ----------------------------------------------------------------------------------

struct RangeCase {
  const char* text;
  uint64_t total;
  bool ok;
  uint64_t from, to;
};

TEST(ParseRangeTest, FirstRangeOfTheListWithinTheTotal) {
  const RangeCase cases[] = {
      {"bytes=100-199", 1000, true, 100, 200},
      {"bytes=100-", 1000, true, 100, 1000},
      {"bytes=100-5000", 1000, true, 100, 1000},
      {"bytes=-100", 1000, true, 900, 1000},
      {"bytes=-100, 5-6", 1000, true, 900, 1000},
      {"bytes=-1000", 1000, true, 0, 1000},
      {"bytes=-1001", 1000, false, 0, 0},
      {"bytes=-0", 1000, false, 0, 0},
      {"bytes=500-100", 1000, false, 0, 0},
      {"bytes=1000-", 1000, false, 0, 0},
      {"bytes=999-", 1000, true, 999, 1000},
      {"bytes=2000-", 1000, false, 0, 0},
      {"bytes=4294967396-", 1000, false, 0, 0},
      {"bytes=100-4294967396", 1000, true, 100, 1000},
      {"bytes=99999999999999999999999-", 1000, false, 0, 0},
      {"bytes=5-18446744073709551615", 1000, true, 5, 1000},
      {"bytes=0-0,5-9", 1000, true, 0, 1},
      {"bytes= ,10-19", 1000, true, 10, 20},
      {"bytes=10", 1000, false, 0, 0},
      {"bytes=x-1", 1000, false, 0, 0},
      {"bytes-10-20", 1000, false, 0, 0},
      {"bytes=-5x", 1000, false, 0, 0},
  };
  for (const RangeCase& c : cases) {
    uint64_t from = 0, to = 0;
    EXPECT_EQ(parse_range(c.total, &from, &to, c.text), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(std::make_pair(from, to), std::make_pair(c.from, c.to)) << c.text;
    }
  }
}

TEST(RewriteCacheControlTest, LifetimeLeftReplacesTheValue) {
  struct Case {
    const char* value;
    int64_t expiry;
    const char* expected;
  };
  const Case cases[] = {
      {"max-age=3600", kNow + 600, "max-age=600"},
      {"public, max-age=3600, stale-if-error=5", kNow + 600, "public, max-age=600"},
      {"public, max-age=3600", kNow - 5, "public, max-age=0"},
      {"s-maxage=100", kNow + 7, "s-maxage=7"},
      {"public, s-maxage=100", kNow + 7, "public, s-maxage=7"},
      {"max-age=3600, must-revalidate", kNow + 600, "max-age=3600, must-revalidate"},
      {"private, max-age=60", kNow + 600, "private, max-age=60"},
      {"public", kNow + 600, "public"},
      {"no-store", kNow + 600, "no-store"},
  };
  for (const Case& c : cases) {
    w.now = kNow;
    Head head = head_of(std::string("HTTP/1.1 200 OK\r\nCache-Control: ") + c.value);
    rewrite_cache_control(head.get(), c.expiry);
    EXPECT_EQ(header(head.get(), "Cache-Control"), c.expected) << c.value;
  }
}

// ---- memory hits -----------------------------------------------------------------------------

const std::string kBody1000 = [] {
  std::string s;
  for (int i = 0; i < 1000; ++i) s += static_cast<char>('a' + i % 26);
  return s;
}();
const char kStoredHead[] =
    "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nContent-Type: application/octet-stream\r\n"
    "Etag: \"v1\"\r\nLast-Modified: Tue, 14 Nov 2023 22:13:20 GMT\r\nConnection: keep-alive\r\n\r\n";

using Flags = std::pair<int, int>;
template <typename A>
Flags flags(const A& a) {
  return {a.out.expired, a.out.revalidate};
}

std::string body_of(const std::string& answer) { return answer.substr(answer.find("\r\n\r\n") + 4); }
std::string status_of(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }
std::string header_of(const std::string& answer, const char* name) {
  Head head = head_of(answer.substr(0, answer.find("\r\n\r\n")));
  return header(head.get(), name);
}

TEST_F(HitTest, AbsentKeyIsNoHitAndFreshCopyIsServedWithItsCloseRule) {
  Head keep_alive = head_of("GET /x HTTP/1.1\r\nHost: a.test\r\nConnection: keep-alive");
  EXPECT_FALSE(hit(keep_alive.get()).served);
  put("a.test/x", kStoredHead, kBody1000);
  w.xcache = 1;
  const Answer a = hit(keep_alive.get());
  ASSERT_TRUE(a.served);
  EXPECT_EQ(status_of(a.bytes), "HTTP/1.1 200 OK");
  EXPECT_EQ(body_of(a.bytes), kBody1000);
  EXPECT_EQ(header_of(a.bytes, "X-Cache"), "HIT");
  EXPECT_EQ(w.closes.back(), std::make_pair(kClient, 6000u));
  Head bare = head_of("GET /x HTTP/1.1\r\nHost: a.test");
  const Answer closing = hit(bare.get());
  EXPECT_EQ(header_of(closing.bytes, "Connection"), "close");
  EXPECT_EQ(w.closes.back(), std::make_pair(kClient, kFastClose));
}

struct RangeHit {
  const char* name;
  std::string extra;  // request header lines
  const char* status;
  size_t from, len;   // of the 1,000-byte body
  const char* content_range;
};

TEST_F(HitTest, RangesOnAStored200AndTheirFaults) {
  const RangeHit cases[] = {
      {"closed", "Range: bytes=100-199", "HTTP/1.1 206 Partial Content", 100, 100, "bytes 100-199/1000"},
      {"open", "Range: bytes=100-", "HTTP/1.1 206 Partial Content", 100, 900, "bytes 100-999/1000"},
      {"bare_suffix", "Range: bytes=-10", "HTTP/1.1 206 Partial Content", 990, 10, "bytes 990-999/1000"},
      {"start_beyond", "Range: bytes=2000-", "HTTP/1.1 200 OK", 0, 1000, "<none>"},
      {"reversed", "Range: bytes=500-100", "HTTP/1.1 200 OK", 0, 1000, "<none>"},
      {"start_at_total", "Range: bytes=1000-", "HTTP/1.1 200 OK", 0, 1000, "<none>"},
      {"zero_open_is_whole", "Range: BYTES=0-", "HTTP/1.1 200 OK", 0, 1000, "<none>"},
      {"wide_numbers", "Range: bytes=4294967396-", "HTTP/1.1 200 OK", 0, 1000, "<none>"},
      {"if_range_strong_tag", "Range: bytes=0-9\r\nIf-Range: \"v1\"", "HTTP/1.1 206 Partial Content", 0, 10,
       "bytes 0-9/1000"},
      {"if_range_stale_tag", "Range: bytes=0-9\r\nIf-Range: \"v0\"", "HTTP/1.1 200 OK", 0, 1000, "<none>"},
      {"if_range_date", "Range: bytes=0-9\r\nIf-Range: Tue, 14 Nov 2023 22:13:20 GMT",
       "HTTP/1.1 206 Partial Content", 0, 10, "bytes 0-9/1000"},
      {"if_range_other_date", "Range: bytes=0-9\r\nIf-Range: Tue, 14 Nov 2023 22:13:21 GMT", "HTTP/1.1 200 OK", 0,
       1000, "<none>"},
  };
  put("a.test/x", kStoredHead, kBody1000);
  for (const RangeHit& c : cases) {
    Head request = head_of("GET /x HTTP/1.1\r\nHost: a.test\r\nConnection: keep-alive\r\n" + c.extra);
    const Answer a = hit(request.get());
    ASSERT_TRUE(a.served) << c.name;
    EXPECT_EQ(status_of(a.bytes), c.status) << c.name;
    EXPECT_EQ(body_of(a.bytes), kBody1000.substr(c.from, c.len)) << c.name;
    EXPECT_EQ(header_of(a.bytes, "Content-Length"), std::to_string(c.len)) << c.name;
    EXPECT_EQ(header_of(a.bytes, "Content-Range"), c.content_range) << c.name;
  }
}

TEST_F(HitTest, RangesApplyToAStored200OnlyAndNeverToAWeakOrCodedCopy) {
  put("a.test/404", "HTTP/1.1 404 Not Found\r\nContent-Length: 1000\r\n\r\n", kBody1000);
  put("a.test/weak", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nEtag: W/\"v1\"\r\n\r\n", kBody1000);
  put("a.test/gz", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nContent-Encoding: gzip\r\nEtag: \"v1\"\r\n\r\n",
      kBody1000);
  Head plain = head_of("GET /404 HTTP/1.1\r\nHost: a.test\r\nRange: bytes=0-9");
  EXPECT_EQ(status_of(hit(plain.get(), "a.test/404").bytes), "HTTP/1.1 404 Not Found");
  Head weak = head_of("GET /weak HTTP/1.1\r\nHost: a.test\r\nRange: bytes=0-9\r\nIf-Range: W/\"v1\"");
  EXPECT_EQ(status_of(hit(weak.get(), "a.test/weak").bytes), "HTTP/1.1 200 OK");
  Head coded = head_of(
      "GET /gz HTTP/1.1\r\nHost: a.test\r\nAccept-Encoding: gzip\r\nRange: bytes=0-9\r\nIf-Range: \"v1\"");
  EXPECT_EQ(status_of(hit(coded.get(), "a.test/gz").bytes), "HTTP/1.1 200 OK");
}

TEST_F(HitTest, SlicesAcrossTheirEdgesMatchTheBody) {
  std::string body(2 * 65536 + 1, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 % 251);
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  put("a.test/big", head, body);
  const std::pair<size_t, size_t> ranges[] = {{0, 65535},     {0, 65536},      {65535, 65536}, {65535, 65537},
                                              {65536, 131071}, {65536, 131072}, {131072, 131072}, {1, 131072},
                                              {0, 131072}};
  for (auto [first, last] : ranges) {
    const std::string range_line = "Range: bytes=" + std::to_string(first) + "-" + std::to_string(last);
    Head request = head_of("GET /big HTTP/1.1\r\nHost: a.test\r\n" + range_line);
    const Answer a = hit(request.get(), "a.test/big");
    EXPECT_EQ(body_of(a.bytes), body.substr(first, last - first + 1)) << range_line;
  }
  Head whole = head_of("GET /big HTTP/1.1\r\nHost: a.test");
  EXPECT_EQ(body_of(hit(whole.get(), "a.test/big").bytes), body);
}

// A body hook that stores a new version of the copy while its first slice goes out.
uint8_t replace_during_slice(int64_t, http_parser*, int64_t, http_parser*, uint8_t, const char*, int32_t) {
  put("a.test/big", "HTTP/1.1 200 OK\r\nContent-Length: 131073\r\n\r\n", std::string(131073, 'N'));
  return 1;
}

TEST_F(HitTest, ACopyReplacedMidwayStopsTheAnswerAndClosesAtOnce) {
  const std::string body(2 * 65536 + 1, 'o');
  put("a.test/big", "HTTP/1.1 200 OK\r\nContent-Length: 131073\r\n\r\n", body);
  reqgate_ImportPluginResponseEntry_v2(nullptr, replace_during_slice, nullptr);
  Head request = head_of("GET /big HTTP/1.1\r\nHost: a.test\r\nConnection: keep-alive");
  const Answer a = hit(request.get(), "a.test/big");
  EXPECT_TRUE(a.served);
  EXPECT_EQ(body_of(a.bytes), std::string(65536, 'o'));
  EXPECT_EQ(w.closes, (std::vector<std::pair<int64_t, uint32_t>>{{kClient, 0u}}));
}

TEST_F(HitTest, ACopyReplacedBeforeItsFirstBytesIsServedInItsNewVersion) {
  put("a.test/x", kStoredHead, kBody1000);
  w.replace_at_body_read = true;
  Head request = head_of("GET /x HTTP/1.1\r\nHost: a.test\r\nConnection: keep-alive");
  const Answer a = hit(request.get());
  EXPECT_TRUE(a.served);
  EXPECT_EQ(header_of(a.bytes, "Content-Length"), "3");
  EXPECT_EQ(body_of(a.bytes), "new");
  EXPECT_EQ(w.closes.back(), std::make_pair(kClient, 6000u));
}

TEST_F(HitTest, ExpiredCopyIsFetchedAgainWithItsValidatorsUnlessRangeOrOwnConditional) {
  put("a.test/x", kStoredHead, kBody1000, kNow);
  Head request = head_of("GET /x HTTP/1.1\r\nHost: a.test");
  const Answer a = hit(request.get());
  EXPECT_FALSE(a.served);
  EXPECT_EQ(a.out.expired, 1);
  EXPECT_EQ(a.out.revalidate, 1);
  EXPECT_EQ(header(request.get(), "If-None-Match"), "\"v1\"");
  EXPECT_EQ(header(request.get(), "If-Modified-Since"), "Tue, 14 Nov 2023 22:13:20 GMT");
  EXPECT_EQ(header(request.get(), "Connection"), "keep-alive");
  Head closing = head_of("GET /x HTTP/1.1\r\nHost: a.test\r\nConnection: close");
  EXPECT_EQ(flags(hit(closing.get())), Flags(1, 1));
  EXPECT_EQ(header(closing.get(), "Connection"), "close") << "the client's own close stands";
  Head own = head_of("GET /x HTTP/1.1\r\nHost: a.test\r\nIf-None-Match: \"v0\"");
  const Answer b = hit(own.get());
  EXPECT_EQ(flags(b), Flags(1, 0));
  Head ranged = head_of("GET /x HTTP/1.1\r\nHost: a.test\r\nRange: bytes=0-9");
  EXPECT_TRUE(hit(ranged.get()).served);
  put("a.test/nv", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", "abc", kNow - 1);
  Head plain = head_of("GET /nv HTTP/1.1\r\nHost: a.test");
  const Answer c = hit(plain.get(), "a.test/nv");
  EXPECT_EQ(flags(c), Flags(1, 0));
}

TEST_F(HitTest, ClientNoCacheCountsOnlyWhenRefreshHitsAreOff) {
  put("a.test/x", kStoredHead, kBody1000);
  Head request = head_of("GET /x HTTP/1.1\r\nHost: a.test\r\nCache-Control: no-cache");
  EXPECT_TRUE(hit(request.get()).served);
  w.hit_for_refresh = 0;
  const Answer a = hit(request.get());
  EXPECT_FALSE(a.served);
  EXPECT_EQ(a.out.expired, 1);
}

// ---- 304 heads -------------------------------------------------------------------------------

struct NotModifiedCase {
  const char* name;
  const char* conditionals;
  const char* expected;  // the whole head, or "" for the full answer
};

TEST_F(HitTest, NotModifiedHeadsByteForByte) {
  w.xcache = 1;
  put("a.test/x",
      "HTTP/1.1 200 OK\r\nServer: origin\r\nContent-Length: 1000\r\nContent-Type: text/plain\r\n"
      "Content-Location: /x.txt\r\nEtag: \"v1\"\r\nLast-Modified: Tue, 14 Nov 2023 22:13:20 GMT\r\n\r\n",
      kBody1000);
  const NotModifiedCase cases[] = {
      {"etag", "If-None-Match: \"v1\"",
       "HTTP/1.1 304 Not Modified\r\nAccept-Ranges: bytes\r\nConnection: keep-alive\r\nServer: origin\r\n"
       "Date: Tue, 14 Nov 2023 22:13:20 GMT\r\nEtag: \"v1\"\r\nContent-Location: /x.txt\r\n"
       "Content-Type: text/plain\r\nX-Via: node1\r\nX-Cache: HIT\r\n\r\n"},
      {"date_in_another_layout", "If-Modified-Since: Tuesday, 14-Nov-23 22:13:20 GMT",
       "HTTP/1.1 304 Not Modified\r\nAccept-Ranges: bytes\r\nConnection: keep-alive\r\nServer: origin\r\n"
       "Date: Tue, 14 Nov 2023 22:13:20 GMT\r\nLast-Modified: Tuesday, 14-Nov-23 22:13:20 GMT\r\n"
       "Content-Location: /x.txt\r\nContent-Type: text/plain\r\nX-Via: node1\r\nX-Cache: HIT\r\n\r\n"},
      {"both", "If-None-Match: \"v1\"\r\nIf-Modified-Since: Tue, 14 Nov 2023 22:13:20 GMT",
       "HTTP/1.1 304 Not Modified\r\nAccept-Ranges: bytes\r\nConnection: keep-alive\r\nServer: origin\r\n"
       "Date: Tue, 14 Nov 2023 22:13:20 GMT\r\nLast-Modified: Tue, 14 Nov 2023 22:13:20 GMT\r\n"
       "Etag: \"v1\"\r\nContent-Location: /x.txt\r\nContent-Type: text/plain\r\nX-Via: node1\r\nX-Cache: HIT\r\n\r\n"},
      {"both_one_stale", "If-None-Match: \"v1\"\r\nIf-Modified-Since: Tue, 14 Nov 2023 22:13:21 GMT", ""},
      {"etag_mismatch", "If-None-Match: \"v2\"", ""},
      {"unreadable_dates_differ", "If-Modified-Since: yesterday", ""},
      {"overlong_tag", "If-None-Match: \"v1\"                                                                 "
                       "                                         x",
       ""},
  };
  for (const NotModifiedCase& c : cases) {
    Head request =
        head_of(std::string("GET /x HTTP/1.1\r\nHost: a.test\r\nConnection: keep-alive\r\n") + c.conditionals);
    const Answer a = hit(request.get());
    ASSERT_TRUE(a.served) << c.name;
    if (*c.expected) {
      EXPECT_EQ(a.bytes, c.expected) << c.name;
    } else {
      EXPECT_EQ(status_of(a.bytes), "HTTP/1.1 200 OK") << c.name;
    }
  }
}

TEST_F(HitTest, UnreadableStoredDateNeverMatchesAnotherUnreadableOne) {
  put("a.test/x", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nLast-Modified: someday\r\n\r\n", "abc");
  Head request = head_of("GET /x HTTP/1.1\r\nHost: a.test\r\nIf-Modified-Since: yesterday");
  EXPECT_EQ(status_of(hit(request.get()).bytes), "HTTP/1.1 200 OK");
}

// ---- decoded copies --------------------------------------------------------------------------

TEST_F(HitTest, GzipCopyGoesRawToGzipClientsAndDecodedToOthers) {
  const std::string text(5000, 'T');
  char* coded = nullptr;
  uint32_t coded_len = 0;
  Head head = head_of("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 5000\r\nConnection: keep-alive");
  ASSERT_TRUE(reqgate_plugin__EncodeContent(nullptr, head.get(), text.data(), 5000, &coded, &coded_len));
  const std::string gz(coded, coded_len);
  reqgate_plugin__EncodeMemFree(coded);
  put("a.test/t", head_text(head.get()), gz);
  Head gzip_client = head_of("GET /t HTTP/1.1\r\nHost: a.test\r\nAccept-Encoding: gzip, br");
  const Answer raw = hit(gzip_client.get(), "a.test/t");
  EXPECT_EQ(body_of(raw.bytes), gz);
  EXPECT_EQ(header_of(raw.bytes, "Content-Encoding"), "gzip");
  Head identity = head_of("GET /t HTTP/1.1\r\nHost: a.test");
  const Answer plain = hit(identity.get(), "a.test/t");
  EXPECT_EQ(body_of(plain.bytes), text);
  EXPECT_EQ(header_of(plain.bytes, "Content-Length"), "5000");
  EXPECT_EQ(header_of(plain.bytes, "Content-Encoding"), "<none>");
  EXPECT_EQ(header_of(plain.bytes, "Vary"), "<none>");
  put("a.test/bad", head_text(head.get()), "not gzip at all, not at all");
  EXPECT_FALSE(hit(identity.get(), "a.test/bad").served);
}

// ---- the store -------------------------------------------------------------------------------

struct StoreCase {
  const char* name;
  std::string head;
  std::string body;
  bool spider;
  bool stored;
  uint8_t cls;
  bool gzipped;
};

TEST_F(HitTest, StoreKeepsStatusesClassesAndCodings) {
  const std::string chunked_text = "200\r\n" + std::string(512, 'c') + "\r\n0\r\n\r\n";
  const StoreCase cases[] = {
      {"text_511", "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 511", std::string(511, 'x'), false,
       true, 1, false},
      {"text_512", "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 512", std::string(512, 'x'), false,
       true, 1, true},
      {"no_type", "HTTP/1.1 200 OK\r\nContent-Length: 600", std::string(600, 'x'), false, true, 2, false},
      {"already_coded", "HTTP/1.1 200 OK\r\nContent-Type: text/css\r\nContent-Encoding: br\r\nContent-Length: 600",
       std::string(600, 'x'), false, true, 1, false},
      {"image", "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 600", std::string(600, 'x'), false,
       true, 0, false},
      {"chunked_text", "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked", chunked_text,
       false, true, 1, true},
      {"chunked_image", "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nTransfer-Encoding: chunked", chunked_text,
       false, true, 0, false},
      {"redirect_off", "HTTP/1.1 301 Moved\r\nLocation: /y\r\nContent-Length: 0", "", false, false, 2, false},
      {"server_error", "HTTP/1.1 500 Oops\r\nContent-Length: 3", "abc", false, false, 2, false},
  };
  for (const StoreCase& c : cases) {
    w.table.clear();
    Head request = head_of("GET /x HTTP/1.1\r\nHost: a.test");
    std::unique_ptr<FilterRecord> record(make_record(kClient, request.get(), 900, "a.test/x"));
    ASSERT_TRUE(record);
    const std::string text = c.head + "\r\nAge: 5\r\nVia: 1.1 other\r\nX-Powered-By: p\r\nSet-Cookie: a=b\r\n\r\n";
    http_parser_parse(record->response, text.data(), static_cast<int32_t>(text.size()));
    http_parser_buildIndex(record->response);
    cu_xjitter_SetData(&record->body, c.body.data(), c.body.size());
    set_cache_kind(*record, kPublic);
    record->decision.cache_source = kForced;
    record->decision.lifetime = 60;
    record->decision.strip_cookies = 1;
    record->decision.keep_memory_copy = 1;
    record->spider = c.spider;
    store_memory(*record);
    ASSERT_EQ(w.table.count("a.test/x") == 1, c.stored) << c.name;
    EXPECT_EQ(cu_xjitter_GetLen(&record->body), 0u) << c.name;
    if (!c.stored) continue;
    const Stored& s = w.table["a.test/x"];
    Head stored = make_head(s.head.substr(0, s.head.size() - 2));
    EXPECT_EQ(s.cls, c.cls) << c.name;
    EXPECT_EQ(s.type, 1u) << c.name;
    EXPECT_EQ(s.expire, kNow + 60) << c.name;
    EXPECT_EQ(header(stored.get(), "Content-Encoding") == "gzip", c.gzipped) << c.name;
    for (const char* gone : {"Age", "Via", "X-Powered-By", "Set-Cookie"}) {
      EXPECT_EQ(header(stored.get(), gone), "<none>") << c.name << " " << gone;
    }
    EXPECT_EQ(header(stored.get(), "Connection"), "keep-alive") << c.name;
    if (c.gzipped) {
      EXPECT_EQ(header(stored.get(), "Content-Length"), std::to_string(s.body.size())) << c.name;
      EXPECT_EQ(header(stored.get(), "Vary"), "Accept-Encoding") << c.name;
    }
  }
}

// ---- revalidation ----------------------------------------------------------------------------

// A record for an expired copy whose revalidation went upstream, fed the upstream's answer.
std::unique_ptr<FilterRecord> revalidating_record(uint8_t revalidating) {
  Head request = head_of(
      "GET /x HTTP/1.1\r\nHost: a.test\r\nConnection: keep-alive\r\nIf-None-Match: \"v1\"\r\n"
      "If-Modified-Since: Tue, 14 Nov 2023 22:13:20 GMT");
  std::unique_ptr<FilterRecord> record(make_record(kClient, request.get(), 901, "a.test/x"));
  set_cache_kind(*record, kPublic);
  record->decision.lifetime = 300;
  record->decision.revalidating = revalidating;
  record->expired = 1;
  const std::string answer = "HTTP/1.1 304 Not Modified\r\nCache-Control: max-age=300\r\n\r\n";
  http_parser_parse(record->response, answer.data(), static_cast<int32_t>(answer.size()));
  http_parser_buildIndex(record->response);
  return record;
}

TEST_F(HitTest, UpstreamNotModifiedRenewsAndServesTheStoredCopy) {
  put("a.test/x", kStoredHead, kBody1000, kNow - 1);
  auto record = revalidating_record(1);
  EXPECT_TRUE(upstream_not_modified(*record, record_upstream));
  EXPECT_EQ(w.table["a.test/x"].expire, kNow + 300);
  const std::string client = w.take_out();
  EXPECT_EQ(status_of(client), "HTTP/1.1 200 OK");
  EXPECT_EQ(body_of(client), kBody1000);
  EXPECT_TRUE(w.upstream.empty());
  EXPECT_EQ(w.closes.back(), std::make_pair(kClient, 6000u));
}

TEST_F(HitTest, ClientsOwnConditionalRenewsTheCopyAndPassesThe304On) {
  put("a.test/x", kStoredHead, kBody1000, kNow - 1);
  auto record = revalidating_record(0);
  EXPECT_FALSE(upstream_not_modified(*record, record_upstream));
  EXPECT_EQ(w.table["a.test/x"].expire, kNow + 300);
  EXPECT_TRUE(w.take_out().empty());
}

TEST_F(HitTest, CopyPurgedBefore304SendsTheRequestAgainWithoutValidators) {
  auto record = revalidating_record(1);
  EXPECT_TRUE(upstream_not_modified(*record, record_upstream));
  EXPECT_TRUE(w.take_out().empty());
  EXPECT_EQ(w.upstream.find("If-None-Match"), std::string::npos);
  EXPECT_EQ(w.upstream.find("If-Modified-Since"), std::string::npos);
  EXPECT_EQ(w.upstream.rfind("GET /x HTTP/1.1\r\n", 0), 0u);
  EXPECT_FALSE(integrity_complete(record->integrity));
  EXPECT_EQ(http_parser_GetLen(record->response), 0);
}

// ---- invalidation by unsafe methods ----------------------------------------------------------

TEST(InvalidationTest, OnlyASuccessfulPostPutOrDeleteInvalidates) {
  struct Case {
    const char* method;
    const char* status;
    bool invalidates;
  };
  const Case cases[] = {
      {"POST", "200 OK", true},          {"PUT", "201 Created", true},     {"DELETE", "204 No Content", true},
      {"POST", "303 See Other", true},   {"post", "200 OK", true},         {"PUT", "304 Not Modified", true},
      {"POST", "404 Not Found", false},  {"PUT", "409 Conflict", false},   {"DELETE", "500 Oops", false},
      {"POST", "100 Continue", false},   {"GET", "200 OK", false},         {"HEAD", "200 OK", false},
      {"OPTIONS", "200 OK", false},      {"TRACE", "200 OK", false},
  };
  for (const Case& c : cases) {
    Head request = head_of(std::string(c.method) + " /x HTTP/1.1\r\nHost: a.test");
    Head response = head_of(std::string("HTTP/1.1 ") + c.status);
    EXPECT_EQ(invalidates(request.get(), response.get()), c.invalidates) << c.method << " " << c.status;
  }
}

TEST_F(HitTest, InvalidationDropsEveryClassInMemoryAndOnDiskExactly) {
  put("a.test/x", kStoredHead, kBody1000);
  put("a.test/x?y", kStoredHead, kBody1000);
  const std::string name = name_of("a.test/x");
  w.index[name] = "vs=371&dn=1&pt=42&r1=a&r2=14&cl=3e8&ep=1&up=x";
  w.index[name_of("a.test/x?y")] = "vs=371&dn=1&pt=7&cl=3e8&ep=1&up=x";
  for (const uint8_t disk : {0, 1}) {
    SCOPED_TRACE(disk ? "disk cache on" : "disk cache off");
    w.disk = disk;
    w.cleaned.clear();
    invalidate_url("a.test/x");
    using Drops = std::vector<std::pair<int, std::string>>;
    EXPECT_EQ(w.cleaned, (Drops{{0, "a.test/x"}, {1, "a.test/x"}, {2, "a.test/x"}}));
    EXPECT_EQ(w.table.count("a.test/x"), 0u);
    EXPECT_EQ(w.table.count("a.test/x?y"), 1u) << "another URL stays";
    EXPECT_EQ(w.index.count(name), disk ? 0u : 1u);
    EXPECT_EQ(w.index.count(name_of("a.test/x?y")), 1u);
  }
  EXPECT_EQ(w.files_deleted, std::vector<std::string>{"/cache/d1/public/4/2/" + name});
}

// ---- 304 updates of stored heads -------------------------------------------------------------

TEST(MergeNotModifiedTest, FieldsOfThe304ReplaceTheirStoredLines) {
  const std::string kStored =
      "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\nCache-Control: a\r\n"
      "Cache-Control: b\r\nEtag: \"v1\"\r\nSet-Cookie: s=1\r\nDate: Mon, 01 Jan 2024 00:00:00 GMT\r\n"
      "Content-Encoding: gzip\r\nVary: Accept-Encoding\r\nConnection: keep-alive\r\n";
  struct Case {
    const char* name;
    const char* not_modified;  // the 304's header lines
    bool strip_cookies;
    bool keep_date;
    const char* after;  // the stored head's header lines after the merge
  };
  const Case cases[] = {
      {"new and changed fields, names in any case", "content-type: image/png\r\nETAG: \"v2\"\r\nX-Custom: new", true,
       false,
       "Content-Length: 5\r\nCache-Control: a\r\nCache-Control: b\r\nSet-Cookie: s=1\r\n"
       "Date: Mon, 01 Jan 2024 00:00:00 GMT\r\nContent-Encoding: gzip\r\nVary: Accept-Encoding\r\n"
       "Connection: keep-alive\r\ncontent-type: image/png\r\nETAG: \"v2\"\r\nX-Custom: new\r\n"},
      {"every line of a repeated field", "Cache-Control: max-age=60\r\ncache-control: public", true, false,
       "Content-Type: text/plain\r\nContent-Length: 5\r\nEtag: \"v1\"\r\nSet-Cookie: s=1\r\n"
       "Date: Mon, 01 Jan 2024 00:00:00 GMT\r\nContent-Encoding: gzip\r\nVary: Accept-Encoding\r\n"
       "Connection: keep-alive\r\nCache-Control: max-age=60\r\nCache-Control: public\r\n"},
      {"framing, coding, hop and stripped fields stay",
       "Content-Length: 0\r\nTransfer-Encoding: chunked\r\nContent-Encoding: br\r\nConnection: close\r\n"
       "Keep-Alive: timeout=5\r\nAge: 30\r\nVia: 1.1 x\r\nX-Via: node\r\nX-Cache: MISS\r\nX-Powered-By: y\r\n"
       "Set-Cookie: s=2",
       true, false, nullptr},
      {"cookies kept by a rule's copy", "Set-Cookie: s=2\r\nSet-Cookie: t=3", false, false,
       "Content-Type: text/plain\r\nContent-Length: 5\r\nCache-Control: a\r\nCache-Control: b\r\nEtag: \"v1\"\r\n"
       "Date: Mon, 01 Jan 2024 00:00:00 GMT\r\nContent-Encoding: gzip\r\nVary: Accept-Encoding\r\n"
       "Connection: keep-alive\r\nSet-Cookie: s=2\r\nSet-Cookie: t=3\r\n"},
      {"the Date kept when asked", "Date: Tue, 02 Jan 2024 00:00:00 GMT", true, true, nullptr},
      {"the Date replaced", "Date: Tue, 02 Jan 2024 00:00:00 GMT", true, false,
       "Content-Type: text/plain\r\nContent-Length: 5\r\nCache-Control: a\r\nCache-Control: b\r\nEtag: \"v1\"\r\n"
       "Set-Cookie: s=1\r\nContent-Encoding: gzip\r\nVary: Accept-Encoding\r\nConnection: keep-alive\r\n"
       "Date: Tue, 02 Jan 2024 00:00:00 GMT\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Head stored = head_of(kStored);
    Head answer = head_of(std::string("HTTP/1.1 304 Not Modified\r\n") + c.not_modified + "\r\n");
    merge_not_modified(stored.get(), answer.get(), c.strip_cookies, c.keep_date);
    const std::string want = c.after ? "HTTP/1.1 200 OK\r\n" + std::string(c.after) + "\r\n" : kStored + "\r\n";
    EXPECT_EQ(head_text(stored.get()), want);
  }
}

// A 304 to the revalidation of the stored copy, carrying these header lines.
std::unique_ptr<FilterRecord> answered_304(const std::string& lines, const char* key = "a.test/x") {
  Head request = head_of("GET /x HTTP/1.1\r\nHost: a.test\r\nConnection: keep-alive\r\nIf-None-Match: \"v1\"");
  std::unique_ptr<FilterRecord> record(make_record(kClient, request.get(), 903, key));
  set_cache_kind(*record, kPublic);
  record->decision.lifetime = 1;  // what the 304 alone gave
  record->decision.strip_cookies = 1;
  record->decision.revalidating = 1;
  record->expired = 1;
  const std::string answer = "HTTP/1.1 304 Not Modified\r\n" + lines + "\r\n";
  http_parser_parse(record->response, answer.data(), static_cast<int32_t>(answer.size()));
  http_parser_buildIndex(record->response);
  return record;
}

TEST_F(HitTest, UpstreamNotModifiedUpdatesTheStoredHeadAndItsLifetime) {
  put("a.test/x", kStoredHead, kBody1000, kNow - 1);
  auto record = answered_304(
      "Content-Type: image/png\r\nETag: \"v2\"\r\nX-Custom: new\r\nCache-Control: max-age=600\r\n"
      "Expires: Wed, 15 Nov 2023 22:13:20 GMT\r\nContent-Length: 0\r\nX-Powered-By: x\r\n");
  EXPECT_TRUE(upstream_not_modified(*record, record_upstream));
  const Stored& s = w.table["a.test/x"];
  EXPECT_EQ(s.expire, kNow + 600);
  EXPECT_EQ(s.body, kBody1000);
  const std::string client = w.take_out();
  EXPECT_EQ(status_of(client), "HTTP/1.1 200 OK");
  EXPECT_EQ(body_of(client), kBody1000);
  for (const std::string& head : {s.head, client.substr(0, client.find("\r\n\r\n") + 4)}) {
    EXPECT_EQ(header_of(head, "Content-Type"), "image/png");
    EXPECT_EQ(header_of(head, "ETag"), "\"v2\"");
    EXPECT_EQ(header_of(head, "X-Custom"), "new");
    EXPECT_EQ(header_of(head, "Expires"), "Wed, 15 Nov 2023 22:13:20 GMT");
    EXPECT_EQ(header_of(head, "Content-Length"), "1000");
    EXPECT_EQ(header_of(head, "Last-Modified"), "Tue, 14 Nov 2023 22:13:20 GMT");
    EXPECT_EQ(header_of(head, "X-Powered-By"), "<none>");
  }
}

TEST_F(HitTest, LifetimeOfA304ComesFromTheUpdatedHead) {
  put("a.test/x", std::string(kStoredHead).insert(17, "Cache-Control: max-age=900\r\n"), kBody1000, kNow - 1);
  auto record = answered_304("ETag: \"v1\"\r\n");
  EXPECT_TRUE(upstream_not_modified(*record, record_upstream));
  EXPECT_EQ(w.table["a.test/x"].expire, kNow + 900);
}

TEST_F(HitTest, A304ThatForbidsSharingServesTheCopyOnceAndDropsIt) {
  put("a.test/x", kStoredHead, kBody1000, kNow - 1);
  auto record = answered_304("Cache-Control: private\r\n");
  EXPECT_TRUE(upstream_not_modified(*record, record_upstream));
  EXPECT_EQ(body_of(w.take_out()), kBody1000);
  EXPECT_EQ(w.table.count("a.test/x"), 0u);
}

TEST_F(HitTest, DiskCopyKeepsItsFileWhenOnlyTheDateChangesElseGoes) {
  w.disk = 1;
  char folder[] = "/tmp/reqgate-304-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  w.disk_root = folder;
  const std::string name = name_of("a.test/d");
  const std::string request = "GET /d HTTP/1.1\r\nHost: a.test\r\n\r\n";
  const std::string response =
      "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nEtag: \"d1\"\r\nDate: Mon, 01 Jan 2024 00:00:00 GMT\r\n"
      "Cache-Control: max-age=60\r\nConnection: keep-alive\r\n\r\n";
  const std::string path = std::string(folder) + "/public/4/" + name;
  ASSERT_EQ(make_dirs(path), 0);
  char sizes[64];
  std::snprintf(sizes, sizeof sizes, "r1=%zx&r2=%zx&cl=4", request.size(), response.size());
  struct Case {
    const char* lines;
    bool kept;
  };
  const Case cases[] = {
      {"Date: Tue, 02 Jan 2024 00:00:00 GMT\r\nEtag: \"d1\"\r\nX-Cache: MISS\r\n", true},
      {"Date: Tue, 02 Jan 2024 00:00:00 GMT\r\nContent-Type: image/png\r\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines);
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs((request + response + "body").c_str(), f);
    std::fclose(f);
    w.index[name] = std::string("vs=371&dn=1&pt=4&") + sizes + "&ep=1&up=x";
    w.files_deleted.clear();
    auto record = answered_304(c.lines, "a.test/d");
    upstream_not_modified(*record, record_upstream);
    if (c.kept) {
      EXPECT_TRUE(w.files_deleted.empty());
      char ep[24];
      std::snprintf(ep, sizeof ep, "ep=%llx", static_cast<unsigned long long>(kNow + 60));
      EXPECT_NE(w.index[name].find(ep), std::string::npos) << w.index[name];
    } else {
      EXPECT_EQ(w.files_deleted, std::vector<std::string>{path});
      EXPECT_EQ(w.index.count(name), 0u);
    }
  }
  std::remove(path.c_str());
}

// ---- the disk branches on hand-made index records --------------------------------------------

TEST_F(HitTest, DiskHitServesTheFileOfItsRecordOrDropsAnUnusableRecord) {
  w.disk = 1;
  const std::string name = name_of("a.test/d");
  w.index[name] = "vs=371&dn=1&pt=42&r1=10&r2=20&cl=3e8&ep=" + std::to_string(0) + "&cc=0&up=x";
  char ep[24];
  std::snprintf(ep, sizeof ep, "%llx", static_cast<unsigned long long>(kNow + 100));
  w.index[name] = std::string("vs=371&dn=1&pt=42&cl=3e8&ep=") + ep + "&et=\"d1\"&lm=6553f100&up=x";
  Head request = head_of("GET /d HTTP/1.1\r\nHost: a.test\r\nRange: bytes=10-19");
  EXPECT_TRUE(hit(request.get(), "a.test/d").served);
  EXPECT_EQ(w.served_path, "/cache/d1/public/4/2/" + name);
  EXPECT_EQ(w.served_from, 10);
  EXPECT_EQ(w.served_to, 20);
  Head stale = head_of("GET /d HTTP/1.1\r\nHost: a.test\r\nRange: bytes=10-19\r\nIf-Range: \"d0\"");
  EXPECT_TRUE(hit(stale.get(), "a.test/d").served);
  EXPECT_EQ(w.served_to, -1) << "a stale If-Range gets the whole file";
  Head named = head_of("GET /d HTTP/1.1\r\nHost: a.test\r\nRange: bytes=10-19\r\nIf-Range: \"d1\"");
  EXPECT_TRUE(hit(named.get(), "a.test/d").served);
  EXPECT_EQ(w.served_to, 20);
  w.min_disk = 1001;
  EXPECT_FALSE(hit(request.get(), "a.test/d").served);
  w.min_disk = 0;
  w.index[name] = std::string("vs=371&cl=3e8&ep=") + ep;
  EXPECT_FALSE(hit(request.get(), "a.test/d").served);
  EXPECT_EQ(w.deleted, std::vector<std::string>{name});
}

TEST_F(HitTest, DiskNotModifiedAndRevalidationFromTheRecord) {
  w.disk = 1;
  const std::string name = name_of("a.test/d");
  w.index[name] = "vs=371&dn=1&pt=4&cl=3e8&ep=1&et=\"d1\"&lm=6553f100&up=x";
  // Expired: the request gets the record's validators.
  Head request = head_of("GET /d HTTP/1.1\r\nHost: a.test");
  const Answer expired = hit(request.get(), "a.test/d");
  EXPECT_FALSE(expired.served);
  EXPECT_EQ(flags(expired), Flags(1, 1));
  EXPECT_EQ(header(request.get(), "If-Modified-Since"), "Tue, 14 Nov 2023 22:13:20 GMT");
  EXPECT_EQ(header(request.get(), "If-None-Match"), "\"d1\"");
  struct Case {
    const char* record;
    const char* conditionals;
    bool not_modified;
  };
  const Case cases[] = {
      {"et=\"d1\"&lm=6553f100", "If-None-Match: \"d1\"", true},
      {"et=\"d1\"&lm=6553f100", "If-None-Match: \"d2\"", false},
      {"lm=6553f100", "If-None-Match: \"d1\"", false},
      {"lm=6553f100", "If-None-Match: \"d1\"\r\nIf-Modified-Since: Tue, 14 Nov 2023 22:13:20 GMT", true},
      {"et=\"d1\"", "If-Modified-Since: Tue, 14 Nov 2023 22:13:20 GMT", false},
      {"lm=6553f100", "If-Modified-Since: yesterday", false},
  };
  for (const Case& c : cases) {
    Head conditional = head_of(std::string("GET /d HTTP/1.1\r\nHost: a.test\r\n") + c.conditionals);
    w.out.clear();
    EXPECT_EQ(not_modified_disk(kClient, conditional.get(), c.record), c.not_modified) << c.record << c.conditionals;
    const std::string head = w.take_out();
    if (c.not_modified) {
      EXPECT_EQ(status_of(head), "HTTP/1.1 304 Not Modified");
      EXPECT_EQ(head.find("Content-Length"), std::string::npos);
    }
  }
}

TEST_F(HitTest, RestampReplacesTheExpiryPairOfTheRecord) {
  const std::string name = name_of("a.test/d");
  w.index[name] = "vs=371&dn=1&ep=10&cl=5&up=x";
  Head request = head_of("GET /d HTTP/1.1\r\nHost: a.test");
  std::unique_ptr<FilterRecord> record(make_record(kClient, request.get(), 902, "a.test/d"));
  EXPECT_TRUE(restamp_disk_expiry(*record, "a.test/d", kPublic, 0x20));
  EXPECT_EQ(w.index[name], "vs=371&dn=1&cl=5&up=x&ep=20");
  EXPECT_FALSE(restamp_disk_expiry(*record, "a.test/other", kPublic, 0x20));
}

TEST(IndexTextTest, ValuesAndTheExpiryPair) {
  struct Drop {
    const char* before;
    const char* after;
  };
  const Drop drops[] = {
      {"ep=5&cl=3", "cl=3"},         {"cl=3&ep=5", "cl=3"}, {"cl=3&ep=5&up=x", "cl=3&up=x"},
      {"ep=5", ""},                  {"cl=3&ep=5 tail", "cl=3 tail"}, {"xep=5&cl=3", "xep=5&cl=3"},
  };
  for (const Drop& d : drops) {
    char text[kIndexRecordSize] = {};
    std::strcpy(text, d.before);
    index_drop_ep(text);
    EXPECT_STREQ(text, d.after) << d.before;
  }
  char value[4];
  EXPECT_STREQ(index_value("xcl=9&cl=12345", "cl", value, sizeof value), "123");
  EXPECT_EQ(index_value("cl=1", "ep", value, sizeof value), nullptr);
  EXPECT_EQ(index_hex("cl=ff&x", "cl", 0), 255u);
  char text[kIndexRecordSize] = "cl=1&";
  EXPECT_TRUE(index_append(text, "ep", "a"));
  EXPECT_STREQ(text, "cl=1&ep=a");
}

}  // namespace
