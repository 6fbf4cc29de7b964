// Admin sessions on a running server (50 ms periods) and the HTML escaper.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

#include "cu_malloc.h"
#include "panelhttp_harness.h"

namespace {

using panelhttp_test::Server;
using vor::test::wait_until;

std::string taken(char* text) {
  std::string s = text ? text : "(null)";
  _cu_free(text, "test", __LINE__);
  return s;
}

std::string new_id() {
  (void)Server::get({});
  return taken(panelhttp_GenSession());
}

TEST(Sessions, IdsAreSixtyFourAlphanumericsAndDiffer) {
  std::set<std::string> ids;
  for (int i = 0; i < 50; ++i) {
    const std::string id = new_id();
    ASSERT_EQ(id.size(), 64u);
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"),
              std::string::npos);
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 50u);
}

TEST(Sessions, DuplicateIdIsRefusedAndTheFirstStays) {
  const std::string id = new_id();
  int first = 1, second = 2;
  ASSERT_EQ(panelhttp_AddSession(id.c_str(), 600000, nullptr, &first, nullptr, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(panelhttp_AddSession(id.c_str(), 600000, nullptr, &second, nullptr, nullptr, nullptr, nullptr), 0);
  vuved_session* s = panelhttp_CheckSession(id.c_str());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->user, &first);
  EXPECT_EQ(panelhttp_AddSession(nullptr, 10, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(panelhttp_AddSession("x", 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
}

std::atomic<int> g_expiries{0};
uint8_t expire_keep_once(const char*, void* user, void*, void*, void*, void* word4) {
  EXPECT_EQ(user, &g_expiries);
  EXPECT_EQ(word4, reinterpret_cast<void*>(4));
  return ++g_expiries == 1 ? 0 : 1;
}

TEST(Sessions, ExpiryAnsweringZeroIsAskedAgainThenFreed) {
  const std::string id = new_id();
  const uint32_t before = panelhttp_NumOfSessions();
  ASSERT_EQ(panelhttp_AddSession(id.c_str(), 50, expire_keep_once, &g_expiries, nullptr, nullptr, nullptr,
                                 reinterpret_cast<void*>(4)), 1);
  EXPECT_EQ(panelhttp_NumOfSessions(), before + 1);
  ASSERT_TRUE(wait_until([] { return g_expiries.load() >= 1; }));
  // Kept by its callback, yet no longer found.
  EXPECT_EQ(panelhttp_CheckSession(id.c_str()), nullptr);
  ASSERT_TRUE(wait_until([] { return g_expiries.load() >= 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(g_expiries.load(), 2);
  EXPECT_EQ(panelhttp_NumOfSessions(), before);
}

// Refreshing sets the expiry to now + ms; it never adds up.
TEST(Sessions, RefreshesDoNotAddUp) {
  const std::string id = new_id();
  ASSERT_EQ(panelhttp_AddSession(id.c_str(), 60000, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 1);
  const struct {
    uint32_t ms;
    uint64_t expected;
  } cases[] = {{600000, 600000}, {600000, 600000}, {0, 90000000}, {0, 90000000}, {1000, 90000000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ms);
    const uint64_t before = static_cast<uint64_t>(vor::panelhttp::monotonic_ms());
    ASSERT_EQ(panelhttp_FreshSession(id.c_str(), c.ms), 1);
    const uint64_t after = static_cast<uint64_t>(vor::panelhttp::monotonic_ms());
    vuved_session* s = panelhttp_CheckSession(id.c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_GE(s->expiry_ms, before + c.expected);
    EXPECT_LE(s->expiry_ms, after + c.expected);
  }
  EXPECT_EQ(panelhttp_FreshSession("no such id", 10), 0);
  EXPECT_EQ(panelhttp_FreshSession(nullptr, 10), 0);
}

TEST(Sessions, DeleteFromAnotherThreadRunsOnTheOwningBox) {
  const std::string id = new_id();
  ASSERT_EQ(panelhttp_AddSession(id.c_str(), 600000, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 1);
  std::thread([&] { panelhttp_DelSession(id.c_str()); }).join();
  EXPECT_TRUE(wait_until([&] { return panelhttp_CheckSession(id.c_str()) == nullptr; }));
  panelhttp_DelSession("no such id");
  panelhttp_DelSession(nullptr);
}

TEST(Html, EveryListedByteIsReplacedOnItsOwn) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"a b", "a&nbsp;b"},
      {"\t", "&nbsp;&nbsp;&nbsp;&nbsp;"},
      {"\r\n", "<br><br>"},
      {"&amp;", "&amp;amp;"},
      {"<a href=\"x\">'y'</a>", "&lt;a&nbsp;href=&quot;x&quot;&gt;&#39;y&#39;&lt;/a&gt;"},
      {"\xC3\xA9", "\xC3\xA9"},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    EXPECT_EQ(taken(text_to_html(in)), out);
  }
  EXPECT_EQ(text_to_html(nullptr), nullptr);
}

TEST(Html, LongInputGrowsTheBuffer) {
  const std::string tabs(100 * 1024, '\t');
  const std::string out = taken(text_to_html(tabs.c_str()));
  ASSERT_EQ(out.size(), tabs.size() * 24);
  EXPECT_EQ(out.find_first_not_of("&nbsp;"), std::string::npos);
}

}  // namespace
