// Many threads on the pipe at once, as the slave threads, the request filter and the drain
// notices use it: pipes built, reused, replaced, failed over, closed by the upstream and by the
// client, while other threads write through them, ask about them and fire their notices.
// The upstream connection layer, the edge server and the request filter are thread-safe fakes
// defined here (the program's definitions take the place of the libraries'). Every byte stream
// is checked to carry each writer's chunks whole and in order; at the end every pipe was freed
// once, every upstream connection the pipe opened was closed, and the pools are back where they
// started.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "conduit.h"
#include "cu_config.h"
#include "cu_malloc.h"
#include "cu_ssl.h"
#include "edgeserv.h"
#include "http_parser.h"
#include "nameres.h"
#include "policydb.h"
#include "reqgate.h"
#include "replier.h"
#include "vor_bigbox.h"
#include "vor_test_identity.h"

namespace {

struct Upstream {
  std::string wire;  // every byte written, in order
  bool ended = false;  // replier_close or replier_WaitingForClose
};

struct World {
  std::mutex lock;
  std::map<int64_t, Upstream> upstreams;
  std::map<int64_t, std::string> client_bytes;
  std::set<int64_t> tls_clients;  // fixed before the threads start
  std::atomic<int64_t> next_id{1000000};
  std::atomic<replier_connected_fn> on_connected{nullptr};
  std::atomic<replier_sock_fn> on_failed{nullptr};
  std::atomic<replier_data_fn> on_data{nullptr};
  std::atomic<replier_sock_fn> on_closed{nullptr};
  std::atomic<replier_sock_fn> upstream_notice{nullptr};
  std::atomic<edgeserv_writable_fn> client_notice{nullptr};
  std::atomic<uint32_t> backlog_tick{0};
  std::atomic<int64_t> stat_adds{0};
  std::atomic<int64_t> stat_dels{0};
  cu_ssl_ctx* client_ctx = nullptr;
  client_rec* client = nullptr;
};
World w;
thread_local int64_t t_last_made = 0;  // the upstream this thread opened last

// Every 16th look at a queue finds it long, so pauses and their notices happen throughout.
bool long_queue() { return w.backlog_tick.fetch_add(1, std::memory_order_relaxed) % 16 == 0; }

}  // namespace

// ---- the fakes ---------------------------------------------------------------------------

