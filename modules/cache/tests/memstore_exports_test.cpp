// The exported families on the process-wide store that init makes: each family reaches its own
// table, the module-wide figures add the three up, and the listings and the exit dump write
// their lines byte for byte (local time taken in UTC).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "memstore.h"
#include "memstore_test_env.h"

namespace vor::memstore::test {
namespace {

// One row per family: the exports a test drives.
struct Family {
  const char* name;
  void (*set_data_x)(uint32_t, const char*, const char*, cu_xjitter*, uint32_t, uint8_t);
  uint8_t (*check_data_x)(const char*, uint32_t*, char*);
  int32_t (*get_data_x)(const char*, const char*, char*, uint32_t, uint32_t, uint32_t, void*);
  uint8_t (*add_access_count)(const char*, const char*);
  uint32_t (*get_num)(void);
  uint64_t (*get_size)(void);
  void (*get_cache_list)(wtb*);
  void (*get_cache_list_2x)(cu_jitter*);
  uint8_t (*clean_rules)(const char*, uint8_t, uint8_t);
  void (*clean_all)(void);
  const char* text_line;   // GetCacheList line of "a.b/x" (rule entry, 3 reads)
  const char* queue_line;  // GetCacheList2X line of the same
  const char* dump_line;
};

#define FAMILY(P)                                                                                           \
#P, P##_SetDataX, P##_CheckDataX, P##_GetDataX, P##_AddAccessCount, P##_GetNumOfCaches, P##_GetCacheSize, \
      P##_GetCacheList, P##_GetCacheList2X, P##_CleanRulesCache, P##_CleanAllCache

const Family kFamilies[] = {
    {FAMILY(wc_publiccache),
     "public -> cachetype: fcache -> expire: 2023-11-14 22:13:20 -> accesscount: 3 -> http://a.b/x\r\n",
     "public -> cachetype: fcache -> expire: 2023-11-14 22:13:20 -> accesscount: 3 -> a.b/x\r\n",
     "[PublicCacheInfo: AccessCount=3] a.b/x\r\n"},
    {FAMILY(wc_membercache),
     "member -> cachetype: fcache -> expire: 2023-11-14 22:13:20 -> accesscount: 3 -> a.b/x\r\n",
     "member -> cachetype: fcache -> expire: 2023-11-14 22:13:20 -> accesscount: 3 -> http://a.b/x\r\n",
     "[MemberCacheInfo: AccessCount=3] a.b/x\r\n"},
    {FAMILY(wc_visitorcache),
     "visitor -> cachetype: fcache -> expire: 2023-11-14 22:13:20 -> accesscount: 3 -> a.b/x\r\n",
     "visitor -> cachetype: fcache -> expire: 2023-11-14 22:13:20 -> accesscount: 3 -> http://a.b/x\r\n",
     "[VisitorCacheInfo: AccessCount=3] a.b/x\r\n"},
};

class Exports : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("TZ", "UTC", 1);
    tzset();
    static edgeserv_ctx ctx{};
    ctx.config = cu_config_make1("[system]\ndisplay_console=0\n");
    testing::internal::CaptureStderr();  // the missing cache.ini line
    memstore_init(&ctx);
    testing::internal::GetCapturedStderr();
  }
  void SetUp() override {
    for (const Family& f : kFamilies) f.clean_all();
  }
};

void store_rule_entry(const Family& f, const char* url, const std::string& body) {
  CallerBody caller;
  f.set_data_x(1, url, "HTTP/1.1 200 OK\r\n\r\n", caller.with(body), 1700000000, 1);
  EXPECT_TRUE(caller.drained());
}

std::string text_list(const Family& f) {
  wtb* w = wtb_make(nullptr, 0);
  f.get_cache_list(w);
  std::string text = wtb_GetTextString(w);
  wtb_free(w);
  return text;
}

std::string queue_list(const Family& f) {
  cu_jitter* q = cu_jitter_malloc();
  f.get_cache_list_2x(q);
  std::string text(static_cast<size_t>(cu_jitter_GetLen(q)), '\0');
  cu_jitter_GetData(q, text.data(), static_cast<int32_t>(text.size()));
  cu_jitter_free(q);
  return text;
}

