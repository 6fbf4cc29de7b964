// The cleaning passes' tests: the index stores of a temporary runtime tree (the module's init and
// exit), cache disks under that tree answered in place of the rules store's, the directory depth,
// the full-mark clears, draws from a seeded generator (or every entry drawn) and pauses recorded
// instead of slept. This header defines those getters: one test file per program includes it.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "edgeserv.h"
#include "reqgate_index_test_util.h"

namespace vor::reqgate::test {

struct TestDisk {
  std::string path;
  bool ssd = false;
};

// What the passes see of the rules store and what they did; guarded for the threaded tests.
struct CleanWorld {
  std::mutex lock;
  std::map<int32_t, TestDisk> disks;
  uint32_t depth = 2;
  std::vector<int32_t> unfull;  // disks whose full mark was cleared, in order
  std::vector<uint32_t> pauses;
  void (*on_unfull)(int32_t disk) = nullptr;
  void (*on_pause)() = nullptr;
  std::mt19937 rng{20261211};
};
inline CleanWorld g_clean;

inline int32_t seeded_draw() {
  std::lock_guard<std::mutex> hold(g_clean.lock);
  return static_cast<int32_t>(g_clean.rng() & 0x7FFFFFFF);
}
inline int32_t every_draw() { return 0; }
inline void recorded_pause(uint32_t ms) {
  {
    std::lock_guard<std::mutex> hold(g_clean.lock);
    g_clean.pauses.push_back(ms);
  }
  if (g_clean.on_pause) g_clean.on_pause();
}

inline size_t pause_count() {
  std::lock_guard<std::mutex> hold(g_clean.lock);
  return g_clean.pauses.size();
}

// A file of the cache tree, by class, folder digits and name.
struct CacheFile {
  uint8_t kind;
  std::string digits;
  std::string name;
  std::string path;
};

class CleanTest : public IndexStores {
 protected:
  void SetUp() override {
    IndexStores::SetUp();
    {
      std::lock_guard<std::mutex> hold(g_clean.lock);
      g_clean.disks.clear();
      g_clean.depth = 2;
      g_clean.unfull.clear();
      g_clean.pauses.clear();
      g_clean.on_unfull = nullptr;
      g_clean.on_pause = nullptr;
      g_clean.rng.seed(20261211);
    }
    clean_calls() = {seeded_draw, recorded_pause};
    disk_ = root_ + "/disk1";
    add_disk(1, disk_, false);
    set_console_trace(false);
  }
  void TearDown() override {
    IndexStores::TearDown();
    set_console_trace(true);
  }

  static void add_disk(int32_t num, const std::string& path, bool ssd) {
    std::lock_guard<std::mutex> hold(g_clean.lock);
    g_clean.disks[num] = {path, ssd};
  }
  static void set_depth(uint32_t depth) {
    std::lock_guard<std::mutex> hold(g_clean.lock);
    g_clean.depth = depth;
  }

  // A cache file with its index record (dn 1, pt the digits) on the disk.
  CacheFile put_file(uint8_t kind, const std::string& digits, const std::string& name) {
    CacheFile f{kind, digits, name, cache_path_at(kind, disk_, digits, name)};
    make_dirs(f.path);
    vor::test::write_file(f.path, "GET / HTTP/1.1\r\n\r\n");
    const std::string record = record_of("vs=371&dn=1&pt=" + digits + "&r1=12&r2=0&cl=0&up=1/");
    EXPECT_TRUE(index_put(kind, f.path.c_str(), record.c_str()));
    return f;
  }
  static bool on_disk(const CacheFile& f) { return vor::test::exists(f.path); }
  static bool indexed(const CacheFile& f) { return stored(f.kind, f.name); }

  std::string disk_;
};

}  // namespace vor::reqgate::test

extern "C" {
uint32_t policydb_system_get_DiskCacheDirectoryDepth(void) {
  std::lock_guard<std::mutex> hold(vor::reqgate::test::g_clean.lock);
  return vor::reqgate::test::g_clean.depth;
}
uint8_t policydb_diskno_GetPath(int32_t num, char* buffer, int32_t len) {
  std::lock_guard<std::mutex> hold(vor::reqgate::test::g_clean.lock);
  auto it = vor::reqgate::test::g_clean.disks.find(num);
  if (it == vor::reqgate::test::g_clean.disks.end() || len < 1) return 0;
  std::snprintf(buffer, static_cast<size_t>(len), "%s", it->second.path.c_str());
  return 1;
}
uint8_t policydb_diskno_IsSSD(int32_t num) {
  std::lock_guard<std::mutex> hold(vor::reqgate::test::g_clean.lock);
  auto it = vor::reqgate::test::g_clean.disks.find(num);
  return it != vor::reqgate::test::g_clean.disks.end() && it->second.ssd ? 1 : 0;
}
uint8_t policydb_diskno_SetUnfull(int32_t num) {
  void (*hook)(int32_t) = nullptr;
  {
    std::lock_guard<std::mutex> hold(vor::reqgate::test::g_clean.lock);
    vor::reqgate::test::g_clean.unfull.push_back(num);
    hook = vor::reqgate::test::g_clean.on_unfull;
  }
  if (hook) hook(num);
  return 1;
}
}