extern "C" {

int64_t replier_make_STEP1_ext(const char*, uint16_t, const char*, uint16_t, cu_client** handle) {
  *handle = reinterpret_cast<cu_client*>(0x1);
  return 1;
}
int64_t replier_make_STEP2(vor_bigbox*, cu_client*, replier_connected_fn connected, void*, replier_sock_fn failed,
                           void*, replier_data_fn data, void*, replier_sock_fn closed, void*) {
  w.on_connected = connected;
  w.on_failed = failed;
  w.on_data = data;
  w.on_closed = closed;
  const int64_t id = ++w.next_id;
  t_last_made = id;
  std::lock_guard<std::mutex> hold(w.lock);
  w.upstreams[id] = Upstream{};
  return id;
}
int32_t replier_write(int64_t id, const void* data, int32_t len) {
  std::lock_guard<std::mutex> hold(w.lock);
  const auto it = w.upstreams.find(id);
  if (it == w.upstreams.end()) return -1;
  if (len > 0) it->second.wire.append(static_cast<const char*>(data), static_cast<size_t>(len));
  return len;
}
int64_t replier_GetWritableLen(int64_t) { return long_queue() ? 0x10000 : 0; }
bool replier_AddWritableNotice(int64_t, replier_sock_fn fn, void*) {
  w.upstream_notice = fn;
  return true;
}
bool replier_DelWritableNotice(int64_t) { return true; }
bool replier_ImportSock_ForRead(int64_t) { return true; }
bool replier_ExportSock_ForRead(int64_t) { return true; }
bool replier_ImportSock_ForWrite(int64_t) { return true; }
bool replier_JitterMove(int64_t, int64_t) { return true; }
void replier_WaitingForClose(int64_t id) {
  std::lock_guard<std::mutex> hold(w.lock);
  w.upstreams[id].ended = true;
}
void replier_close(int64_t id) {
  std::lock_guard<std::mutex> hold(w.lock);
  w.upstreams[id].ended = true;
}

void edgeserv_return502(int64_t, const char*, const char*) {}
void edgeserv_return503(int64_t, const char*, const char*) {}
void edgeserv_close(int64_t, uint32_t) {}
client_rec* edgeserv_GetClient_BySid(int64_t) { return w.client; }
edgeserv_ctx* edgeserv_GetHandle(void) { return nullptr; }
uint8_t edgeserv_WriteJitter(int64_t sid, const char* data, int32_t len) {
  std::lock_guard<std::mutex> hold(w.lock);
  w.client_bytes[sid].append(data, static_cast<size_t>(len));
  return 1;
}
uint32_t edgeserv_GetWritableLen(int64_t) { return long_queue() ? 0x40000 : 0; }
void edgeserv_AddWritableNotice(int64_t, edgeserv_writable_fn fn, void*) { w.client_notice = fn; }
void edgeserv_DelWritableNotice(int64_t) {}
void edgeserv_ImportSock_ForWrite(int64_t) {}
void edgeserv_ImportSock_ForRead(int64_t) {}
void edgeserv_ExportSock_ForRead(int64_t) {}

// As the request filter does: the response bytes go to the client through the pipe's writer.
uint8_t reqgate_ResponseInput_v3(int64_t sid, const char* data, uint32_t len, reqgate_writer to_client,
                                 reqgate_writer) {
  const int64_t client = conduit_GetAnotherSid(sid);
  if (client != 0) to_client(client, data, len);
  return 1;
}
void reqgate_OnResponseClose(int64_t) {}
uint8_t reqgate_DropResponse(int64_t) { return 1; }

uint8_t policydb_system_get_IsUsedPageViewStat(void) { return 1; }
uint32_t policydb_system_get_MaxUpstreamConnections(void) { return 1000000; }
uint8_t policydb_system_get_UseExpiredCacheWhenUpstreamIsFail(void) { return 0; }
uint32_t policydb_system_get_MaxClientSendBuffer(void) { return 32768; }
uint32_t policydb_system_get_MaxClientRecvBuffer(void) { return 8192; }
uint8_t policydb_proxy_stat_SynUpstreamConnectionAdd(uint32_t, uint32_t) {
  ++w.stat_adds;
  return 1;
}
uint8_t policydb_proxy_stat_SynUpstreamConnectionDel(uint32_t, uint32_t) {
  ++w.stat_dels;
  return 1;
}
void policydb_upstream_down_checking(uint32_t, uint32_t, uint8_t) {}
uint8_t policydb_upstream_ssl_NeedSSL(int64_t client, uint32_t, uint32_t) { return w.tls_clients.count(client); }
cu_ssl_conn* policydb_upstream_ssl_ConnNew(int64_t client, uint32_t, uint32_t) {
  if (!w.tls_clients.count(client)) return nullptr;
  cu_ssl_conn_simple settings{w.client_ctx, nullptr};
  return cu_ssl_conn_simple_make(&settings);
}
void policydb_upstream_ssl_ConnFree(cu_ssl_conn* conn) {
  if (!conn) return;
  cu_ssl_conn_destroy(conn);
  _cu_free(conn, __FILE__, __LINE__);
}
void policydb_upstream_ssl_SetSession(cu_ssl_conn*, uint32_t, uint32_t) {}
void policydb_upstream_ssl_SaveSession(cu_ssl_conn*, uint32_t, uint32_t) {}

bool wc_gethostbyname(const char* name, char* ip) {
  std::strcpy(ip, std::strcmp(name, "origin") == 0 ? "10.0.0.7" : "10.0.0.8");
  return true;
}
bool nameres_HitAnyCache(const char* name, char* ip) { return wc_gethostbyname(name, ip); }
vor_box* vor_bigbox_InvokeSlaveBox(vor_bigbox*) { return reinterpret_cast<vor_box*>(0x1); }

}  // extern "C"

