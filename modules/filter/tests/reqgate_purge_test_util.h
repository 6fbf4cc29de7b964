// The purge and check tests: the module started in a temporary runtime tree with two cache disks
// (numbers 0 and 0x1a) and the rewrite fixture plug-in, cache files and index records made by
// hand as the cache writer lays them out, and records read back from the stores or, after the
// module's exit, with the sqlite3 tool. This header defines the rules-store getters the tests
// steer (one test file per program includes it).
#pragma once
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "edgeserv.h"
#include "reqgate.h"
#include "reqgate_index_test_util.h"
#include "reqgate_internal.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

namespace vor::reqgate::test {

inline std::string g_disk_root;        // the disks' parent folder
inline uint32_t g_min_content = 0;     // MinDiskCacheContentSize

constexpr int kDiskA = 0;
constexpr int kDiskB = 0x1a;
constexpr uint64_t kFuture = 0x7f000000;  // an expiry far ahead

inline std::string disk_folder(int disk) { return g_disk_root + "/disk" + std::to_string(disk); }

// The bytes of a cache file: request head, response head, body.
inline std::string file_bytes(const std::string& key) {
  return "GET / HTTP/1.1\r\nHost: " + key + "\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody";
}

// An index record as the writer builds it; fields set to "-" are left out, "=" stay empty.
struct Fields {
  std::string dn;   // empty: the disk's number
  std::string pt;   // empty: the key's folder digits
  std::string cl = "4";
  std::string ep;   // empty: kFuture
};

inline std::string record_for(const std::string& key, int disk, const Fields& f) {
  char ep[32];
  std::snprintf(ep, sizeof ep, "%" PRIx64, kFuture);
  char dn[16];
  std::snprintf(dn, sizeof dn, "%x", disk);
  std::string text = "vs=371";
  auto add = [&text](const char* name, const std::string& value) {
    if (value == "=") text += std::string("&") + name + "=";
    if (value != "-" && value != "=") text += std::string("&") + name + "=" + value;
  };
  add("dn", f.dn.empty() ? dn : f.dn);
  add("pt", f.pt.empty() ? folder_digits(key) : f.pt);
  add("r1", "20");
  add("r2", "26");
  add("cl", f.cl);
  add("ep", f.ep.empty() ? ep : f.ep);
  add("cc", "0");
  text += "&up=" + path_signature(key);
  return text;
}

inline std::string name_for(const std::string& key) { return file_name(key); }

// The text of a record as stored (up to its NUL); empty when absent.
inline std::string stored_text(uint8_t kind, const std::string& key) {
  std::string text;
  return stored(kind, name_for(key), &text) ? text : std::string();
}

inline std::string ep_of(const std::string& record) {
  char value[kNumberValueSize];
  return index_value(record.c_str(), "ep", value, sizeof value, record.size() + 1) ? value : "<none>";
}

inline std::string hex(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%" PRIx64, value);
  return text;
}

// What the scans stamp: the edge server's clock less a second.
inline std::string stamp() { return hex(static_cast<uint64_t>(edgeserv_mytime()) - 1); }

inline bool scans_done() {
  return vor::test::wait_until([] { return index_scans_running() == 0; });
}

class PurgeStores : public IndexStores {
 protected:
  void SetUp() override {
    IndexStores::SetUp();
    g_disk_root = root_ + "/disks";
    g_min_content = 0;
    for (int disk : {kDiskA, kDiskB}) fs::create_directories(disk_folder(disk));
    fs::create_directories(root_ + "/plugins");
    fs::copy_file(REQGATE_PURGE_FIXTURE, root_ + "/plugins/rewrite.so");
    vor::test::write_file(root_ + "/plugins/plugins.ini", "[plugins]\nplugin-0=rewrite.so\n");
    start();
    settings().diskcache_rewrite_ext = 1;
  }
  void TearDown() override {
    EXPECT_TRUE(scans_done());
    IndexStores::TearDown();
  }

  std::string file_of(uint8_t kind, const std::string& key, int disk = kDiskA) {
    return cache_path(kind, disk_folder(disk), key);
  }
  // A cache file and its index record.
  std::string put_entry(uint8_t kind, const std::string& key, int disk = kDiskA, const Fields& f = {}) {
    const std::string path = file_of(kind, key, disk);
    make_dirs(path);
    vor::test::write_file(path, file_bytes(key));
    put_record(kind, key, disk, f);
    return path;
  }
  void put_record(uint8_t kind, const std::string& key, int disk = kDiskA, const Fields& f = {}) {
    EXPECT_TRUE(index_put(kind, name_for(key).c_str(), record_of(record_for(key, disk, f)).c_str()));
  }
  // A record read with the sqlite3 tool (the module stopped first): its text, empty when absent.
  std::string cli_text(uint8_t kind, const std::string& key) {
    const char* file = kind == kMember ? "member.idx2" : kind == kVisitor ? "visitor.idx2" : "public.idx2";
    const std::string hex_value = cli_value(file, name_for(key));
    std::string text;
    for (size_t at = 0; at + 1 < hex_value.size(); at += 2) {
      const char byte = static_cast<char>(std::strtoul(hex_value.substr(at, 2).c_str(), nullptr, 16));
      if (byte == '\0') break;
      text += byte;
    }
    return text;
  }
};

}  // namespace vor::reqgate::test

extern "C" {
uint8_t policydb_diskno_GetPath(int32_t num, char* buffer, int32_t len) {
  if (num != vor::reqgate::test::kDiskA && num != vor::reqgate::test::kDiskB) return 0;
  std::snprintf(buffer, static_cast<size_t>(len), "%s", vor::reqgate::test::disk_folder(num).c_str());
  return 1;
}
uint32_t policydb_system_get_MinDiskCacheContentSize(void) { return vor::reqgate::test::g_min_content; }
uint8_t policydb_system_get_IsDiskCache(void) { return 1; }
uint32_t policydb_system_get_DiskCacheDirectoryDepth(void) { return 2; }
}