TEST_F(Exports, EachFamilyReachesItsOwnTable) {
  for (size_t i = 0; i < std::size(kFamilies); ++i) {
    const Family& f = kFamilies[i];
    SCOPED_TRACE(f.name);
    store_rule_entry(f, "a.b/x", "body of " + std::string(f.name));
    for (size_t j = 0; j < std::size(kFamilies); ++j) EXPECT_EQ(kFamilies[j].get_num(), j <= i ? 1u : 0u);
    char tag[17];
    uint32_t expire = 0;
    ASSERT_TRUE(f.check_data_x("a.b/x", &expire, tag));
    EXPECT_EQ(expire, 1700000000u);
    char body[64];
    EXPECT_EQ(f.get_data_x("a.b/x", tag, nullptr, 0, 0, 64, body), static_cast<int32_t>(8 + strlen(f.name)));
    EXPECT_EQ(std::string(body, 8), "body of ");
  }
  EXPECT_EQ(memstore_GetNumOfCaches(), 3u);
  EXPECT_EQ(wc_publiccache_GetCacheSize() + wc_membercache_GetCacheSize() + wc_visitorcache_GetCacheSize(),
            memstore_GetCacheSize() / 3 * 3);
  EXPECT_GT(memstore_GetMaxCacheSize(), 0u);
}

TEST_F(Exports, EachTableOperationTakesTheCacheLockOnce) {
  const uint64_t before = memstore_GetLockTakes();
  wc_publiccache_CheckData("a.b/x", nullptr);
  wc_membercache_GetExpire("a.b/x");
  std::thread([] { wc_visitorcache_CheckData("a.b/x", nullptr); }).join();  // another thread's take
  EXPECT_EQ(memstore_GetLockTakes(), before + 2);
}

TEST_F(Exports, ListLinesAreWrittenByteForByte) {
  for (const Family& f : kFamilies) {
    SCOPED_TRACE(f.name);
    store_rule_entry(f, "a.b/x", "x");
    f.add_access_count("a.b/x", nullptr);
    f.add_access_count("a.b/x", nullptr);
    EXPECT_EQ(text_list(f), f.text_line);
    EXPECT_EQ(queue_list(f), f.queue_line);
  }
}

TEST_F(Exports, IntelligentEntriesAreListedAsIcache) {
  CallerBody caller;
  wc_membercache_SetDataX(0, "c.d/i", "H", caller.with("x"), 0, 0);
  EXPECT_EQ(text_list(kFamilies[1]),
            "member -> cachetype: icache -> expire: 1970-01-01 00:00:00 -> accesscount: 1 -> c.d/i\r\n");
}

TEST_F(Exports, NullOutputsListNothing) {
  store_rule_entry(kFamilies[0], "a.b/x", "x");
  wc_publiccache_GetCacheList(nullptr);
  wc_publiccache_GetCacheList2X(nullptr);
}

TEST_F(Exports, ExitDumpNamesEveryEntryWithItsReads) {
  for (const Family& f : kFamilies) {
    store_rule_entry(f, "a.b/x", "x");
    f.add_access_count("a.b/x", nullptr);
    f.add_access_count("a.b/x", nullptr);
  }
  Store* store = instance();
  ASSERT_NE(store, nullptr);
  const Settings quiet_settings = store->settings();
  Settings loud = quiet_settings;
  loud.verbose = true;
  store->configure(loud);
  testing::internal::CaptureStdout();
  cache.exit(nullptr);
  const std::string out = testing::internal::GetCapturedStdout();
  store->configure(quiet_settings);
  EXPECT_EQ(out, std::string("[zazudaza -> cache] module exit!\r\n") + kFamilies[0].dump_line + kFamilies[1].dump_line +
                     kFamilies[2].dump_line);
  testing::internal::CaptureStdout();
  cache.exit(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[zazudaza -> cache] module exit!\r\n");
}

TEST_F(Exports, RulePurgeThroughTheFamily) {
  for (const Family& f : kFamilies) {
    SCOPED_TRACE(f.name);
    store_rule_entry(f, "a.b/x.jpg", "x");
    store_rule_entry(f, "a.b/y.css", "y");
    EXPECT_EQ(f.clean_rules("*", 0, 1), 0);
    EXPECT_EQ(f.get_num(), 2u);
    EXPECT_EQ(f.clean_rules("*.JPG", 1, 0), 1);
    EXPECT_EQ(f.get_num(), 1u);
    EXPECT_EQ(f.clean_rules("*", 1, 0), 1);
    EXPECT_EQ(f.get_num(), 0u);
    EXPECT_EQ(f.get_size(), 0u);
  }
}

}  // namespace
}  // namespace vor::memstore::test