namespace {

vor_bigbox* const kBigbox = reinterpret_cast<vor_bigbox*>(0x1);
constexpr uint32_t kIds = 7;

// A chunk "<source:seq:payload>": a reader of the stream can tell a cut or mixed chunk.
std::string chunk(int source, int64_t seq) {
  const size_t n = static_cast<size_t>(seq % 97);
  return "<" + std::to_string(source) + ":" + std::to_string(seq) + ":" + std::string(n, 'a' + source % 26) + ">";
}

// The seqs of each source in the stream; a failure when a chunk is cut, mixed or out of order.
std::map<int, std::vector<int64_t>> read_chunks(const std::string& stream, const std::string& name) {
  std::map<int, std::vector<int64_t>> seqs;
  size_t at = 0;
  while (at < stream.size()) {
    const size_t end = stream.find('>', at);
    int source = -1;
    long long seq = -1;
    if (stream[at] != '<' || end == std::string::npos ||
        std::sscanf(stream.c_str() + at, "<%d:%lld:", &source, &seq) != 2) {
      ADD_FAILURE() << name << ": no whole chunk at " << at;
      return seqs;
    }
    if (stream.compare(at, end - at + 1, chunk(source, seq)) != 0) {
      ADD_FAILURE() << name << ": chunk cut or mixed at " << at;
      return seqs;
    }
    auto& list = seqs[source];
    EXPECT_TRUE(list.empty() || list.back() < seq) << name << ": source " << source << " out of order";
    list.push_back(seq);
    at = end + 1;
  }
  return seqs;
}

std::string wire_of(int64_t id) {
  std::lock_guard<std::mutex> hold(w.lock);
  return w.upstreams[id].wire;
}

std::string bytes_of(int64_t client) {
  std::lock_guard<std::mutex> hold(w.lock);
  return w.client_bytes[client];
}

void deliver(int64_t up, const std::string& bytes) {
  for (size_t at = 0; at < bytes.size(); at += 32768) {
    std::string block = bytes.substr(at, 32768);
    const auto len = static_cast<int32_t>(block.size());
    block.resize(32768);
    w.on_data.load()(nullptr, up, block.data(), len);
  }
}

int64_t build(int64_t client, const char* host) { return conduit_BuildResponseSid_v2(kBigbox, host, client, kIds, kIds); }

cu_ssl_ctx* client_context() {
  static cu_ssl_ctx holder{};
  if (!holder.ctx) {
    cu_ssl_init();
    cu_ssl_ctx_init(&holder, 56);
  }
  return &holder;
}

// The origin's end of a TLS pipe: an OpenSSL server over memory BIOs, used by one thread at a
// time.
class TlsOrigin {
 public:
  TlsOrigin() {
    ctx_ = SSL_CTX_new(TLS_server_method());
    const vor::test::TestIdentity identity("origin");
    SSL_CTX_use_certificate(ctx_, identity.cert());
    SSL_CTX_use_PrivateKey(ctx_, identity.key());
  }
  ~TlsOrigin() {
    if (ssl_) SSL_free(ssl_);
    SSL_CTX_free(ctx_);
  }
  TlsOrigin(const TlsOrigin&) = delete;
  TlsOrigin& operator=(const TlsOrigin&) = delete;

