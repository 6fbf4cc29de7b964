// Many threads on the same connections: eight slave threads serve keep-alive clients while other
// threads write to, notice, pause, resume, close, unclose, force-close, sweep and list the same
// sids, old ones included, as the pipe and the idle sweep do. Every write is one self-describing
// record "<writer:sid:seq>", so the client can tell that each write arrived whole and in order,
// that none reached another connection, and that nothing was lost before a close.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cu_jitter.h"
#include "edge_fixture.h"
#include "edgeserv_internal.h"
#include "vor_net_test_util.h"
#include "vor_wait.h"

namespace {

using vor::test::wait_until;

constexpr int kSlaves = 8;
constexpr int kClientThreads = 8;
constexpr int kConnectionsPerClient = 12;
constexpr int kRequestsPerConnection = 25;
constexpr int kMeddlers = 4;
constexpr int kSlotWriter = 0;  // the on_read slot's records; meddlers are 1..kMeddlers

struct Shared {
  std::mutex lock;
  std::vector<int64_t> sids;             // every sid accepted, closed ones too
  std::map<int64_t, int> closes;         // on_close runs per sid
  std::map<int64_t, int> slot_seq;       // the slot's next record per sid
  std::atomic<int> accepts{0};
  std::atomic<int> notices{0};
  std::atomic<bool> clients_done{false};
  std::atomic<int> answers{0};    // slot answers the clients read
  std::atomic<int> meddled{0};    // meddler records the clients read
};

Shared& shared() {
  static Shared s;
  return s;
}

std::string record(int writer, int64_t sid, int seq) {
  char text[64];
  snprintf(text, sizeof text, "<%d:%lld:%d>", writer, static_cast<long long>(sid), seq);
  return text;
}

uint8_t on_accept(edgeserv_ctx*, int64_t sid, const char*, uint16_t) {
  std::lock_guard<std::mutex> g(shared().lock);
  shared().sids.push_back(sid);
  shared().accepts.fetch_add(1);
  return 1;
}

void on_close(edgeserv_ctx*, int64_t sid) {
  std::lock_guard<std::mutex> g(shared().lock);
  ++shared().closes[sid];
}

// The answer of each complete request: the slot's next record, from the slave thread.
uint8_t on_read(edgeserv_ctx*, int64_t sid, const char*, int32_t, const char*, int32_t) {
  client_rec* rec = edgeserv_GetClient_BySid(sid);
  if (!rec || rec->state != EDGESERV_STATE_COMPLETE) return 1;
  int seq;
  {
    std::lock_guard<std::mutex> g(shared().lock);
    seq = shared().slot_seq[sid];
  }
  const std::string r = record(kSlotWriter, sid, seq);
  if (edgeserv_WriteJitter(sid, r.data(), static_cast<int32_t>(r.size())) == 1) {
    std::lock_guard<std::mutex> g(shared().lock);
    ++shared().slot_seq[sid];
  }
  return 1;
}

submodule_desc g_server = {371, "stress", nullptr, nullptr, on_accept, on_close, on_read};

void on_notice(edgeserv_ctx*, int64_t, void*) { shared().notices.fetch_add(1); }

// One thread acting on random sids, old and new, until the clients are done.
void meddle(int writer, edgeserv_ctx* ctx, unsigned seed) {
  std::mt19937 rng(seed);
  std::map<int64_t, int> seq;  // next record per sid; -1 once a write was refused
  while (!shared().clients_done.load()) {
    int64_t sid;
    {
      std::lock_guard<std::mutex> g(shared().lock);
      if (shared().sids.empty()) {
        sid = 0;
      } else {
        // Mostly the newest connections, which are likely alive.
        const size_t n = shared().sids.size();
        const size_t back = std::min<size_t>(n - 1, rng() % 4 == 0 ? rng() % n : rng() % 16);
        sid = shared().sids[n - 1 - back];
      }
    }
    if (sid == 0) {
      std::this_thread::yield();
      continue;
    }
    const int action = static_cast<int>(rng() % 1000);
    if (action < 700) {
      int& next = seq[sid];
      if (next < 0) continue;
      const std::string r = record(writer, sid, next);
      next = edgeserv_WriteJitter(sid, r.data(), static_cast<int32_t>(r.size())) == 1 ? next + 1 : -1;
    } else if (action < 800) {
      edgeserv_AddWritableNotice(sid, on_notice, nullptr);
    } else if (action < 850) {
      edgeserv_DelWritableNotice(sid);
    } else if (action < 930) {
      edgeserv_ExportSock_ForRead(sid);
      std::this_thread::yield();
      edgeserv_ImportSock_ForRead(sid);
    } else if (action < 950) {
      edgeserv_GetWritableLen(sid);
      edgeserv_unclose(sid);
    } else if (action < 965) {
      edgeserv_close(sid, rng() % 2 ? 0 : 20);
    } else if (action < 975) {
      edgeserv_ForceClose(sid);
    } else if (action < 985) {
      edgeserv_TryFasterSafeClose(sid);
    } else if (action < 990) {
      edge::idle_sweep(ctx, edgeserv_mytime() + 1000, 1);
    } else {
      cu_jitter* list = cu_jitter_malloc();
      edgeserv_GetSockList(list);
      cu_jitter_free(list);
    }
  }
}

// What one connection received: whole records of one sid, each writer's in order from 0; a cut
// record only at the very end.
struct Stream {
  std::string bytes;
  size_t parsed = 0;
  long long sid = 0;
  std::map<int, int> next;  // writer -> next seq expected
  std::string fault;

