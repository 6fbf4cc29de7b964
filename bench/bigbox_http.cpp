// bigbox_http PORT SLAVES: a keep-alive HTTP responder on a bigbox, listening on 127.0.0.1:PORT
// only, to measure the event core with a real HTTP load generator. Every complete request head
// (ending in an empty line) is answered with a fixed 200 "ok". Ends on SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "vor_bigbox.h"
#include "vor_setup.h"

namespace {

constexpr char kResponse[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
constexpr size_t kResponseLen = sizeof kResponse - 1;
constexpr char kHeadEnd[] = "\r\n\r\n";

struct Conn {
  int matched = 0;      // bytes of "\r\n\r\n" seen at the end of the data so far
  std::string pending;  // response bytes the socket did not take yet
  bool notified = false;  // write-ready notices asked for
};

// A connection's callbacks all run on its slave's thread: per-thread state needs no lock.
thread_local std::unordered_map<int64_t, Conn> t_conns;

void drop(vor_bigbox* bb, int64_t sid) {
  t_conns.erase(sid);
  vor_bigbox_DeleteSock(bb, sid);
}

// Writes what is pending; asks for a write-ready notice while anything is left.
void flush(vor_bigbox* bb, int64_t sid, Conn& c);

void on_writable(vor_bigbox* bb, void*, int64_t sid) {
  auto it = t_conns.find(sid);
  if (it != t_conns.end()) flush(bb, sid, it->second);
}

void flush(vor_bigbox* bb, int64_t sid, Conn& c) {
  int32_t n = vor_bigbox_write(bb, sid, c.pending.data(), static_cast<int32_t>(c.pending.size()));
  if (n < 0) return drop(bb, sid);
  c.pending.erase(0, static_cast<size_t>(n));
  bool want = !c.pending.empty();
  if (want == c.notified) return;
  c.notified = want;
  if (want) {
    vorx_bigbox_import_ForWrite(bb, sid, on_writable, nullptr);
  } else {
    vorx_bigbox_export_ForWrite(bb, sid);
  }
}

void on_read(vor_bigbox* bb, void*, int64_t sid, const char* data, int32_t len) {
  Conn& c = t_conns[sid];
  int heads = 0;
  for (int32_t i = 0; i < len; ++i) {
    if (data[i] == kHeadEnd[c.matched]) {
      if (++c.matched == 4) {
        ++heads;
        c.matched = 0;
      }
    } else {
      c.matched = data[i] == '\r' ? 1 : 0;
    }
  }
  if (heads == 0) return;
  bool idle = c.pending.empty();
  for (int i = 0; i < heads; ++i) c.pending.append(kResponse, kResponseLen);
  if (idle) flush(bb, sid, c);
}

void on_close(vor_bigbox* bb, void*, int64_t sid) { drop(bb, sid); }

void on_accept(vor_bigbox* bb, void*, int64_t, int64_t sid, const char* ip, uint16_t port) {
  if (!vor_bigbox_accept(bb, sid, ip, port, on_read, nullptr, on_close, nullptr)) vor_bigbox_DeleteSock(bb, sid);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s PORT SLAVES\n", argv[0]);
    return 2;
  }
  int port = atoi(argv[1]);
  int slaves = atoi(argv[2]);
  if (port <= 0 || port > 65535 || slaves <= 0) {
    fprintf(stderr, "bad PORT or SLAVES\n");
    return 2;
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before any thread starts: they inherit it
  vor_Setup();
  vor_bigbox* bb = vor_bigbox_make(slaves, 0);
  if (!bb) {
    fprintf(stderr, "bigbox cannot be made\n");
    return 1;
  }
  if (vor_bigbox_attach(bb, "127.0.0.1", static_cast<uint16_t>(port), on_accept, nullptr) <= 0) {
    fprintf(stderr, "cannot listen on 127.0.0.1:%d\n", port);
    vor_bigbox_free(bb);
    return 1;
  }
  printf("listening on 127.0.0.1:%d with %d slaves\n", port, slaves);
  fflush(stdout);
  int sig = 0;
  sigwait(&stop, &sig);
  vor_bigbox_free(bb);
  return 0;
}
