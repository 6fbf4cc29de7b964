// The plug-in host with two fixture libraries in a temporary runtime tree: load order by index,
// missing files and ini, the dispatchers handed on only for entries some plug-in exports, walks
// that stop at a refusal, and the extended body walk sharing its pointers.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cu_module.h"
#include "upfetch.h"
#include "upfetch_plugins.h"
#include "vor_tempdir.h"

namespace vor::upfetch::plugins {
namespace {

namespace fs = std::filesystem;

struct FixtureState {
  std::string* journal = nullptr;
  uint8_t sock_init_answer = 1;
  uint8_t request_http_answer = 1;
  std::string seen_body;
};

class PluginsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir : {"bin", "plugins"}) fs::create_directories(tmp.path() + "/" + dir);
    fs::copy_file(QUO_FIXTURE_FIRST, tmp.path() + "/plugins/first.so");
    fs::copy_file(QUO_FIXTURE_SECOND, tmp.path() + "/plugins/second.so");
    old_cwd = fs::current_path();
    fs::current_path(tmp.path() + "/bin");
  }
  void TearDown() override {
    reset_for_tests();
    fs::current_path(old_cwd);
  }
  void ini(const std::string& text) { vor::test::write_file(tmp.path() + "/plugins/plugins.ini", text); }
  // The fixture's state, through the library the host loaded (the same path gives the same copy).
  FixtureState* state(const char* file) {
    cu_module* m = cu_module_open((std::string("../plugins/") + file).c_str());
    if (!m) return nullptr;
    auto get = reinterpret_cast<FixtureState* (*)()>(cu_module_symbol(m, "fixture_state"));
    FixtureState* s = get ? get() : nullptr;
    if (s) {
      s->journal = &journal;
      s->sock_init_answer = 1;
      s->request_http_answer = 1;
    }
    return s;
  }
  void load_both() {
    ini("[plugins]\nplugin-5=second.so\nplugin-0=first.so\nplugin-3=\n");
    first = state("first.so");
    second = state("second.so");
    ASSERT_TRUE(first && second);
    load();
  }

  vor::test::TempDir tmp;
  fs::path old_cwd;
  std::string journal;
  FixtureState* first = nullptr;
  FixtureState* second = nullptr;
};

TEST_F(PluginsTest, IndexOrderDecidesAndInitsRunAfterLoading) {
  load_both();
  EXPECT_EQ(journal, "first:init;");
  journal.clear();
  EXPECT_EQ(sock_init(12345678901LL, "1.2.3.4"), 1);
  EXPECT_EQ(journal, "first:sock_init 12345678901 1.2.3.4;second:sock_init 12345678901 1.2.3.4;");
  journal.clear();
  sock_exit(7);
  exit_all();
  EXPECT_EQ(journal, "first:sock_exit 7;first:exit;");
  const ResponseWalks walks = response_walks();
  EXPECT_NE(walks.head, nullptr);
  EXPECT_NE(walks.body, nullptr);
  EXPECT_NE(walks.body_x, nullptr);
}

TEST_F(PluginsTest, ARefusalStopsTheWalkAndIsTheAnswer) {
  load_both();
  journal.clear();
  first->request_http_answer = 0;
  EXPECT_EQ(request_http(9, nullptr), 0);
  EXPECT_EQ(journal, "first:request_http 9;");
  journal.clear();
  first->request_http_answer = 1;
  second->request_http_answer = 0;
  EXPECT_EQ(request_http(9, nullptr), 0);
  EXPECT_EQ(journal, "first:request_http 9;second:request_http 9;");
  journal.clear();
  first->sock_init_answer = 0;
  EXPECT_EQ(sock_init(1, "5.6.7.8"), 0);
  EXPECT_EQ(journal, "first:sock_init 1 5.6.7.8;");
  journal.clear();
  EXPECT_EQ(upfetch__request_content_hook(3, nullptr, "body", 4), 1);
  EXPECT_EQ(second->seen_body, "body");
  EXPECT_EQ(upfetch__response_http_hook(3, nullptr, 44, nullptr, 1), 1);
  EXPECT_EQ(journal, "second:request_content;second:response_http 44 1;");
}

TEST_F(PluginsTest, TheExtendedBodyWalkSharesItsPointers) {
  load_both();
  char input[] = "abc";
  char* data = input;
  int32_t len = 3;
  quo_plugin_free_fn free_fn = nullptr;
  void* free_arg = nullptr;
  EXPECT_EQ(upfetch__response_content_x_hook(3, nullptr, 4, nullptr, 0, 1, &data, &len, &free_fn, &free_arg), 1);
  EXPECT_EQ(first->seen_body, "abc");
  EXPECT_EQ(second->seen_body, "ABC!!");  // the plain hook of the second sees what the first left
  ASSERT_NE(data, input);
  EXPECT_EQ(std::string(data, static_cast<size_t>(len)), "ABC!!");
  ASSERT_NE(free_fn, nullptr);
  free_fn(free_arg, data);
}

TEST_F(PluginsTest, MissingFilesAreSkippedAndAMissingIniLoadsNothing) {
  ini("[plugins]\nplugin-0=absent.so\nplugin-1=second.so\n");
  second = state("second.so");
  ASSERT_NE(second, nullptr);
  testing::internal::CaptureStdout();
  load();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("[quorin -> zazudaza -> plugin] plugin 'absent.so' load fail!\r\n"), 0u) << out;
  EXPECT_NE(out.find("absent.so: cannot open shared object file"), std::string::npos) << out;
  EXPECT_NE(out.find("[zazudaza -> second.so] plugin load!\r\n"), std::string::npos) << out;
  // Only the plain body hook is exported: the head walk is too, the extended one is not.
  const ResponseWalks walks = response_walks();
  EXPECT_NE(walks.head, nullptr);
  EXPECT_NE(walks.body, nullptr);
  EXPECT_EQ(walks.body_x, nullptr);

  reset_for_tests();
  fs::remove(tmp.path() + "/plugins/plugins.ini");
  load();
  const ResponseWalks none = response_walks();
  EXPECT_EQ(none.head, nullptr);
  EXPECT_EQ(none.body, nullptr);
  EXPECT_EQ(none.body_x, nullptr);
  EXPECT_EQ(sock_init(1, "1.1.1.1"), 1);
  EXPECT_EQ(request_http(1, nullptr), 1);
  char* data = nullptr;
  int32_t len = 0;
  EXPECT_EQ(upfetch__response_content_x_hook(1, nullptr, 0, nullptr, 0, 0, &data, &len, nullptr, nullptr), 1);
}

}  // namespace
}  // namespace vor::upfetch::plugins
