// The module's init on an edge-server context in a runtime tree: the init line, cache.ini (read,
// or reported missing on standard error and in the log), display_console and the sizing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "cu_log.h"
#include "cu_util.h"
#include "memstore.h"
#include "memstore_test_env.h"
#include "policydb.h"
#include "vor_tempdir.h"

namespace vor::memstore::test {
namespace {

namespace fs = std::filesystem;
using vor::test::read_file;
using vor::test::write_file;

// Standard error into a file while the object lives.
class StderrCapture {
 public:
  explicit StderrCapture(const std::string& path) : path_(path) {
    fflush(stderr);
    saved_ = dup(2);
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(file, 2);
    close(file);
  }
  ~StderrCapture() {
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

 private:
  std::string path_;
  int saved_ = -1;
};

// bin/ as the current directory, with ../modules/zazudaza/ and ../logs/ beside it.
class Tree {
 public:
  Tree() {
    for (const char* dir : {"bin", "logs", "modules/zazudaza"}) fs::create_directories(tmp_.file(dir));
    old_cwd_ = fs::current_path();
    fs::current_path(tmp_.file("bin"));
  }
  ~Tree() {
    if (ctx_.log) cu_log_free(ctx_.log);
    if (ctx_.config) cu_config_free(ctx_.config);
    fs::current_path(old_cwd_);
  }
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  void cache_ini(const std::string& text) { write_file(tmp_.file("modules/zazudaza/cache.ini"), text); }

  std::unique_ptr<Store> init(const std::string& zazudaza_ini = "[system]\ndisplay_console=1\n") {
    world().reset();
    ctx_.config = cu_config_make1(zazudaza_ini.c_str());
    ctx_.log = cu_log_malloc("../logs/zazudaza.log");
    StderrCapture capture(tmp_.file("stderr"));
    return std::unique_ptr<Store>(make_module_store(&ctx_, test_environment(), test_geometry()));
  }
  std::string err() const { return read_file(tmp_.file("stderr")); }
  std::string log() {
    cu_log_flush(ctx_.log);
    return read_file(tmp_.file("logs/zazudaza.log"));
  }

 private:
  vor::test::TempDir tmp_;
  fs::path old_cwd_;
  edgeserv_ctx ctx_{};
};

constexpr char kMissing[] = "[zazudaza -> response] cann't open 'modules/zazudaza/cache.ini' file!\r\n";

TEST(Module, DescriptorNamesTheCacheWithItsTwoSlots) {
  EXPECT_EQ(cache.version, 371u);
  EXPECT_STREQ(cache.name, "cache");
  EXPECT_NE(cache.init, nullptr);
  EXPECT_NE(cache.exit, nullptr);
  EXPECT_EQ(cache.on_accept, nullptr);
  EXPECT_EQ(cache.on_close, nullptr);
  EXPECT_EQ(cache.on_read, nullptr);
}

TEST(Module, MissingCacheIniIsReportedOnceAndTheDefaultsHold) {
  Tree tree;
  auto store = tree.init();
  ASSERT_TRUE(store);
  EXPECT_EQ(world().take_lines(), std::vector<std::string>{"[zazudaza -> cache] module init!\r\n"});
  EXPECT_EQ(tree.err(), kMissing);
  EXPECT_NE(tree.log().find(kMissing), std::string::npos) << tree.log();
  EXPECT_EQ(store->settings().priority, 0);
  EXPECT_EQ(store->settings().protect, 60u);
}

TEST(Module, CacheIniSettingsAreRead) {
  Tree tree;
  tree.cache_ini("[system]\ncache_replacement_priority=2\nnewcache_protecttime_when_overload=30\n");
  auto store = tree.init();
  EXPECT_EQ(tree.err(), "");
  EXPECT_EQ(tree.log().find("cache.ini"), std::string::npos);
  EXPECT_EQ(store->settings().priority, 2);
  EXPECT_EQ(store->settings().protect, 30u);
}

TEST(Module, DisplayConsoleDecidesTheVerboseLines) {
  struct Row {
    const char* ini;
    bool verbose;
  };
  const Row rows[] = {{"[system]\n", true},
                      {"[system]\ndisplay_console=1\n", true},
                      {"[system]\ndisplay_console=0\n", false},
                      {"[system]\ndisplay_console=2\n", false}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.ini);
    Tree tree;
    tree.cache_ini("[system]\n");
    EXPECT_EQ(tree.init(r.ini)->settings().verbose, r.verbose);
  }
}

TEST(Module, BudgetComesFromTheMachineAndTheRulesStoreSettings) {
  Tree tree;
  tree.cache_ini("[system]\n");
  auto store = tree.init();
  uint64_t total = 0;
  const std::optional<uint64_t> physical =
      cu_GetPhyMemSize(&total, nullptr) ? std::optional<uint64_t>(total) : std::nullopt;
  const Sizing expected =
      size_cache(physical, policydb_system_get_MaxUsableMemSize(), policydb_system_get_RatioOfDCIMSAndMUMS());
  EXPECT_EQ(store->budget(), expected.budget);
  EXPECT_GT(store->budget(), 0u);
  EXPECT_EQ(store->entry_total(), 0u);
  EXPECT_EQ(store->cache_size(), 0u);
}

TEST(Module, ExportsBeforeInitAnswerAsEmpty) {
  EXPECT_EQ(memstore_GetNumOfCaches(), 0u);
  EXPECT_EQ(memstore_GetCacheSize(), 0u);
  EXPECT_EQ(wc_publiccache_CheckData("a.b/x", nullptr), 0);
  EXPECT_EQ(wc_membercache_GetDataX("a.b/x", nullptr, nullptr, 0, 0, 0, nullptr), -1);
  CallerBody caller;
  wc_visitorcache_SetDataX(0, "a.b/x", "H", caller.with("bytes"), 1, 0);
  EXPECT_TRUE(caller.drained());
}

}  // namespace
}  // namespace vor::memstore::test