  // Connects the pipe's upstream and makes the handshake.
  void handshake(int64_t up) {
    up_ = up;
    ssl_ = SSL_new(ctx_);
    SSL_set_bio(ssl_, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_accept_state(ssl_);
    w.on_connected.load()(nullptr, up, 0, 0);
    for (int round = 0; round < 20; ++round) {
      take_wire();
      char scratch[256];
      SSL_read(ssl_, scratch, sizeof scratch);
      if (!flush()) break;
    }
    ASSERT_TRUE(SSL_is_init_finished(ssl_));
  }
  // Sends plain bytes as the origin's answer.
  void send(const std::string& plain) {
    SSL_write(ssl_, plain.data(), static_cast<int>(plain.size()));
    flush();
  }
  // Everything the pipe sent since the handshake, decrypted.
  std::string received() {
    take_wire();
    std::string plain;
    char buf[16384];
    for (int n; (n = SSL_read(ssl_, buf, sizeof buf)) > 0;) plain.append(buf, static_cast<size_t>(n));
    return plain;
  }

 private:
  void take_wire() {
    const std::string wire = wire_of(up_);
    if (wire.size() > taken_) BIO_write(SSL_get_rbio(ssl_), wire.data() + taken_, static_cast<int>(wire.size() - taken_));
    taken_ = wire.size();
  }
  bool flush() {
    std::string bytes;
    char buf[16384];
    for (int n; (n = BIO_read(SSL_get_wbio(ssl_), buf, sizeof buf)) > 0;) bytes.append(buf, static_cast<size_t>(n));
    if (bytes.empty()) return false;
    deliver(up_, bytes);
    return true;
  }

  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  int64_t up_ = 0;
  size_t taken_ = 0;
};

class PipeStress : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static edgeserv_ctx ctx{};
    ctx.config = cu_config_make1("[system]\ndisplay_console=0\n");  // no console line per retry
    conduit_module_init(&ctx);
    w.client_ctx = client_context();
  }
  void SetUp() override {
    {
      std::lock_guard<std::mutex> hold(w.lock);
      w.upstreams.clear();
      w.client_bytes.clear();
    }
    baseline_ = conduit_GetCacheSize();
    adds_ = w.stat_adds;
    dels_ = w.stat_dels;
    first_id_ = w.next_id + 1;
  }
  // Every pipe freed once, every upstream it opened closed, the pools as they were.
  void expect_baseline() {
    EXPECT_EQ(conduit_GetNumOfConnections(), 0u);
    EXPECT_EQ(conduit_GetCacheSize(), baseline_);
    EXPECT_EQ(w.stat_adds - adds_, w.stat_dels - dels_);
    std::lock_guard<std::mutex> hold(w.lock);
    for (const auto& [id, up] : w.upstreams) {
      if (id >= first_id_) {
        EXPECT_TRUE(up.ended) << "upstream " << id << " left open";
      }
    }
  }

  uint64_t baseline_ = 0;
  int64_t adds_ = 0;
  int64_t dels_ = 0;
  int64_t first_id_ = 0;
};

