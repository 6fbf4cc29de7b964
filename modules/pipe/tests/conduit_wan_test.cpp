// The outgoing address choice: WAN-HTTP.ini and WAN.ini fixtures, the balancing rules, refused
// upstreams, and the hash against a reference written in Python.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "conduit.h"
#include "conduit_internal.h"
#include "vor_tempdir.h"

namespace {

using namespace vor::conduit;
using vor::test::read_file;
using vor::test::write_file;

class WanTest : public ::testing::Test {
 protected:
  // Standard output, the node's console, is kept while the test runs.
  void SetUp() override { testing::internal::CaptureStdout(); }
  void TearDown() override { console(); }
  std::string console() {
    if (!capturing_) return captured_;
    capturing_ = false;
    return captured_ = testing::internal::GetCapturedStdout();
  }
  bool capturing_ = true;
  std::string captured_;

  // Loads a Wan from ini text.
  void load(Wan& wan, const std::string& text, bool display = false) {
    cu_config* ini = cu_config_make1(text.c_str());
    ASSERT_NE(ini, nullptr);
    wan.load(ini, display);
    cu_config_free(ini);
  }
  std::string pick(Wan& wan, const char* client, const char* upstream) {
    char out[Wan::kTextSize] = "untouched";
    const auto c = client ? std::optional<std::string>(client) : std::nullopt;
    return wan.pick(c, upstream, out) ? std::string(out) : std::string("-");
  }

  vor::test::TempDir dir_;
};

TEST_F(WanTest, RoundRobinAlternatesStartingWithTheFirstIndex) {
  Wan wan;
  load(wan, "[WAN]\nBALANCE=0\nWAN-0=10.0.0.1\nWAN-3=10.0.0.4\n");
  std::vector<std::string> got;
  for (int i = 0; i < 5; ++i) got.push_back(pick(wan, nullptr, "8.8.8.8"));
  EXPECT_EQ(got, (std::vector<std::string>{"10.0.0.1", "10.0.0.4", "10.0.0.1", "10.0.0.4", "10.0.0.1"}));
}

TEST_F(WanTest, ClientHashKeepsOneClientOnOneAddress) {
  Wan wan;
  load(wan, "[WAN]\nWAN-0=10.0.0.1\nWAN-1=10.0.0.2\nWAN-2=10.0.0.3\n");
  ASSERT_EQ(wan.balance(), Balance::kClientHash);
  const std::string first = pick(wan, "203.0.113.77", "8.8.8.8");
  ASSERT_NE(first, "-");
  for (const char* upstream : {"8.8.4.4", "1.1.1.1", "9.9.9.9"}) EXPECT_EQ(pick(wan, "203.0.113.77", upstream), first);
  EXPECT_EQ(pick(wan, nullptr, "8.8.8.8"), "-");  // the client's address cannot be read
}

TEST_F(WanTest, UpstreamHashKeepsOneUpstreamOnOneAddress) {
  Wan wan;
  load(wan, "[WAN]\nBALANCE=2\nWAN-0=10.0.0.1\nWAN-1=10.0.0.2\n");
  const std::string first = pick(wan, nullptr, "93.184.216.34");
  ASSERT_NE(first, "-");
  for (const char* client : {"1.2.3.4", "5.6.7.8"}) EXPECT_EQ(pick(wan, client, "93.184.216.34"), first);
}

struct BalanceCase {
  const char* value;
  Balance balance;
};

TEST_F(WanTest, BalanceValues) {
  const BalanceCase cases[] = {{"0", Balance::kRoundRobin}, {"1", Balance::kClientHash}, {"2", Balance::kUpstreamHash},
                               {"3", Balance::kClientHash}, {"5", Balance::kClientHash}, {"-1", Balance::kClientHash}};
  for (const auto& c : cases) {
    Wan wan;
    load(wan, std::string("[WAN]\nWAN-0=10.0.0.1\nBALANCE=") + c.value + "\n");
    EXPECT_EQ(wan.balance(), c.balance) << c.value;
  }
}

TEST_F(WanTest, LoopbackBadAndRefusedUpstreamsAreNeverBound) {
  Wan wan;
  load(wan, "[WAN]\nBALANCE=0\nWAN-0=10.0.0.1\n[REFUSE]\nREFUSE-0=100.64.0.0/10\nREFUSE-1=8.8.8.8\n", true);
  for (const char* upstream : {"127.0.0.1", "127.9.9.9", "up.example", "", "100.64.1.2", "100.127.255.255", "8.8.8.8"}) {
    EXPECT_EQ(pick(wan, "1.2.3.4", upstream), "-") << upstream;
  }
  EXPECT_EQ(pick(wan, "1.2.3.4", "8.8.8.9"), "10.0.0.1");
  const std::string text = console();
  EXPECT_NE(text.find("WAN-HTTP.ini -> REFUSE -> low=100.64.0.0 -> high=100.127.255.255\r\n"), std::string::npos);
  EXPECT_NE(text.find("[PIPE -> WAN -> REFUSE] RESPONSE=100.64.1.2\r\n"), std::string::npos);
  EXPECT_NE(text.find("[PIPE -> WAN -> POLLING] WAN=10.0.0.1\r\n"), std::string::npos);
}

TEST_F(WanTest, OverlappingRefuseRangeIsReportedAndIgnored) {
  Wan wan;
  load(wan, "[WAN]\nWAN-0=10.0.0.1\n[REFUSE]\nREFUSE-0=1.2.3.0/24\nREFUSE-1=1.2.3.200 - 1.2.4.5\nREFUSE-2=1.2.5.1\n");
  EXPECT_EQ(console(), "[WAN-HTTP.ini -> REFUSE -> CONFLICT!!!] low=1.2.3.200 -> high=1.2.4.5\r\n");
  EXPECT_EQ(pick(wan, "1.1.1.1", "1.2.4.1"), "10.0.0.1");  // the dropped range refuses nothing
  EXPECT_EQ(pick(wan, "1.1.1.1", "1.2.5.1"), "-");
}

TEST_F(WanTest, BadValuesAreSkipped) {
  Wan wan;
  load(wan,
       "[WAN]\nBALANCE=0\nWAN-0=10.0.0.1/24\nWAN-1=not-an-address\nWAN-2=10.0.0.300\nWAN-7=10.0.0.7\n"
       "WAN-256=10.0.0.9\n[REFUSE]\nREFUSE-0=junk\nREFUSE-1=9.9.9.9 - 9.9.9.1\n");
  ASSERT_EQ(wan.entries().size(), 1u);
  EXPECT_EQ(wan.entries()[0].text, "10.0.0.7");
  EXPECT_EQ(pick(wan, nullptr, "9.9.9.5"), "10.0.0.7");
}

TEST_F(WanTest, NoSettingsChooseNothing) {
  Wan wan;
  wan.load(nullptr, true);
  EXPECT_EQ(pick(wan, "1.2.3.4", "8.8.8.8"), "-");
}

// The files as the running node reads them, from its bin/ folder.
class WanFiles : public WanTest {
 protected:
  void SetUp() override {
    WanTest::SetUp();
    std::filesystem::create_directories(dir_.file("bin"));
    std::filesystem::create_directories(dir_.file("config/ext"));
    old_dir_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.file("bin"));
  }
  void TearDown() override {
    std::filesystem::current_path(old_dir_);
    WanTest::TearDown();
  }
  std::string pick_export() {
    char out[Wan::kTextSize] = "";
    return conduit_wan_pick(-1, "8.8.8.8", out) ? std::string(out) : std::string("-");
  }
  std::filesystem::path old_dir_;
};

