// Helpers of the upstream-connection tests: python origins on 127.0.0.1, a real bigbox with a
// way to run code on its slave threads, and a recorder of one connection's callbacks.
#pragma once
#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "replier.h"
#include "vor_bigbox.h"
#include "vor_child_process.h"
#include "vor_net_test_util.h"
#include "vor_wait.h"

namespace replier_test {

// tests/origin.py MODE as a child process on 127.0.0.1; it ends when its stdin closes.
class Origin {
 public:
  explicit Origin(const std::string& mode)
      : child_({"python3", std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/')) + "/origin.py", mode}) {
    std::string line;
    if (child_.running() && child_.read_line(&line)) port_ = static_cast<uint16_t>(atoi(line.c_str()));
  }
  uint16_t port() const { return port_; }
  bool read_line(std::string* line) { return child_.read_line(line); }

 private:
  vor::test::ChildProcess child_;
  uint16_t port_ = 0;
};

inline void run_function(vor_box*, const char*, void* a1, void* a2, void*, void*, void*, void*, void*, void*) {
  (*static_cast<std::function<void()>*>(a1))();
  static_cast<std::promise<void>*>(a2)->set_value();
}

inline void ignore_read(vor_bigbox*, void*, int64_t, const char*, int32_t) {}
inline void ignore_close(vor_bigbox*, void*, int64_t) {}

// A bigbox with its slave threads, each holding one accepted connection so that the tests can
// find its box and run code there, as the pipe runs on its client's slave.
class Bigbox {
 public:
  explicit Bigbox(int threads) {
    bb_ = vor_bigbox_make(threads, 0);
    if (!bb_) return;
    uint16_t port = vor::test::free_port();
    if (vor_bigbox_attach(bb_, "127.0.0.1", port, on_accept, this) <= 0) return;
    for (int i = 0; i < threads; ++i) {
      clients_.push_back(vor::test::connect_blocking(port));
      // Placed on the least-loaded slave, one each, as long as each is recorded before the next.
      vor::test::wait_until([&] { return vor_bigbox_nnodes(bb_) == i + 1; });
    }
    std::lock_guard<std::mutex> g(mu_);
    for (int64_t sid : accepted_) slaves_.push_back(vor_bigbox_GetSlaveBox(bb_, sid));
  }
  ~Bigbox() {
    vor_bigbox_free(bb_);
    for (int fd : clients_) close(fd);
  }
  Bigbox(const Bigbox&) = delete;
  Bigbox& operator=(const Bigbox&) = delete;

  vor_bigbox* get() const { return bb_; }
  size_t slaves() const { return slaves_.size(); }
  bool ready() const { return bb_ && !slaves_.empty() && slaves_.back(); }

  // Runs fn on slave i's thread and waits for it.
  void on_slave(const std::function<void()>& fn, size_t i = 0) {
    std::function<void()> copy = fn;
    std::promise<void> done;
    auto f = done.get_future();
    if (vor_box_AddInEvent(slaves_.at(i), nullptr, run_function, &copy, &done, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr))
      f.wait();
  }

 private:
  static void on_accept(vor_bigbox* bb, void* ud, int64_t, int64_t sid, const char* ip, uint16_t port) {
    auto* self = static_cast<Bigbox*>(ud);
    if (!vor_bigbox_accept(bb, sid, ip, port, ignore_read, nullptr, ignore_close, nullptr)) return;
    std::lock_guard<std::mutex> g(self->mu_);
    self->accepted_.push_back(sid);
  }

  vor_bigbox* bb_ = nullptr;
  std::mutex mu_;
  std::vector<int64_t> accepted_;
  std::vector<vor_box*> slaves_;
  std::vector<int> clients_;
};

// Everything one connection's callbacks did; the test thread reads it under mu.
struct Events {
  std::mutex mu;
  vor_bigbox* bb = nullptr;
  int64_t id = 0;
  int connected = 0, failed = 0, closed = 0, notices = 0;
  int off_slave = 0;          // callbacks off the bigbox's slave threads
  int after_end = 0;          // callbacks after on-failed, on-closed or our close
  int data_while_paused = 0;
  int notice_with_bytes = 0;  // notices while bytes still waited
  int32_t connect_args = 0;   // a + b of on-connected
  bool paused = false;        // set by the test on the slave thread
  bool ended = false;
  std::string data;

  void note(bool ends = false) {
    if (!vor_bigbox_InvokeSlaveBox(bb)) ++off_slave;
    if (ended) ++after_end;
    if (ends) ended = true;
  }
  // Marks the connection closed by the test: nothing may follow.
  void end() {
    std::lock_guard<std::mutex> g(mu);
    ended = true;
  }
  template <typename T>
  T read(T Events::*field) {
    std::lock_guard<std::mutex> g(mu);
    return this->*field;
  }
};

inline void ev_connected(void* ud, int64_t id, int32_t a, int32_t b) {
  auto* e = static_cast<Events*>(ud);
  std::lock_guard<std::mutex> g(e->mu);
  e->note();
  e->id = id;
  e->connect_args = a + b;
  ++e->connected;
}
inline void ev_failed(void* ud, int64_t) {
  auto* e = static_cast<Events*>(ud);
  std::lock_guard<std::mutex> g(e->mu);
  e->note(true);
  ++e->failed;
}
inline void ev_data(void* ud, int64_t, char* data, int32_t len) {
  auto* e = static_cast<Events*>(ud);
  std::lock_guard<std::mutex> g(e->mu);
  e->note();
  if (e->paused) ++e->data_while_paused;
  data[32767] = '\0';  // the block holds 32,768 writable bytes (ASan checks)
  e->data.append(data, static_cast<size_t>(len));
}
inline void ev_closed(void* ud, int64_t) {
  auto* e = static_cast<Events*>(ud);
  std::lock_guard<std::mutex> g(e->mu);
  e->note(true);
  ++e->closed;
}
inline void ev_notice(void* ud, int64_t id) {
  auto* e = static_cast<Events*>(ud);
  std::lock_guard<std::mutex> g(e->mu);
  e->note();
  if (replier_GetWritableLen(id) != 0) ++e->notice_with_bytes;
  ++e->notices;
}

// STEP1 and STEP2 on slave i: the id, or 0 when either step failed.
inline int64_t open_upstream(Bigbox& box, Events* ev, uint16_t port, const char* local_ip = nullptr, size_t i = 0,
                             const std::string& first_bytes = "") {
  ev->bb = box.get();
  int64_t id = 0;
  box.on_slave(
      [&] {
        cu_client* handle = nullptr;
        if (replier_make_STEP1_ext(local_ip, 0, "127.0.0.1", port, &handle) <= 0 || !handle) return;
        id = replier_make_STEP2(box.get(), handle, ev_connected, ev, ev_failed, ev, ev_data, ev, ev_closed, ev);
        if (id > 0 && !first_bytes.empty()) replier_write(id, first_bytes.data(), static_cast<int32_t>(first_bytes.size()));
      },
      i);
  return id;
}

// Open descriptors of this process.
inline int open_fds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

}  // namespace replier_test
