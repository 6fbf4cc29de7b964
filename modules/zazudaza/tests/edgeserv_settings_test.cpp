// The edge server's settings, pool tiers, cached clock and IP-location texts.
#include <gtest/gtest.h>

#include <string>

#include "edgeserv_internal.h"

namespace {

struct SettingCase {
  const char* ini;
  bool display;
  bool redirect_301;
  uint32_t idle_limit;
  bool nodelay;
  bool faster_close;
};

const SettingCase kSettings[] = {
    {"", true, true, 60, true, true},  // every key absent: the defaults
    {"redirect_status_code=302", true, false, 60, true, true},
    {"redirect_status_code=303", true, true, 60, true, true},
    {"redirect_status_code=301 302", true, true, 60, true, true},
    {"enable_faster_close=TRUE", true, true, 60, true, true},
    {"enable_faster_close=yes", true, true, 60, true, false},
    {"enable_faster_close=0", true, true, 60, true, false},
    {"network_refresh=-30", true, true, 30, true, true},
    {"network_refresh=0", true, true, 0, true, true},
    {"network_refresh=soon", true, true, 0, true, true},
    {"display_console=1", true, true, 60, true, true},
    {"display_console=2", false, true, 60, true, true},
    {"display_console=true", false, true, 60, true, true},
    {"tcp_nodelay=0", true, true, 60, false, true},
    {"tcp_nodelay=7", true, true, 60, true, true},
};

TEST(Settings, Table) {
  for (const SettingCase& c : kSettings) {
    SCOPED_TRACE(c.ini);
    cu_config* config = cu_config_make1((std::string("[system]\r\n") + c.ini + "\r\n").c_str());
    const edge::Settings s = edge::read_settings(config);
    EXPECT_EQ(s.display, c.display);
    EXPECT_EQ(s.redirect_301, c.redirect_301);
    EXPECT_EQ(s.idle_limit, c.idle_limit);
    EXPECT_EQ(s.nodelay, c.nodelay);
    EXPECT_EQ(s.faster_close, c.faster_close);
    cu_config_free(config);
  }
}

TEST(Settings, FileThreadsDefaultToSixAndTwo) {
  const edge::Settings s = edge::read_settings(nullptr);
  EXPECT_EQ(s.hdd_threads, 6);
  EXPECT_EQ(s.ssd_threads, 2);
}

TEST(Pools, XjitterPagesFollowPhysicalMemory) {
  constexpr uint64_t kGiB = 1ull << 30;
  const struct {
    uint64_t bytes;
    uint64_t pages;
  } cases[] = {{8 * kGiB, 50},      {15 * kGiB, 50},      {15 * kGiB + 1, 75}, {16 * kGiB, 75}, {29 * kGiB, 75},
               {29 * kGiB + 1, 100}, {32 * kGiB, 100},     {59 * kGiB, 100},    {59 * kGiB + 1, 200},
               {64 * kGiB, 200}};
  for (const auto& c : cases) EXPECT_EQ(edge::xjitter_page_limit(c.bytes), c.pages) << c.bytes;
}

TEST(Clock, ReadsTheSystemTimeUntilTheTimerStoresOne) {
  edge::set_clock(0);
  const int64_t before = time(nullptr);
  const int64_t first = edgeserv_mytime();
  EXPECT_GE(first, before);
  EXPECT_LE(first, before + 2);
  edge::set_clock(1000);
  EXPECT_EQ(edgeserv_mytime(), 1000);
}

TEST(Module, VersionAndDescriptor) {
  EXPECT_STREQ(edgeserv_VersionString(), "3.7.9");
  EXPECT_STREQ(edgeserv.magic, "quorin_zazudaza_server");
  EXPECT_EQ(edgeserv.version, 301u);
  EXPECT_EQ(edgeserv.init, &edgeserv_init);
  EXPECT_EQ(edgeserv.exit, &edgeserv_exit);
  EXPECT_EQ(edgeserv_GetHandle(), nullptr);
  EXPECT_EQ(edgeserv_GetNumOfConnections(), 0);
  EXPECT_EQ(edgeserv_GetClient_BySid(5), nullptr);
  EXPECT_EQ(edgeserv_GetDnsInEventId(5), nullptr);
  EXPECT_EQ(edgeserv_GetReadableLen(), 0u);
}

// A lookup that fills every byte it is allowed: the length's characters and a NUL.
uint8_t filling_lookup(const char*, char* area, int32_t area_len, char* detail, int32_t detail_len) {
  if (area) {
    memset(area, 'a', static_cast<size_t>(area_len));
    area[area_len] = '\0';
  }
  if (detail) {
    memset(detail, 'd', static_cast<size_t>(detail_len));
    detail[detail_len] = '\0';
  }
  return 1;
}

uint8_t gbk_lookup(const char* ip, char* area, int32_t, char* detail, int32_t) {
  if (strcmp(ip, "10.0.0.1") != 0) return 0;
  if (area) strcpy(area, "\xc4\xe3\xba\xc3");  // GBK for the two characters "ni hao"
  if (detail) strcpy(detail, "\xc4\xe3\xba\xc3 ok");
  return 1;
}

TEST(Location, NoLookupAnswersZero) {
  char area[16] = "x";
  EXPECT_EQ(edgeserv_GetLocationOfIP("1.2.3.4", area, sizeof area, nullptr, 0), 0);
  EXPECT_STREQ(area, "x");
}

TEST(Location, ALookupFillingItsWholeLengthsStaysInsideTheBuffers) {
  edgeserv_SetLocationOfIP(filling_lookup);
  char area[100];
  char detail[300];
  ASSERT_EQ(edgeserv_GetLocationOfIP("1.2.3.4", area, sizeof area, detail, sizeof detail), 1);
  EXPECT_EQ(std::string(area), std::string(64, 'a'));
  EXPECT_EQ(std::string(detail), std::string(256, 'd'));
  // The caller's lengths cut the copies.
  char small_area[10];
  char small_detail[20];
  ASSERT_EQ(edgeserv_GetLocationOfIP("1.2.3.4", small_area, sizeof small_area, small_detail, sizeof small_detail), 1);
  EXPECT_EQ(std::string(small_area), std::string(9, 'a'));
  EXPECT_EQ(std::string(small_detail), std::string(19, 'd'));
  edge::reset_location();
}

TEST(Location, GbkTextsComeBackAsUtf8) {
  edgeserv_SetLocationOfIP(gbk_lookup);
  char area[32] = "";
  char detail[32] = "";
  ASSERT_EQ(edgeserv_GetLocationOfIP("10.0.0.1", area, sizeof area, detail, sizeof detail), 1);
  EXPECT_STREQ(area, "\xe4\xbd\xa0\xe5\xa5\xbd");
  EXPECT_STREQ(detail, "\xe4\xbd\xa0\xe5\xa5\xbd ok");
  // Room for one and a half characters: the cut falls between characters.
  char tight[6] = "";
  ASSERT_EQ(edgeserv_GetLocationOfIP("10.0.0.1", tight, sizeof tight, nullptr, 0), 1);
  EXPECT_STREQ(tight, "\xe4\xbd\xa0");
  EXPECT_EQ(edgeserv_GetLocationOfIP("10.0.0.2", area, sizeof area, detail, sizeof detail), 0);
  edge::reset_location();
}

#ifndef NDEBUG
TEST(RecordLock, ASlotCalledWithARecordLockHeldAborts) {
  edgeserv_ctx ctx{};
  client_rec rec{};
  rec.sid = (7LL << 32) | 900;  // a sid no socket of this process has
  ASSERT_TRUE(edge::insert_client(&rec));
  EXPECT_EQ(edge::lock_depth(), 0);
  edge::expect_unlocked();
  {
    edge::ClientLock outer(&ctx, rec.sid);
    edge::ClientLock inner(&ctx, rec.sid);
    EXPECT_EQ(inner.rec(), &rec);
    EXPECT_EQ(edge::lock_depth(), 2);
    EXPECT_DEATH(edge::expect_unlocked(), "record's lock held");
    edge::remove_client(inner);
  }
  EXPECT_EQ(edge::lock_depth(), 0);
  EXPECT_EQ(edge::ClientLock(&ctx, rec.sid).rec(), nullptr);
}
#endif

}  // namespace
