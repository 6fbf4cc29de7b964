// The index stores' tests: a temporary runtime tree whose bin/ folder the test runs in, the
// module's init and exit with their console output, names and records of the stores' sizes, and
// the memory settings the stores are sized by (this header defines their getters: one test
// file per program includes it).
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "cu_log.h"
#include "reqgate.h"
#include "reqgate_internal.h"
#include "vor_kv2.h"
#include "vor_tempdir.h"

namespace vor::reqgate::test {

namespace fs = std::filesystem;

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr char kPlaceholder[] = "12345678901234567890123456789012";

inline uint64_t g_max_usable = 512 * kMiB;
inline uint32_t g_ratio = 30;

// Names of 32 characters, distinct per number and prefix.
inline std::string name_of(int n, char prefix = 'a') {
  char name[40];
  std::snprintf(name, sizeof name, "%c%031x", prefix, n);
  return std::string(name, 32);
}

inline std::string record_of(const std::string& text, size_t size = kIndexRecordSize) {
  std::string r = text;
  r.resize(size, '\0');
  return r;
}

// Uppercase hexadecimal, as the sqlite3 tool's hex() writes it.
inline std::string hex_of(const std::string& bytes) {
  std::string out;
  char pair[3];
  for (unsigned char c : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", c);
    out += pair;
  }
  return out;
}

// A store written directly, as an earlier run or an old version left it.
inline void seed_store(const std::string& path, int records, char prefix, size_t value_size = kIndexRecordSize) {
  vor_kv2* s = vor_kv2_open_ext(path.c_str(), true, true, 218, 2, 1);
  ASSERT_NE(s, nullptr) << path;
  for (int i = 0; i < records; ++i) {
    const std::string value = record_of("vs=371&n=" + std::to_string(i), value_size);
    ASSERT_TRUE(vor_kv2_put(s, 0, name_of(i, prefix).data(), 32, value.data(), static_cast<int32_t>(value.size())));
  }
  vor_kv2_close(s);
}

inline bool stored(uint8_t kind, const std::string& name, std::string* text = nullptr) {
  char record[kIndexRecordSize + 1] = {};
  if (!index_get(kind, name.c_str(), record)) return false;
  if (text) *text = record;
  return true;
}

class IndexStores : public ::testing::Test {
 protected:
  void SetUp() override {
    g_max_usable = 512 * kMiB;
    g_ratio = 30;
    root_ = dir_.path();
    for (const char* folder : {"bin", "config", "logs"}) fs::create_directories(root_ + "/" + folder);
    old_cwd_ = fs::current_path().string();
    ASSERT_EQ(chdir((root_ + "/bin").c_str()), 0);
    log_ = cu_log_malloc((root_ + "/logs/zazudaza.log").c_str());
    ctx_.log = log_;
  }
  void TearDown() override {
    if (running_) stop();
    ASSERT_EQ(chdir(old_cwd_.c_str()), 0);
    cu_log_free(log_);
  }

  // The module's init; what it printed on the console.
  std::string start() {
    testing::internal::CaptureStdout();
    reqgate_module_init(&ctx_);
    running_ = true;
    return testing::internal::GetCapturedStdout();
  }
  std::string stop() {
    testing::internal::CaptureStdout();
    reqgate_module_exit(&ctx_);
    running_ = false;
    return testing::internal::GetCapturedStdout();
  }
  std::string store(const std::string& file) const { return root_ + "/config/dcindex/" + file; }
  std::string log_text() {
    cu_log_flush(log_);
    return vor::test::read_file(root_ + "/logs/zazudaza.log");
  }
  // What the sqlite3 tool reads from a store file: the value of a key in hexadecimal.
  std::string cli_value(const std::string& file, const std::string& name) {
    return vor::test::shell_output("sqlite3 -batch '" + store(file) + "' \"select hex(v) from kv where k = x'" +
                                   hex_of(name) + "';\" 2>&1");
  }
  std::string cli_count(const std::string& file) {
    return vor::test::shell_output("sqlite3 -batch '" + store(file) + "' 'select count(*) from kv;' 2>&1");
  }

  vor::test::TempDir dir_;
  std::string root_;
  std::string old_cwd_;
  cu_log* log_ = nullptr;
  edgeserv_ctx ctx_{};
  bool running_ = false;
};

}  // namespace vor::reqgate::test

extern "C" {
uint64_t policydb_system_get_MaxUsableMemSize(void) { return vor::reqgate::test::g_max_usable; }
uint32_t policydb_system_get_RatioOfDCIMSAndMUMS(void) { return vor::reqgate::test::g_ratio; }
}
