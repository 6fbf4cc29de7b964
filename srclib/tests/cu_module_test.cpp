#include "cu_module.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace {

struct fixture_desc {
  int32_t version;
  const char* name;
};

// Runs a test body with the fixture folder as the current directory.
class Module : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(saved_, sizeof saved_), nullptr);
    ASSERT_EQ(chdir(VOR_FIXTURE_DIR), 0);
  }
  void TearDown() override { EXPECT_EQ(chdir(saved_), 0); }
  char saved_[4096] = {};
};

TEST_F(Module, LoadsByRelativePathAndFindsDataDescriptor) {
  for (const char* path : {"libvorfixture_a.so", "./libvorfixture_a.so", "..\\modules\\libvorfixture_a.so"}) {
    SCOPED_TRACE(path);
    cu_module* m = cu_module_open(path);
    ASSERT_NE(m, nullptr) << dlerror();
    EXPECT_STREQ(m->path, path);
    auto* desc = static_cast<fixture_desc*>(cu_module_symbol(m, "fixture_module"));
    ASSERT_NE(desc, nullptr);
    EXPECT_EQ(desc->version, 300);
    EXPECT_STREQ(desc->name, "fixture-a");
    cu_module_close(m);
  }
}

TEST_F(Module, LibrariesKeepTheirOwnSymbols) {
  cu_module* a = cu_module_open("libvorfixture_a.so");
  cu_module* b = cu_module_open("libvorfixture_b.so");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  using Answer = int32_t (*)(int32_t);
  auto fa = reinterpret_cast<Answer>(cu_module_symbol(a, "fixture_answer"));
  auto fb = reinterpret_cast<Answer>(cu_module_symbol(b, "fixture_answer"));
  ASSERT_NE(fa, nullptr);
  ASSERT_NE(fb, nullptr);
  EXPECT_EQ(fa(10), 11);
  EXPECT_EQ(fb(10), 12);
  EXPECT_STREQ(static_cast<fixture_desc*>(cu_module_symbol(b, "fixture_module"))->name, "fixture-b");
  cu_module_close(a);
  cu_module_close(b);
}

TEST_F(Module, MissingFileOrSymbolGivesNull) {
  EXPECT_EQ(cu_module_open("libvorfixture_missing.so"), nullptr);
  EXPECT_NE(dlerror(), nullptr);  // left for the caller's log line
  EXPECT_EQ(cu_module_open(nullptr), nullptr);
  cu_module* m = cu_module_open("libvorfixture_a.so");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(cu_module_symbol(m, "no_such_symbol"), nullptr);
  EXPECT_EQ(cu_module_symbol(m, nullptr), nullptr);
  EXPECT_EQ(cu_module_symbol(nullptr, "fixture_module"), nullptr);
  cu_module_close(m);
  cu_module_close(nullptr);
}

}  // namespace