// Long-lived pipes, half of them over TLS, each written by four threads at once while its
// upstream answers; then two threads close every client at once while a third still writes.
TEST_F(PipeStress, SharedPipesCarryEveryChunkWholeAndInOrder) {
  constexpr int kPipes = 8;
  constexpr int kWriters = 4;
  constexpr int kChunks = 400;
  std::vector<int64_t> clients;
  std::vector<int64_t> ups;
  std::vector<std::unique_ptr<TlsOrigin>> origins(kPipes);
  for (int i = 0; i < kPipes; ++i) {
    const int64_t client = 100 + i;
    if (i % 2 == 0) w.tls_clients.insert(client);
    clients.push_back(client);
    ups.push_back(build(client, "origin"));
    ASSERT_GT(ups.back(), 0);
  }
  for (int i = 0; i < kPipes; i += 2) {
    origins[i] = std::make_unique<TlsOrigin>();
    origins[i]->handshake(ups[i]);
  }
  const std::vector<std::string> handshake_bytes = [&] {
    std::vector<std::string> v;
    for (int i = 0; i < kPipes; ++i) v.push_back(bytes_of(clients[i]));
    return v;
  }();

  // accepted[writer][pipe]: the seqs whose write the pipe took.
  std::vector<std::vector<std::vector<int64_t>>> accepted(kWriters, std::vector<std::vector<int64_t>>(kPipes));
  std::vector<std::string> answers(kPipes);
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t) {
    threads.emplace_back([&, t] {
      for (int64_t seq = 0; seq < kChunks; ++seq) {
        for (int i = 0; i < kPipes; ++i) {
          const std::string c = chunk(t, seq);
          if (conduit_WriteToResponse(ups[i], c.data(), static_cast<uint32_t>(c.size())) == c.size()) {
            accepted[t][i].push_back(seq);
          }
        }
      }
    });
  }
  constexpr int kAnswerSource = 50;
  for (int i = 0; i < kPipes; i += 2) {
    threads.emplace_back([&, i] {
      for (int64_t seq = 0; seq < kChunks; ++seq) {
        const std::string c = chunk(kAnswerSource, seq);
        origins[i]->send(c);
        answers[i] += c;
      }
    });
  }
  threads.emplace_back([&] {
    for (int64_t seq = 0; seq < kChunks; ++seq) {
      for (int i = 1; i < kPipes; i += 2) deliver(ups[i], chunk(kAnswerSource, seq));
    }
  });
  // Other threads write to the plain pipes' clients, ask about every pipe and fire notices.
  std::atomic<bool> done{false};
  threads.emplace_back([&] {
    for (int64_t seq = 0; !done; ++seq) {
      for (int i = 1; i < kPipes; i += 2) {
        const std::string c = chunk(60, seq);
        conduit_WriteToRequest(clients[i], c.data(), static_cast<uint32_t>(c.size()));
      }
    }
  });
  threads.emplace_back([&] {
    while (!done) {
      for (int i = 0; i < kPipes; ++i) {
        EXPECT_EQ(conduit_GetAnotherSid(ups[i]), clients[i]);
        EXPECT_EQ(conduit_ResponseSSLOn(clients[i]), i % 2 == 0 ? 1 : 0);
        if (auto fn = w.upstream_notice.load()) fn(nullptr, ups[i]);
        if (auto fn = w.client_notice.load()) fn(nullptr, clients[i], nullptr);
      }
      EXPECT_EQ(conduit_GetNumOfConnections(), static_cast<uint32_t>(kPipes));
      conduit_GetCacheSize();
    }
  });
  for (size_t k = 0; k < threads.size() - 2; ++k) threads[k].join();
  done = true;
  threads[threads.size() - 2].join();
  threads.back().join();

  for (int i = 0; i < kPipes; ++i) {
    SCOPED_TRACE("pipe " + std::to_string(i));
    const std::string request = i % 2 == 0 ? origins[i]->received() : wire_of(ups[i]);
    const auto seqs = read_chunks(request, "request");
    for (int t = 0; t < kWriters; ++t) {
      EXPECT_EQ(accepted[t][i].size(), static_cast<size_t>(kChunks));
      EXPECT_EQ(seqs.count(t) ? seqs.at(t) : std::vector<int64_t>{}, accepted[t][i]) << "writer " << t;
    }
    const std::string response = bytes_of(clients[i]).substr(handshake_bytes[i].size());
    if (i % 2 == 0) {
      EXPECT_EQ(response, answers[i]);
    } else {
      EXPECT_EQ(read_chunks(response, "response")[kAnswerSource].size(), static_cast<size_t>(kChunks));
    }
  }

  // Two closes of each client at once free its pipe once, under a writer that still uses it.
  done = false;
  std::thread writer([&] {
    for (int64_t seq = kChunks; !done; ++seq) {
      for (int i = 0; i < kPipes; ++i) {
        const std::string c = chunk(0, seq);
        conduit_WriteToResponse(ups[i], c.data(), static_cast<uint32_t>(c.size()));
        conduit_WriteToRequest(clients[i], c.data(), static_cast<uint32_t>(c.size()));
      }
    }
  });
  std::vector<std::thread> closers;
  for (int k = 0; k < 2; ++k) {
    closers.emplace_back([&] {
      for (int64_t client : clients) conduit_on_close(nullptr, client);
    });
  }
  for (auto& th : closers) th.join();
  done = true;
  writer.join();
  for (int i = 0; i < kPipes; ++i) EXPECT_EQ(conduit_GetAnotherSid(ups[i]), 0);
  expect_baseline();
}

