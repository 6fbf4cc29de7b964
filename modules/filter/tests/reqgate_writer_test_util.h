// The cache writers' tests: the module started in a temporary runtime tree over a bigbox of four
// slave threads (one loopback connection pins each), file workers, two cache disks as folders,
// code run on a chosen slave thread, and readers of what a finished writer left behind.
#pragma once
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <future>
#include <set>
#include <string>
#include <vector>

#include "cu_daemon.h"
#include "edgeserv.h"
#include "http_parser.h"
#include "reqgate_index_test_util.h"
#include "seams.h"
#include "vor_afile.h"
#include "vor_bigbox.h"
#include "vor_net_test_util.h"
#include "vor_wait.h"

namespace vor::reqgate::test {

inline std::string g_disk_root;  // disk n is the folder <root>/d<n>; disks 0 to 3 are known
inline uint32_t g_share_least = 2097152;
inline uint32_t g_max_open = 5000;

inline bool disk_folder(uint32_t disk, char* path, size_t size) {
  if (disk > 3 || g_disk_root.empty()) return false;
  snprintf(path, size, "%s/d%u", g_disk_root.c_str(), disk);
  return true;
}

class Writers : public IndexStores {
 protected:
  void SetUp() override {
    IndexStores::SetUp();
    static const bool workers = (vor_afile_setupx(2, 1), true);
    (void)workers;
    g_disk_root = root_ + "/disks";
    g_share_least = 2097152;
    g_max_open = 5000;
    saved_calls_ = seams::disk_calls();
    seams::disk_calls().disk_path = disk_folder;
    saved_files_ = file_calls();
    daemon_.bigbox = vor_bigbox_make(4, 1000);
    ctx_.daemon = &daemon_;
    start();
    pin_slave_boxes();
    baseline_fnnodes_ = edgeserv_fnnodes();
  }
  void TearDown() override {
    for (int fd : peers_) close(fd);
    for (int64_t sid : sids_) vor_bigbox_DeleteSock(daemon_.bigbox, sid);
    if (running_) stop();
    vor_bigbox_free(daemon_.bigbox);
    seams::disk_calls() = saved_calls_;
    file_calls() = saved_files_;
    IndexStores::TearDown();
  }

  // Runs fn on the thread of slave box n and waits for it.
  template <class Fn>
  auto on_box(int n, Fn fn) -> decltype(fn()) {
    using Result = decltype(fn());
    auto task = std::make_shared<std::packaged_task<Result()>>(fn);
    auto done = task->get_future();
    auto* call = new std::function<void()>([task] { (*task)(); });
    vor_box_NewOnceTimer(boxes_[static_cast<size_t>(n)], 1, run_call, call);
    return done.get();
  }
  // Every queued operation has ended: no writer left and the registry back where it was (but
  // for files the test holds open).
  void quiesce(int32_t held_open = 0) {
    ASSERT_TRUE(vor::test::wait_until(
        [&] { return writer_count() == 0 && edgeserv_fnnodes() == baseline_fnnodes_ + held_open; }));
  }

  std::string disk(uint32_t n) const { return g_disk_root + "/d" + std::to_string(n); }
  static std::string path_of(uint8_t kind, uint32_t disk_no, const std::string& key) {
    char folder[512];
    disk_folder(disk_no, folder, sizeof folder);
    return cache_path(kind, folder, key);
  }

  std::vector<vor_box*> boxes_;

 private:
  static void run_call(void*, void* ud, int32_t, int32_t) {
    auto* call = static_cast<std::function<void()>*>(ud);
    (*call)();
    delete call;
  }
  static void on_accept(vor_bigbox* bb, void* ud, int64_t, int64_t sid, const char* ip, uint16_t port) {
    auto* self = static_cast<Writers*>(ud);
    vor_bigbox_accept(bb, sid, ip, port, [](vor_bigbox*, void*, int64_t, const char*, int32_t) {}, nullptr,
                      [](vor_bigbox*, void*, int64_t) {}, nullptr);
    std::lock_guard<std::mutex> hold(self->accepted_lock_);
    self->sids_.push_back(sid);
  }
  // Connections are placed on the least-loaded slave: four of them pin the four slave threads.
  void pin_slave_boxes() {
    const uint16_t port = vor::test::free_port();
    const int64_t listener = vor_bigbox_attach(daemon_.bigbox, "127.0.0.1", port, on_accept, this);
    for (int i = 0; i < 4; ++i) peers_.push_back(vor::test::connect_blocking(port));
    ASSERT_TRUE(vor::test::wait_until([&] {
      std::lock_guard<std::mutex> hold(accepted_lock_);
      return sids_.size() == 4;
    }));
    vor_bigbox_DeleteSock(daemon_.bigbox, listener);
    std::set<vor_box*> seen;
    for (int64_t sid : sids_) {
      vor_box* box = vor_bigbox_GetSlaveBox(daemon_.bigbox, sid);
      if (seen.insert(box).second) boxes_.push_back(box);
    }
    ASSERT_EQ(boxes_.size(), 4u);
  }

  daemon_ctx daemon_{};
  seams::DiskCalls saved_calls_{};
  FileCalls saved_files_{};
  std::mutex accepted_lock_;
  std::vector<int64_t> sids_;
  std::vector<int> peers_;
  int32_t baseline_fnnodes_ = 0;
};

}  // namespace vor::reqgate::test

extern "C" {
uint32_t policydb_system_get_MinSizeForRSCPByDiskCache(void) { return vor::reqgate::test::g_share_least; }
uint32_t policydb_system_get_MaxOpenedFilesByDiskCache(void) { return vor::reqgate::test::g_max_open; }
}