  // Reads the complete records received so far.
  void parse() {
    while (fault.empty()) {
      if (parsed >= bytes.size()) return;
      if (bytes[parsed] != '<') {
        fault = "a record does not start where the previous one ended";
        return;
      }
      const size_t end = bytes.find('>', parsed);
      if (end == std::string::npos) return;
      int writer = -1, seq = -1;
      long long sid_now = 0;
      const std::string body = bytes.substr(parsed, end - parsed + 1);
      if (sscanf(body.c_str(), "<%d:%lld:%d>", &writer, &sid_now, &seq) != 3) {
        fault = "mixed record " + body;
        return;
      }
      if (sid == 0) sid = sid_now;
      if (sid_now != sid) fault = "a record of another connection: " + body;
      if (seq != next[writer]) fault = "out of order: " + body + " expected seq " + std::to_string(next[writer]);
      next[writer] = seq + 1;
      parsed = end + 1;
    }
  }
  int slot_answers() const {
    auto it = next.find(kSlotWriter);
    return it == next.end() ? 0 : it->second;
  }
};

// Reads into the stream until it holds the answer to request `want` or the connection ends;
// false at the end. Bounded: a connection quiet for the whole patience fails the test.
bool read_answer(int fd, Stream& s, int want) {
  while (s.fault.empty() && s.slot_answers() < want) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(vor::test::kPatience.count())) <= 0) {
      s.fault = "no answer within the patience";
      return false;
    }
    char buf[4096];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    s.bytes.append(buf, static_cast<size_t>(n));
    s.parse();
  }
  return s.fault.empty();
}

// One client thread: connections one after another, keep-alive requests one at a time.
void run_client(uint16_t port, std::vector<std::string>* faults, std::mutex* faults_lock) {
  static const char kRequest[] = "GET /x HTTP/1.1\r\nHost: a.test\r\n\r\n";
  for (int c = 0; c < kConnectionsPerClient; ++c) {
    const int fd = vor::test::connect_blocking(port);
    if (fd < 0) continue;
    Stream s;
    for (int r = 1; r <= kRequestsPerConnection; ++r) {
      if (send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) <= 0) break;
      if (!read_answer(fd, s, r)) break;
    }
    shutdown(fd, SHUT_WR);
    // Whatever else was written before the connection ends is checked too.
    char buf[4096];
    for (ssize_t n; s.fault.empty() && (n = recv(fd, buf, sizeof buf, 0)) > 0;) {
      s.bytes.append(buf, static_cast<size_t>(n));
      s.parse();
    }
    close(fd);
    for (const auto& [writer, n] : s.next) (writer == kSlotWriter ? shared().answers : shared().meddled).fetch_add(n);
    if (!s.fault.empty()) {
      std::lock_guard<std::mutex> g(*faults_lock);
      faults->push_back(s.fault);
    }
  }
}

int open_descriptors() {
  int n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

TEST(Stress, SlavesAndOtherThreadsOnTheSameSidsKeepEveryStreamWholeAndCloseOnce) {
  edge::test::Edge edge({&g_server}, edge::Settings{}, kSlaves);
  const int descriptors_before = open_descriptors();
  const uint64_t bytes_pool_before = cu_xmem_used_space_size(edge::xjitter_pool());
  const uint64_t arenas_before = cu_xmem_used_space_size(edge::struct_pool());

  std::vector<std::thread> meddlers;
  for (int m = 1; m <= kMeddlers; ++m) meddlers.emplace_back(meddle, m, edge.ctx(), 7919u * m);
  std::vector<std::string> faults;
  std::mutex faults_lock;
  std::vector<std::thread> clients;
  for (int c = 0; c < kClientThreads; ++c) clients.emplace_back(run_client, edge.port(), &faults, &faults_lock);
  for (auto& t : clients) t.join();
  shared().clients_done = true;
  for (auto& t : meddlers) t.join();

  for (const std::string& f : faults) ADD_FAILURE() << f;
  printf("connections %d, answers read %d, other writers' records read %d, notices %d\n", shared().accepts.load(),
         shared().answers.load(), shared().meddled.load(), shared().notices.load());
  EXPECT_TRUE(wait_until([] { return edgeserv_GetNumOfConnections() == 0; }));
  EXPECT_TRUE(wait_until([&] {
    std::lock_guard<std::mutex> g(shared().lock);
    return static_cast<int>(shared().closes.size()) == shared().accepts.load();
  }));
  {
    std::lock_guard<std::mutex> g(shared().lock);
    EXPECT_GT(shared().accepts.load(), kClientThreads * kConnectionsPerClient / 2);
    for (const auto& [sid, n] : shared().closes) EXPECT_EQ(n, 1) << "on_close runs of sid " << sid;
  }
  EXPECT_TRUE(wait_until([&] { return open_descriptors() == descriptors_before; }));
  EXPECT_TRUE(wait_until([&] { return cu_xmem_used_space_size(edge::xjitter_pool()) == bytes_pool_before; }));
  EXPECT_TRUE(wait_until([&] { return cu_xmem_used_space_size(edge::struct_pool()) == arenas_before; }));
}

}  // namespace
