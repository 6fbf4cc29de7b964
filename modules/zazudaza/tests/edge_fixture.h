// The edge server in one test process: its context over a bigbox with listeners on a free
// loopback port, and stand-alone client records that no socket backs, whose output stays queued
// (their sends fail and no write interest can be set), so queue rules can be read off exactly.
#pragma once
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "edgeserv_internal.h"
#include "vor_afile.h"
#include "vor_net_test_util.h"
#include "vor_setup.h"

namespace edge::test {

class Edge {
 public:
  explicit Edge(std::vector<submodule_desc*> subs, edge::Settings settings = {}, int slaves = 2)
      : port_(vor::test::free_port()) {
    vor_Setup();
    vor_afile_setupx(2, 1);
    daemon_.lock = cu_sem_malloc();
    daemon_.config = cu_config_make1(("[system]\r\nproxy_port=127.0.0.1:" + std::to_string(port_) + "\r\n").c_str());
    daemon_.bigbox = vor_bigbox_make(slaves, 100000);
    ctx_.daemon = &daemon_;
    ctx_.lock = cu_sem_malloc();
    ctx_.names = cu_stree_malloc();
    for (submodule_desc* s : subs) cu_list_append_s(&ctx_.submodules, s);
    edge::make_pools(nullptr);
    edge::set_context(&ctx_);
    edge::apply_settings(settings);
    edge::attach_listeners(&ctx_);
  }
  ~Edge() {
    vor_bigbox_free(daemon_.bigbox);
    edge::set_context(nullptr);
    edge::reset_write_hooks();
  }

  uint16_t port() const { return port_; }
  edgeserv_ctx* ctx() { return &ctx_; }
  vor_bigbox* bigbox() { return daemon_.bigbox; }

 private:
  uint16_t port_;
  daemon_ctx daemon_{};
  edgeserv_ctx ctx_{};
};

// A client record in its own arena (pages x 1 MB) over an accepted connection whose socket is
// full and never drained: every write would block, so all output stays queued and the pump never
// runs, yet the sid has a slave box for timers and interest.
class DetachedClient {
 public:
  DetachedClient(edgeserv_ctx* ctx, uint64_t pages = 4) : ctx_(ctx) {
    vor_bigbox* bb = ctx->daemon->bigbox;
    const uint16_t port = vor::test::free_port();
    const int64_t listener = vor_bigbox_attach(bb, "127.0.0.1", port, on_accept, &accepted_);
    peer_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    setsockopt(peer_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const sockaddr_in to = vor::test::loopback(port);
    connect(peer_, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    for (int i = 0; i < 4000 && accepted_.load() == 0; ++i) usleep(5000);
    vor_bigbox_DeleteSock(bb, listener);
    sid_ = accepted_.load();
    block_every_write();
    arena_ = cu_xmem_init_ext(nullptr, 1ull << 20, pages, 0, nullptr, nullptr, nullptr);
    rec_ = static_cast<client_rec*>(cu_xmem_malloc(arena_, sizeof(client_rec) + 64));
    memset(rec_, 0, sizeof(client_rec) + 64);
    rec_->sid = sid_;
    rec_->arena = arena_;
    rec_->queue = edge::queue_make(arena_);
    edge::insert_client(rec_);
  }
  // A full loopback TCP socket can still free room later (late acknowledgements, window probes
  // after the kernel compacts the far end's queue), so the accepted descriptor is swapped for
  // one end of a local socket pair filled to the brim: its far end never reads, so it stays full.
  void block_every_write() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) return;
    char fill[4096] = {};
    while (write(pair[0], fill, sizeof fill) > 0) {
    }
    const int fd = accepted_fd();
    if (fd >= 0) dup2(pair[0], fd);
    close(pair[0]);
    far_end_ = pair[1];
  }
  // The descriptor this process accepted for the peer: the socket whose far end is the peer.
  int accepted_fd() const {
    sockaddr_storage mine{}, far{};
    socklen_t len = sizeof mine;
    if (getsockname(peer_, reinterpret_cast<sockaddr*>(&mine), &len) != 0) return -1;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      const int fd = std::stoi(entry.path().filename().string());
      socklen_t far_len = sizeof far;
      if (fd == peer_ || getpeername(fd, reinterpret_cast<sockaddr*>(&far), &far_len) != 0) continue;
      if (far_len == len && memcmp(&far, &mine, len) == 0) return fd;
    }
    return -1;
  }
  ~DetachedClient() {
    bool freed_here = false;
    {
      ClientLock lock(ctx_, sid_);
      // A force close may have ended the record already, arena and socket with it.
      if (lock.rec() == rec_) {
        edge::remove_client(lock);
        edge::client_free(ctx_, rec_);
        freed_here = true;
      }
    }
    if (!freed_here) vor_bigbox_DeleteSock(ctx_->daemon->bigbox, sid_);
    close(peer_);
    close(far_end_);
  }
  int64_t sid() const { return sid_; }
  client_rec* rec() { return rec_; }
  uint64_t arena_used() { return cu_xmem_used_space_size(arena_); }
  bool gone() {
    return ClientLock(ctx_, sid_).rec() == nullptr;
  }

 private:
  edgeserv_ctx* ctx_;
  static void on_accept(vor_bigbox* bb, void* ud, int64_t, int64_t sid, const char* ip, uint16_t port) {
    vor_bigbox_accept_WithPause(bb, sid, ip, port, [](vor_bigbox*, void*, int64_t, const char*, int32_t) {}, nullptr,
                                [](vor_bigbox*, void*, int64_t) {}, nullptr);
    static_cast<std::atomic<int64_t>*>(ud)->store(sid);
  }
  std::atomic<int64_t> accepted_{0};
  int64_t sid_ = -1;
  int peer_ = -1;
  int far_end_ = -1;
  cu_xmem* arena_;
  client_rec* rec_;
};

}  // namespace edge::test