// Each of eight threads serves clients of its own: pipes built, reused for the same host text,
// replaced for another, failed over to a retry, closed by the upstream and by the client; four
// more threads write to, ask about and fire notices on the same sids all the while.
TEST_F(PipeStress, PipesComeAndGoUnderOtherThreads) {
  constexpr int kOwners = 8;
  constexpr int kClientsEach = 4;
  constexpr int kRounds = 1500;
  constexpr int kPokers = 4;
  const char* const kHosts[] = {"origin", "ORIGIN", "other:81"};
  auto client_of = [](int owner, int k) { return static_cast<int64_t>(1000 * (owner + 1) + k); };
  std::atomic<bool> done{false};
  std::vector<std::thread> owners;
  for (int t = 0; t < kOwners; ++t) {
    owners.emplace_back([&, t] {
      std::mt19937 rng(static_cast<uint32_t>(t));
      std::map<int64_t, int64_t> last_up;
      std::map<int64_t, int64_t> active;  // upstream sid -> the connection that carries it
      int64_t seq = 0;
      for (int round = 0; round < kRounds; ++round) {
        const int64_t client = client_of(t, static_cast<int>(rng() % kClientsEach));
        const int64_t up = build(client, kHosts[rng() % 3]);
        ASSERT_GT(up, 0);
        const bool fresh = last_up[client] != up;
        last_up[client] = up;
        if (fresh) active[up] = up;
        const std::string request = chunk(t, seq++);
        EXPECT_EQ(conduit_WriteToResponse(up, request.data(), static_cast<uint32_t>(request.size())), request.size());
        switch (rng() % 5) {
          case 0:  // the connect fails: the retry takes over, and sometimes fails as well
            if (!fresh) break;
            w.on_failed.load()(nullptr, up);
            if (t_last_made == up) break;
            active[up] = t_last_made;
            if (rng() % 2) w.on_failed.load()(nullptr, active[up]);
            break;
          case 1:  // the upstream closes behind its answer
            deliver(active[up], chunk(100 + t, seq++));
            w.on_closed.load()(nullptr, active[up]);
            break;
          case 2:  // the client goes
            conduit_on_close(nullptr, client);
            last_up.erase(client);
            break;
          default:  // an answer on a kept-alive pipe
            deliver(active[up], chunk(100 + t, seq++));
            break;
        }
      }
      for (int k = 0; k < kClientsEach; ++k) conduit_on_close(nullptr, client_of(t, k));
    });
  }
  std::vector<std::thread> pokers;
  for (int p = 0; p < kPokers; ++p) {
    pokers.emplace_back([&, p] {
      std::mt19937 rng(static_cast<uint32_t>(100 + p));
      for (int64_t seq = 0; !done; ++seq) {
        const int64_t client = client_of(static_cast<int>(rng() % kOwners), static_cast<int>(rng() % kClientsEach));
        const int64_t up = first_id_ + static_cast<int64_t>(rng() % static_cast<uint32_t>(w.next_id - first_id_ + 1));
        const std::string c = chunk(200 + p, seq);
        switch (rng() % 6) {
          case 0:
            conduit_GetAnotherSid(rng() % 2 ? up : client);
            break;
          case 1:
            conduit_ResponseSSLOn(client);
            break;
          case 2:
            conduit_WriteToRequest(client, c.data(), static_cast<uint32_t>(c.size()));
            break;
          case 3:
            conduit_WriteToResponse(up, c.data(), static_cast<uint32_t>(c.size()));
            break;
          case 4:
            if (auto fn = w.upstream_notice.load()) fn(nullptr, up);
            if (auto fn = w.client_notice.load()) fn(nullptr, client, nullptr);
            break;
          default:
            conduit_GetNumOfConnections();
            conduit_GetCacheSize();
            break;
        }
      }
    });
  }
  for (auto& th : owners) th.join();
  done = true;
  for (auto& th : pokers) th.join();

  std::map<int64_t, std::string> wires;
  std::map<int64_t, std::string> streams;
  {
    std::lock_guard<std::mutex> hold(w.lock);
    for (const auto& [id, up] : w.upstreams) {
      if (id >= first_id_) wires[id] = up.wire;
    }
    for (const auto& [client, bytes] : w.client_bytes) {
      if (client >= 1000) streams[client] = bytes;
    }
  }
  for (const auto& [id, wire] : wires) read_chunks(wire, "upstream " + std::to_string(id));
  for (const auto& [client, bytes] : streams) read_chunks(bytes, "client " + std::to_string(client));
  expect_baseline();
}

}  // namespace