TEST_F(WanFiles, WanHttpIniComesFirstAndWanIniIsTheFallback) {
  conduit_wan_load();
  EXPECT_EQ(pick_export(), "-");  // neither file
  write_file(dir_.file("config/ext/WAN.ini"), "[WAN]\r\nBALANCE=0\r\nWAN-0=10.0.0.2\r\n");
  conduit_wan_load();
  EXPECT_EQ(pick_export(), "10.0.0.2");
  write_file(dir_.file("config/ext/WAN-HTTP.ini"), "[WAN]\r\nBALANCE=0\r\nWAN-0=10.0.0.1\r\n");
  conduit_wan_load();
  EXPECT_EQ(pick_export(), "10.0.0.1");
  // The client hash with a client that cannot be read chooses nothing.
  write_file(dir_.file("config/ext/WAN-HTTP.ini"), "[WAN]\r\nWAN-0=10.0.0.1\r\n");
  conduit_wan_load();
  EXPECT_EQ(pick_export(), "-");
}

TEST(WanHash, MatchesThePythonReference) {
  vor::test::TempDir dir;
  std::mt19937 rng(20261210);
  const char alphabet[] = "0123456789.:abcdefXYZ-";
  std::vector<std::string> texts = {"", "0", "255.255.255.255", "192.168.100.200", "zzzzzzzzzzzzzzzzzzzz"};
  for (int i = 0; i < 500; ++i) {
    std::string text;
    const int len = 1 + static_cast<int>(rng() % 20);
    if (i % 2) {
      text = std::to_string(rng() % 256) + "." + std::to_string(rng() % 256) + "." + std::to_string(rng() % 256) + "." +
             std::to_string(rng() % 256);
    } else {
      for (int k = 0; k < len; ++k) text += alphabet[rng() % (sizeof alphabet - 1)];
    }
    texts.push_back(text);
  }
  std::ostringstream lines;
  for (const auto& t : texts) lines << t << "\n";
  write_file(dir.file("texts"), lines.str());
  write_file(dir.file("ref.py"),
             "import sys\n"
             "out = []\n"
             "for line in open(sys.argv[1]).read().split('\\n')[:-1]:\n"
             "    h = 0\n"
             "    for c in line.encode():\n"
             "        h = (h * 31 + c) & 0xffffffff\n"
             "    if h >= 0x80000000:\n"
             "        h = (0x100000000 - h) & 0xffffffff\n"
             "    out.append(str(h))\n"
             "open(sys.argv[2], 'w').write('\\n'.join(out) + '\\n')\n");
  ASSERT_EQ(vor::test::run_shell("python3 " + dir.file("ref.py") + " " + dir.file("texts") + " " + dir.file("out")), 0);
  std::istringstream ref(read_file(dir.file("out")));
  for (const auto& t : texts) {
    uint64_t expected = 0;
    ASSERT_TRUE(ref >> expected);
    EXPECT_EQ(text_hash_magnitude(t.c_str()), expected) << t;
  }
}

}  // namespace
