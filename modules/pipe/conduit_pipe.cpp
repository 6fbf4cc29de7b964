// The pipe to the upstream: one per client connection that has an upstream, found by the
// client's sid and by the sids of its upstream connections (the first one and, after a failed
// connect, the retry), each pipe under its own lock. Response bytes go through the request
// filter to the client, request bytes straight to the active upstream, and the side that runs
// ahead stops being read until the other drains.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include <strings.h>

#include "conduit.h"
#include "conduit_internal.h"
#include "cu_config.h"
#include "cu_lib.h"
#include "cu_log.h"
#include "cu_sem.h"
#include "cu_sock.h"
#include "cu_xmem.h"
#include "nameres.h"
#include "policydb.h"
#include "reqgate.h"
#include "replier.h"
#include "seams.h"
#include "upfetch_request.h"
#include "vor_kit.h"

namespace vor::conduit {

namespace {

constexpr uint32_t kNoId = 0xFFFFFFFFu;
constexpr size_t kNameMax = 256;            // the name before the colon
constexpr int64_t kUpstreamBacklog = 0x10000;  // request bytes waiting before the client is paused
constexpr uint32_t kClientBacklog = 0x3FFFF;   // response bytes waiting before the upstream is paused
constexpr uint64_t kPipePage = 32 * 1024;
constexpr uint64_t kPipePages = 1024;
constexpr uint64_t kTlsPage = 4ull << 20;  // blocks of the upstream TLS byte queues
constexpr uint64_t kTlsPages = 256;

constexpr char kConnectFail[] = "Bad Gateway - Cann't Connect To Upstream Server";
constexpr char kDnsFail[] = "Bad Gateway - DNS Resolving Fail For Upstream Server";
constexpr char kTooMany[] = "Service Temporarily Unavailable - Reach To Maximum Upstream Connections Setting";
constexpr char kBindFail[] = "Bad Gateway - Cann't Connect To Upstream Server - Check config/ext/WAN.ini";
constexpr char kNoMemory[] = "Bad Gateway - Cann't Connect To Upstream Server - Cann't Alloc Memory For Pipe Cache";
constexpr char kNoHash[] = "Bad Gateway - Cann't Connect To Upstream Server - Cann't Alloc Memory For Pipe Hash";

struct State {
  PipeTable clients;
  PipeTable upstreams;  // upstream and retry sids
  cu_sem* pool_lock = nullptr;  // shared by the two pools
  cu_xmem* pool = nullptr;
  cu_xmem* tls_pool = nullptr;
  uint64_t baseline = 0;
  bool display = true;
  bool nodelay = true;
  std::atomic<uint64_t> sent{0};
  std::atomic<uint64_t> received{0};
};

State& state() {
  static State* instance = new State();
  return *instance;
}

// ---- records and tables --------------------------------------------------------------------

bool page_view_stats() { return policydb_system_get_IsUsedPageViewStat() != 0; }

// Gives back the pipe's upstream-connection count, its TLS and its memory; its last reference
// is gone, so nothing else can reach it.
void free_pipe(Pipe* pipe) {
  if (page_view_stats()) policydb_proxy_stat_SynUpstreamConnectionDel(pipe->user_id, pipe->host_id);
  tls_release(pipe);
  pipe->~Pipe();
  cu_xmem_free(state().pool, pipe);
}

void release(Pipe* pipe) {
  if (pipe->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) free_pipe(pipe);
}

// A pipe found by a sid, referenced and locked for the holder's scope; empty when the sid has
// no pipe, or its pipe left the tables while the holder waited for its lock.
class Locked {
 public:
  explicit Locked(Pipe* pipe) : pipe_(pipe) {
    if (!pipe_) return;
    pipe_->lock.lock();
    if (pipe_->linked) return;
    pipe_->lock.unlock();
    release(pipe_);
    pipe_ = nullptr;
  }
  ~Locked() {
    if (!pipe_) return;
    pipe_->lock.unlock();
    release(pipe_);
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  explicit operator bool() const { return pipe_ != nullptr; }
  Pipe* operator->() const { return pipe_; }
  Pipe* get() const { return pipe_; }

 private:
  Pipe* pipe_;
};

Locked by_upstream(int64_t sid) { return Locked(state().upstreams.find(sid)); }
Locked by_client(int64_t sid) { return Locked(state().clients.find(sid)); }

// Takes the pipe out of both tables; its lock is held. The caller then drops the tables'
// reference (release) once it has let go of the lock.
void unlink(Pipe* pipe) {
  pipe->linked = false;
  state().clients.remove(pipe->client_sid, pipe);
  state().upstreams.remove(pipe->upstream_sid, pipe);
  if (pipe->retry_sid != 0) state().upstreams.remove(pipe->retry_sid, pipe);
}

// Bytes in use in the pipe's pools.
uint64_t pools_in_use() {
  vor::SemLock hold(state().pool_lock);
  return cu_xmem_used_space_size(state().pool) + cu_xmem_used_space_size(state().tls_pool);
}

// A new pipe, in no table yet, holding the reference the tables will own.
Pipe* new_pipe() {
  void* memory = state().pool ? cu_xmem_malloc(state().pool, sizeof(Pipe)) : nullptr;
  if (!memory) return nullptr;
  Pipe* pipe = new (memory) Pipe{};
  pipe->user_id = kNoId;
  pipe->host_id = kNoId;
  pipe->refs.store(1, std::memory_order_relaxed);
  return pipe;
}

// Speaks TLS to the upstream when the rules give a connection for it; without a channel the
// pipe goes on in plain text.
void attach_tls(Pipe* pipe) {
  cu_ssl_conn* conn = policydb_upstream_ssl_ConnNew(pipe->client_sid, pipe->user_id, pipe->host_id);
  if (!conn) return;
  std::lock_guard<std::mutex> hold(pipe->lock);
  if (!tls_attach(pipe, conn, state().tls_pool)) policydb_upstream_ssl_ConnFree(conn);
}

// ---- connecting ----------------------------------------------------------------------------

struct Target {
  char name[kNameMax + 1];
  uint16_t port;
};

// "name" or "name:port": a port that reads as 0 is 80, none is bare_port.
bool split_host(const char* host, uint16_t bare_port, Target& out) {
  const char* colon = std::strchr(host, ':');
  const size_t name_len = colon ? static_cast<size_t>(colon - host) : std::strlen(host);
  if (name_len == 0 || name_len > kNameMax) return false;
  std::memcpy(out.name, host, name_len);
  out.name[name_len] = '\0';
  out.port = bare_port;
  if (colon) {
    const auto port = static_cast<uint16_t>(cu_atoll(colon + 1));
    out.port = port != 0 ? port : 80;
  }
  return true;
}

// A host text without a port names 443 when the upstream is spoken to over TLS.
uint16_t bare_port(int64_t client_sid, uint32_t user_id, uint32_t host_id) {
  return policydb_upstream_ssl_NeedSSL(client_sid, user_id, host_id) ? 443 : 80;
}

void on_connected(void*, int64_t sid, int32_t, int32_t);
void on_connect_fail(void*, int64_t sid);
void on_upstream_data(void*, int64_t sid, char* data, int32_t len);
void on_upstream_close(void*, int64_t sid);

enum class Open : uint8_t { kOk, kTooMany, kBindFail, kStepTwoFail };

// Opens a connection to ip:port on the calling slave box, bound to a local address when the
// outgoing-address settings choose one.
Open open_upstream(vor_bigbox* bb, int64_t client_sid, const char* ip, uint16_t port, int64_t& sid) {
  if (state().upstreams.size() >= policydb_system_get_MaxUpstreamConnections()) return Open::kTooMany;
  char local[Wan::kTextSize] = {0};
  const bool bound = wan_configured() && conduit_wan_pick(client_sid, ip, local);
  cu_client* handle = nullptr;
  if (replier_make_STEP1_ext(bound ? local : nullptr, 0, ip, port, &handle) <= 0 || !handle) {
    if (bound) vor::console_line("[pipe -> WAN.ini] bind WAN=%s fail, check ifconfig/ipconfig!!!\r\n", local);
    return Open::kBindFail;
  }
  sid = replier_make_STEP2(bb, handle, on_connected, nullptr, on_connect_fail, nullptr, on_upstream_data, nullptr,
                           on_upstream_close, nullptr);
  return sid >= 1 ? Open::kOk : Open::kStepTwoFail;
}

void fail_client(int64_t client_sid, const char* text) {
  edgeserv_return502(client_sid, nullptr, text);
  edgeserv_close(client_sid, 0);
}

// Reuses the client's pipe when it goes to the same host text and is still open; otherwise the
// old pipe goes. Answers the upstream sid of a reused pipe, else 0.
int64_t reuse_or_drop(int64_t client_sid, const char* host, uint32_t user_id, uint32_t host_id) {
  Pipe* old = nullptr;
  int64_t old_upstream = 0;
  int64_t old_retry = 0;
  int64_t reused = 0;
  uint32_t old_user = kNoId;
  uint32_t old_host = kNoId;
  {
    Locked pipe = by_client(client_sid);
    if (!pipe) return 0;
    if (!pipe->closed && strcasecmp(pipe->host, host) == 0) {
      pipe->answered = 0;
      replier_ImportSock_ForRead(pipe->active());
      replier_ImportSock_ForWrite(pipe->active());
      old_user = pipe->user_id;
      old_host = pipe->host_id;
      if (page_view_stats() && old_user != user_id) {
        pipe->user_id = user_id;
        pipe->host_id = host_id;
      }
      reused = pipe->upstream_sid;
    } else {
      unlink(pipe.get());
      old = pipe.get();
      old_upstream = pipe->upstream_sid;
      old_retry = pipe->retry_sid;
    }
  }
  if (reused != 0) {
    if (page_view_stats() && old_user != user_id) {
      policydb_proxy_stat_SynUpstreamConnectionDel(old_user, old_host);
      policydb_proxy_stat_SynUpstreamConnectionAdd(user_id, host_id);
    }
    return reused;
  }
  replier_close(old_upstream);
  if (old_retry != 0) replier_close(old_retry);
  release(old);
  return 0;
}

bool on_slave_thread(vor_bigbox* bb) { return bb && vor_bigbox_InvokeSlaveBox(bb) != nullptr; }

// Records the new pipe in both tables; false (nothing recorded) when the memory runs out. Its
// lock is held throughout, so no caller finds it half recorded.
bool insert_pipe(Pipe* pipe) {
  std::lock_guard<std::mutex> hold(pipe->lock);
  pipe->linked = true;
  if (state().upstreams.put(pipe->upstream_sid, pipe)) {
    if (state().clients.put(pipe->client_sid, pipe)) return true;
    state().upstreams.remove(pipe->upstream_sid, pipe);
  }
  pipe->linked = false;
  return false;
}

int64_t build_pipe(vor_bigbox* bb, const char* host, int64_t client_sid, uint32_t user_id, uint32_t host_id) {
  Target target;
  char ip[32] = {0};
  if (std::strlen(host) >= kHostText || !split_host(host, bare_port(client_sid, user_id, host_id), target) ||
      !wc_gethostbyname(target.name, ip)) {
    if (state().display) vor::console_line("[Pipe] get host(%s) ip fail!\r\n", host);
    edgeserv_return502(client_sid, nullptr, kDnsFail);
    return -1;
  }
  if (const int64_t reused = reuse_or_drop(client_sid, host, user_id, host_id)) return reused;
  if (!on_slave_thread(bb)) {
    edgeserv_return502(client_sid, nullptr, kConnectFail);
    return -1;
  }
  int64_t sid = 0;
  switch (open_upstream(bb, client_sid, ip, target.port, sid)) {
    case Open::kTooMany:
      edgeserv_return503(client_sid, nullptr, kTooMany);
      return -1;
    case Open::kBindFail:
      edgeserv_return502(client_sid, nullptr, kBindFail);
      return -1;
    case Open::kStepTwoFail:
      edgeserv_return502(client_sid, nullptr, kConnectFail);
      return 0;
    case Open::kOk:
      break;
  }
  Pipe* pipe = new_pipe();
  if (!pipe) {
    edgeserv_return502(client_sid, nullptr, kNoMemory);
    replier_close(sid);
    return -1;
  }
  pipe->upstream_sid = sid;
  pipe->client_sid = client_sid;
  std::snprintf(pipe->host, sizeof pipe->host, "%s", host);
  pipe->user_id = user_id;
  pipe->host_id = host_id;
  attach_tls(pipe);
  if (page_view_stats()) policydb_proxy_stat_SynUpstreamConnectionAdd(user_id, host_id);
  if (!insert_pipe(pipe)) {
    edgeserv_return502(client_sid, nullptr, kNoHash);
    replier_close(sid);
    release(pipe);
    return -1;
  }
  return sid;
}

// ---- flow control --------------------------------------------------------------------------

void client_drained(edgeserv_ctx*, int64_t client_sid, void*) {
  Locked pipe = by_client(client_sid);
  if (pipe) replier_ImportSock_ForRead(pipe->active());
  edgeserv_DelWritableNotice(client_sid);
}

void upstream_drained(void*, int64_t upstream_sid) {
  Locked pipe = by_upstream(upstream_sid);
  if (!pipe) {
    replier_DelWritableNotice(upstream_sid);
    return;
  }
  // Bytes held for the handshake go out once it is done; their drain resumes the client.
  if (tls_held(pipe.get()) > 0) return;
  edgeserv_ImportSock_ForRead(pipe->client_sid);
  replier_DelWritableNotice(pipe->upstream_sid);
  if (pipe->retry_sid != 0) replier_DelWritableNotice(pipe->retry_sid);
}

// Too many request bytes wait on the upstream (held: those the TLS handshake holds back): stop
// reading the client until they drain.
void pause_client_if_behind(int64_t client_sid, int64_t active, uint64_t held = 0) {
  if (replier_GetWritableLen(active) + static_cast<int64_t>(held) < kUpstreamBacklog) return;
  replier_AddWritableNotice(active, upstream_drained, nullptr);
  edgeserv_ExportSock_ForRead(client_sid);
  replier_ImportSock_ForWrite(active);
}

// ---- upstream events -----------------------------------------------------------------------

// The Host header of the client's request, empty when it has none.
void client_host(int64_t client_sid, char* out, size_t size) {
  out[0] = '\0';
  client_rec* client = edgeserv_GetClient_BySid(client_sid);
  if (client && client->parser && !http_parser_GetKey(client->parser, "Host", out, static_cast<int32_t>(size))) {
    out[0] = '\0';
  }
}

void on_connected(void*, int64_t sid, int32_t, int32_t) {
  cu_sock_set_recv_buff(sid, static_cast<int32_t>(2 * policydb_system_get_MaxClientSendBuffer()));
  cu_sock_set_send_buff(sid, static_cast<int32_t>(policydb_system_get_MaxClientRecvBuffer()));
  if (state().nodelay) cu_sock_set_nondelay(sid);
  replier_write(sid, nullptr, 0);
  Locked pipe = by_upstream(sid);
  if (!pipe || !pipe->tls_on) return;
  char host[kHostText];
  client_host(pipe->client_sid, host, sizeof host);
  tls_begin(pipe.get(), host);
}

// Answers a GET from the client's stored copy, expired or not; false for other requests.
bool hit_expired_copy(int64_t client_sid) {
  client_rec* client = edgeserv_GetClient_BySid(client_sid);
  char method[8];
  if (!client || !client->parser || !http_parser_GetMothod(client->parser, method) || strcasecmp(method, "GET") != 0) {
    return false;
  }
  char key[vor::upfetch::kKeySize];
  char host[vor::upfetch::kHostSize];
  if (!vor::upfetch::cache_key(client->parser, key, host, method)) return false;
  if (!seams::hit_cache(client_sid, client->parser, key, client->cache_kind)) return false;
  if (state().display) vor::console_line("[Pipe -> UseExpiredCache] %s\r\n", key);
  return true;
}

// A GET answered from its expired copy; the pipe then serves no more requests.
bool answer_from_expired_copy(int64_t client_sid, int64_t response_sid) {
  if (!policydb_system_get_UseExpiredCacheWhenUpstreamIsFail() || !hit_expired_copy(client_sid)) return false;
  {
    Locked pipe = by_client(client_sid);
    if (pipe) pipe->closed = 1;
  }
  // The response that never came must not hold the client's next request back.
  reqgate_DropResponse(response_sid);
  return true;
}

// Opens the second connection after a failed connect; its sid, or -1.
int64_t retry_connect(int64_t client_sid, const char* host, uint32_t user_id, uint32_t host_id) {
  Target target;
  char ip[32] = {0};
  if (!split_host(host, bare_port(client_sid, user_id, host_id), target) || !nameres_HitAnyCache(target.name, ip)) {
    if (state().display) vor::console_line("[pipe -> retry] get host(%s) ip fail!\r\n", host);
    return -1;
  }
  edgeserv_ctx* ctx = edgeserv_GetHandle();
  vor_bigbox* bb = ctx && ctx->daemon ? ctx->daemon->bigbox : nullptr;
  int64_t sid = 0;
  switch (open_upstream(bb, client_sid, ip, target.port, sid)) {
    case Open::kOk:
      return sid;
    case Open::kTooMany:
      if (state().display) vor::console_line("[pipe -> retry] Reach To Maximum Upstream Connections Setting!\r\n");
      return -1;
    case Open::kStepTwoFail:
      if (state().display) vor::console_line("[pipe -> retry] %s -> response make step 2 fail!\r\n", host);
      return -1;
    case Open::kBindFail:
      return -1;
  }
  return -1;
}

// What a connect failure needs of its pipe, copied under the pipe's lock.
struct Snapshot {
  int64_t client_sid = 0;
  int64_t upstream_sid = 0;
  int64_t retry_sid = 0;
  uint32_t user_id = kNoId;
  uint32_t host_id = kNoId;
  char host[kHostText] = {0};
};

// Moves the client's waiting request bytes to the retry connection, which becomes active.
bool take_over(const Snapshot& snapshot, int64_t retry) {
  {
    Locked pipe = by_client(snapshot.client_sid);
    if (!pipe || pipe->upstream_sid != snapshot.upstream_sid) return false;
    if (!state().upstreams.put(retry, pipe.get())) return false;
    pipe->retry_sid = retry;
  }
  if (state().display) vor::console_line("[pipe -> retry] connecting to (%s) ok!\r\n", snapshot.host);
  replier_JitterMove(retry, snapshot.upstream_sid);
  // A client paused behind the failed connection is resumed by the retry's drain, not its own.
  pause_client_if_behind(snapshot.client_sid, retry);
  return true;
}

void on_connect_fail(void*, int64_t sid) {
  Snapshot snapshot;
  {
    Locked pipe = by_upstream(sid);
    if (!pipe) return;
    snapshot.client_sid = pipe->client_sid;
    snapshot.upstream_sid = pipe->upstream_sid;
    snapshot.retry_sid = pipe->retry_sid;
    snapshot.user_id = pipe->user_id;
    snapshot.host_id = pipe->host_id;
    std::memcpy(snapshot.host, pipe->host, sizeof snapshot.host);
  }
  if (snapshot.client_sid != 0 && !answer_from_expired_copy(snapshot.client_sid, snapshot.upstream_sid)) {
    if (snapshot.retry_sid != 0) {
      if (state().display) vor::console_line("[pipe -> retry] connecting to (%s) is fail!\r\n", snapshot.host);
      fail_client(snapshot.client_sid, kConnectFail);
    } else {
      const int64_t retry = retry_connect(snapshot.client_sid, snapshot.host, snapshot.user_id, snapshot.host_id);
      if (retry < 1) {
        fail_client(snapshot.client_sid, kConnectFail);
      } else if (!take_over(snapshot, retry)) {
        replier_close(retry);
        fail_client(snapshot.client_sid, kConnectFail);
      }
    }
  }
  replier_WaitingForClose(sid);
  policydb_upstream_down_checking(snapshot.user_id, snapshot.host_id, 1);
}

// Closes the client and lets the active upstream close once its output is sent.
void end_both(int64_t client_sid, int64_t active) {
  if (client_sid != 0) edgeserv_close(client_sid, 0);
  replier_WaitingForClose(active);
}

void on_upstream_close(void*, int64_t sid);

// Response bytes from the upstream. Over TLS the ciphertext is decrypted into the same buffer
// (at least 32,768 bytes) a batch at a time, each batch through the request filter.
void on_upstream_data(void*, int64_t sid, char* data, int32_t len) {
  for (bool first = true;; first = false) {
    int64_t client_sid = 0;
    int64_t response_sid = 0;
    int64_t active = 0;
    bool tls = false;
    Decrypted got{Decrypted::kBytes, len, nullptr};
    {
      Locked pipe = by_upstream(sid);
      if (!pipe) return;
      client_sid = pipe->client_sid;
      response_sid = pipe->upstream_sid;
      active = pipe->active();
      tls = pipe->tls_on != 0;
      if (tls) got = tls_receive(pipe.get(), first ? data : nullptr, first ? len : 0, data);
    }
    switch (got.kind) {
      case Decrypted::kWait:
        return;
      case Decrypted::kPage:
        if (client_sid != 0) fail_client(client_sid, got.page);
        return;
      case Decrypted::kEndAsClosed:
        on_upstream_close(nullptr, sid);
        return;
      case Decrypted::kEndBoth:
        end_both(client_sid, active);
        return;
      case Decrypted::kBytes:
        break;
    }
    if (!reqgate_ResponseInput_v3(response_sid, data, static_cast<uint32_t>(got.len), conduit_WriteToRequest,
                                  conduit_WriteToResponse)) {
      end_both(client_sid, active);
      return;
    }
    if (!tls) return;
  }
}

void on_upstream_close(void*, int64_t sid) {
  int64_t client_sid = 0;
  int64_t upstream_sid = 0;
  int64_t retry_sid = 0;
  {
    Locked pipe = by_upstream(sid);
    if (!pipe) return;
    pipe->closed = 1;
    client_sid = pipe->client_sid;
    upstream_sid = pipe->upstream_sid;
    retry_sid = pipe->retry_sid;
  }
  if (client_sid != 0) edgeserv_close(client_sid, 0);
  reqgate_OnResponseClose(upstream_sid);
  replier_WaitingForClose(retry_sid != 0 ? retry_sid : upstream_sid);
}

bool display_of(cu_config* config) {
  const char* v = config ? cu_config_GetKey(config, "system", "display_console") : nullptr;
  return !v || cu_atoll(v) == 1;
}

bool nodelay_of(cu_config* config) {
  const char* v = config ? cu_config_GetKey(config, "system", "tcp_nodelay") : nullptr;
  return cu_atoll(v ? v : "1") != 0;
}

void exit_for_pool(edgeserv_ctx* ctx) {
  constexpr char kLine[] = "conduit__xmem -> ____pipe__xmem_init() -> cu_xmem_init_ext(pipe struct) -> return NULL -> exit!\r\n";
  vor::console_line("%s", kLine);
  if (ctx && ctx->log) cu_log_error(ctx->log, "%s", kLine);
  std::exit(-1);
}

}  // namespace

}  // namespace vor::conduit

using namespace vor::conduit;

submodule_desc netpipe = {371, "netpipe", conduit_module_init, conduit_module_exit, nullptr, conduit_on_close, nullptr};

uint8_t conduit_module_init(edgeserv_ctx* ctx) {
  vor::console_line("[zazudaza -> pipe] module init!\r\n");
  cu_config* config = ctx ? ctx->config : nullptr;
  state().display = display_of(config);
  state().nodelay = nodelay_of(config);
  conduit_wan_load();
  // Init runs once, before any pipe is asked for.
  if (!state().pool) {
    state().pool_lock = cu_sem_malloc();
    state().pool = cu_xmem_init_ext(state().pool_lock, kPipePage, kPipePages, 32, nullptr, nullptr, nullptr);
    state().tls_pool = cu_xmem_init_ext(state().pool_lock, kTlsPage, kTlsPages, 32, nullptr, nullptr, nullptr);
    if (!state().pool_lock || !state().pool || !state().tls_pool) exit_for_pool(ctx);
    state().baseline = pools_in_use();
  }
  return 1;
}

void conduit_module_exit(edgeserv_ctx*) { vor::console_line("[zazudaza -> pipe] module exit!\r\n"); }

void conduit_on_close(edgeserv_ctx*, int64_t sid) {
  Pipe* gone = nullptr;
  int64_t upstream = 0;
  int64_t retry = 0;
  {
    Locked pipe = by_client(sid);
    if (!pipe) return;
    unlink(pipe.get());
    gone = pipe.get();
    upstream = pipe->upstream_sid;
    retry = pipe->retry_sid;
  }
  release(gone);
  replier_close(upstream);
  if (retry != 0) replier_close(retry);
}

int64_t conduit_BuildResponseSid_v2(vor_bigbox* bb, const char* host, int64_t client_sid, uint32_t user_id,
                                    uint32_t host_id) {
  if (!host) {
    edgeserv_return502(client_sid, nullptr, kDnsFail);
    return -1;
  }
  return build_pipe(bb, host, client_sid, user_id, host_id);
}

int64_t conduit_BuildResponseSid(vor_bigbox* bb, const char* host, int64_t client_sid) {
  return conduit_BuildResponseSid_v2(bb, host, client_sid, kNoId, kNoId);
}

int64_t conduit_GetAnotherSid(int64_t sid) {
  if (Locked pipe = by_upstream(sid)) return pipe->client_sid;
  if (Locked pipe = by_client(sid)) return pipe->upstream_sid;
  return 0;
}

uint8_t conduit_ResponseSSLOn(int64_t client_sid) {
  Locked pipe = by_client(client_sid);
  return pipe ? pipe->tls_on : 0;
}

uint32_t conduit_WriteToRequest(int64_t client_sid, const char* data, uint32_t len) {
  int64_t active = 0;
  {
    Locked pipe = by_client(client_sid);
    if (!pipe) return 0;
    state().received += len;
    active = pipe->active();
  }
  edgeserv_WriteJitter(client_sid, data, static_cast<int32_t>(len));
  if (edgeserv_GetWritableLen(client_sid) > kClientBacklog) {
    edgeserv_AddWritableNotice(client_sid, client_drained, nullptr);
    replier_ExportSock_ForRead(active);
    edgeserv_ImportSock_ForWrite(client_sid);
  }
  return len;
}

uint32_t conduit_WriteToResponse(int64_t upstream_sid, const char* data, uint32_t len) {
  int64_t client_sid = 0;
  int64_t active = 0;
  bool tls = false;
  bool taken = true;
  uint64_t held = 0;
  {
    Locked pipe = by_upstream(upstream_sid);
    if (!pipe) return 0;
    state().sent += len;
    client_sid = pipe->client_sid;
    active = pipe->active();
    tls = pipe->tls_on != 0;
    if (tls) {
      taken = tls_send(pipe.get(), data, len);
      held = tls_held(pipe.get());
    }
  }
  if (!tls) replier_write(active, data, static_cast<int32_t>(len));
  if (!taken) {
    // Request bytes the TLS queue could not take are lost: neither side can go on.
    end_both(client_sid, active);
    return len;
  }
  pause_client_if_behind(client_sid, active, held);
  return len;
}

uint64_t conduit_GetCacheSize(void) {
  if (!state().pool) return 0;
  const uint64_t used = pools_in_use();
  return used > state().baseline ? used - state().baseline : 0;
}

uint32_t conduit_GetNumOfConnections(void) { return state().upstreams.size(); }

uint64_t conduit_GetTotalSendBytes(void) { return state().sent.load(); }
uint64_t conduit_GetTotalRecvBytes(void) { return state().received.load(); }
