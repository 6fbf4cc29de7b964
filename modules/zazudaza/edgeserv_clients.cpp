// Client connections: the proxy_port listeners, the accept path on the bigbox master thread,
// the client records in their own arenas, the read path on the connection's slave thread, and
// the look-ups other modules make by sid.
//
// Ownership: once reading has started, a record is freed only on its slave thread; the master
// thread (accept, the on_accept walk, the idle sweep) touches a record only under its lock. The bigbox reports nothing for a sid before reading starts, so the on_accept walk always
// ends before any other slot of the connection runs.
#include <stdio.h>
#include <time.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "cu_lib.h"
#include "cu_sock.h"
#include "cu_util.h"
#include "edgeserv_internal.h"
#include "vor_box.h"

namespace edge {
namespace {

constexpr int kExtraPorts = 128;
constexpr uint64_t kArenaPage = 6144;
constexpr uint64_t kArenaPages = 32;

// The record with what only the edge server reads; the record comes first, so a client_rec
// pointer is also the entry's.
struct ClientEntry {
  client_rec rec;
  bool accepting;  // the accept path is still running the on_accept walk (under the record's lock)
  // Pipelined requests: while the answer of a complete request is in progress, the bytes that
  // follow it are held and reading is paused; edgeserv_AnswerDone starts them as the next request.
  bool answering;
  bool holding;  // reading is paused for held bytes
  std::string held;
};

ClientEntry* entry_of(client_rec* rec) { return reinterpret_cast<ClientEntry*>(rec); }

void* arena_page_alloc(void* pool, uint64_t size) { return cu_xmem_malloc(static_cast<cu_xmem*>(pool), size); }
void arena_page_free(void* pool, void* page) { cu_xmem_free(static_cast<cu_xmem*>(pool), page); }

vor_bigbox* bigbox_of(edgeserv_ctx* ctx) { return ctx && ctx->daemon ? ctx->daemon->bigbox : nullptr; }

void on_read(vor_bigbox* bb, void* ud, int64_t sid, const char* data, int32_t len);

// Accept, on the master thread.
void on_accept(vor_bigbox* bb, void* ud, int64_t listen_sid, int64_t sid, const char* ip, uint16_t port) {
  accept_client(bb, static_cast<edgeserv_ctx*>(ud), listen_sid, sid, ip, port, false);
}

// What the faster close does once the slots have seen a chunk.
enum class AfterRead { kKeep, kCloseNow };

AfterRead faster_close_step(edgeserv_ctx* ctx, int64_t sid) {
  if (!flags().faster_close.load(std::memory_order_relaxed)) return AfterRead::kKeep;
  ClientLock lock(ctx, sid);
  client_rec* rec = lock.rec();
  if (!rec || !std::atomic_ref<uint8_t>(rec->closing).load(std::memory_order_relaxed)) return AfterRead::kKeep;
  const int kind = head_task_kind(rec);
  if (kind < 0 || kind == kTaskEmpty || kind == kTaskClose) return AfterRead::kCloseNow;
  // An answer still queued is sent first, the close behind it.
  edgeserv_close(sid, 0);
  return AfterRead::kKeep;
}

// A head framed in a way the node refuses: the 400 page, then a close behind it, reading stopped.
void refuse_request(int64_t sid) {
  edgeserv_ExportSock_ForRead(sid);
  edgeserv_return400(sid, nullptr, nullptr);
  edgeserv_close(sid, 0);
}

// Bytes that follow a request whose answer is in progress: held, reading paused. True when held.
// A client that sends more than one read while paused is held back by TCP.
bool hold_if_answering(edgeserv_ctx* ctx, client_rec* rec, const char* data, int32_t len) {
  ClientLock lock(ctx, rec->sid);
  ClientEntry* e = entry_of(rec);
  // Bytes behind held ones wait their turn even when no answer is in progress any more.
  if ((!e->answering || rec->state != EDGESERV_STATE_COMPLETE) && e->held.empty()) return false;
  e->held.append(data, static_cast<size_t>(len));
  e->holding = true;
  // Marked held so that an emptied output queue does not start reading again.
  rec->read_held = 1;
  rec->reading = 0;
  vorx_bigbox_pause_ForRead(bigbox_of(ctx), rec->sid);
  return true;
}

// The request just read is complete: its answer is in progress until edgeserv_AnswerDone. A
// request no slot took (refused, or answered by a plug-in) is over at once.
void mark_answering(edgeserv_ctx* ctx, client_rec* rec, bool answering) {
  ClientLock lock(ctx, rec->sid);
  entry_of(rec)->answering = answering;
}

bool still_answering(edgeserv_ctx* ctx, client_rec* rec) {
  ClientLock lock(ctx, rec->sid);
  ClientEntry* e = entry_of(rec);
  if (e->answering && !rec->taken && !rec->dns_tag) e->answering = false;
  return e->answering;
}

// Nothing is held and no answer is in progress: reading goes on. No module holds it now: a
// look-up or a request body that held it ended with its request.
void stop_holding(edgeserv_ctx* ctx, int64_t sid) {
  ClientLock lock(ctx, sid);
  client_rec* rec = lock.rec();
  if (!rec) return;
  ClientEntry* e = entry_of(rec);
  if (!e->holding || e->answering || !e->held.empty()) return;
  e->holding = false;
  rec->read_held = 0;
  if (rec->reading || rec->force_timer != 0) return;
  rec->reading = vorx_bigbox_start_ForRead(bigbox_of(ctx), sid) ? 1 : 0;
  // Bytes already held in TLS input or inside OpenSSL would wait for the next socket read.
  if (rec->reading && rec->tls_on) tls_post_read_step(ctx, sid);
}

// The held bytes start the next request, on the connection's slave thread.
void next_request_timer(void*, void* ud, int32_t, int32_t) {
  edgeserv_ctx* ctx = context();
  const int64_t sid = ud_to_sid(ud);
  client_rec* rec;
  std::string held;
  {
    ClientLock lock(ctx, sid);
    rec = lock.rec();
    if (!rec || rec->force_timer != 0 || entry_of(rec)->answering) return;
    held.swap(entry_of(rec)->held);
  }
  if (!held.empty() && !handle_chunk(ctx, rec, held.data(), static_cast<int32_t>(held.size()))) return;
  stop_holding(ctx, sid);
}

// Read, on the connection's slave thread.
void on_read(vor_bigbox*, void* ud, int64_t sid, const char* data, int32_t len) {
  auto* ctx = static_cast<edgeserv_ctx*>(ud);
  client_rec* rec = ClientLock(ctx, sid).rec();
  if (!rec || len <= 0) return;
  std::atomic_ref<int64_t> owner(rec->owner_thread);
  if (owner.load(std::memory_order_relaxed) == 0) owner.store(cu_GetThisThreadId(), std::memory_order_relaxed);
  std::atomic_ref<uint32_t>(rec->received).fetch_add(static_cast<uint32_t>(len), std::memory_order_relaxed);
  add_received(static_cast<uint64_t>(len));
  if (rec->tls_on)
    tls_read_step(ctx, rec, data, len);
  else
    handle_chunk(ctx, rec, data, len);
}

// "ADDRESS:PORT" or "PORT": the address to bind (empty: all) and the port, cut to 16 bits.
void split_listen_value(const char* value, std::string* ip, uint16_t* port) {
  const std::string text = value;
  const size_t colon = text.find(':');
  *ip = colon == std::string::npos ? "" : text.substr(0, colon);
  const std::string port_text = colon == std::string::npos ? text : text.substr(colon + 1);
  *port = static_cast<uint16_t>(cu_atoll(port_text.c_str()));
}

// The listener's sid, or -1 (a port that reads as 0 is no port to listen on).
int64_t listen_on(edgeserv_ctx* ctx, const char* value, uint16_t* port) {
  std::string ip;
  split_listen_value(value, &ip, port);
  if (*port == 0) return -1;
  return vor_bigbox_attach(bigbox_of(ctx), ip.empty() ? nullptr : ip.c_str(), *port, on_accept, ctx);
}

void listen_failed(edgeserv_ctx* ctx, const char* line) {
  console_error(line);
  cu_log_error(ctx->log, "%s", line);
}

}  // namespace

void accept_client(vor_bigbox* bb, edgeserv_ctx* ctx, int64_t listen_sid, int64_t sid, const char* ip,
                   uint16_t port, bool tls) {
  // Nothing else knows the sid until the record is in the table, and the bigbox reports nothing
  // for it before reading starts.
  if (!vor_bigbox_accept_WithPause(bb, sid, ip, port, on_read, ctx, on_peer_close, ctx)) {
    vor_bigbox_DeleteSock(bb, sid);
    return;
  }
  client_rec* rec = client_new();
  if (!rec) {
    vor_bigbox_DeleteSock(bb, sid);
    return;
  }
  rec->sid = sid;
  rec->reading = 1;
  rec->owner_thread = vorx_box_GetThreadId(vor_bigbox_GetSlaveBox(bb, sid));
  if (tls && !cu_sock_GetPortFromFd(listen_sid, &rec->local_port)) rec->local_port = 443;
  entry_of(rec)->accepting = true;
  if (tls && !tls_accept_setup(rec)) {
    client_free(ctx, rec);
    return;
  }
  if (!insert_client(rec)) {
    client_free(ctx, rec);
    return;
  }
  if (flags().nodelay.load(std::memory_order_relaxed)) cu_sock_set_nondelay(sid);
  accept_walk(ctx, sid, ip, port);
  ClientLock lock(ctx, sid);
  rec = lock.rec();
  if (!rec) return;
  entry_of(rec)->accepting = false;
  // A force close asked for during the walk is already on its way.
  if (rec->force_timer == 0 && !vorx_bigbox_start_ForRead(bb, sid)) edgeserv_ForceClose(sid);
}

bool handle_chunk(edgeserv_ctx* ctx, client_rec* rec, const char* data, int32_t len) {
  const int64_t sid = rec->sid;
  while (len > 0 && !hold_if_answering(ctx, rec, data, len)) {
    const bool next_request = rec->state == EDGESERV_STATE_COMPLETE;
    const ChunkOutcome out = track_request(rec, data, len);
    // A head whose body framing is refused never reaches a slot.
    if (out.refused) {
      refuse_request(sid);
      return true;
    }
    if (next_request) take_back_delayed_close(ctx, sid);
    const bool complete = rec->state == EDGESERV_STATE_COMPLETE;
    // Set before the slots run: an answer they queue at once ends it at once.
    if (complete) mark_answering(ctx, rec, true);
    read_walk(ctx, sid, data, out.used, out.body, out.body_len);
    if (faster_close_step(ctx, sid) == AfterRead::kCloseNow) {
      close_now(ctx, sid);
      return false;
    }
    if (complete) still_answering(ctx, rec);
    if (out.used <= 0) break;
    data += out.used;
    len -= out.used;
  }
  return true;
}

bool attach_listeners(edgeserv_ctx* ctx) {
  cu_config* config = ctx->daemon ? ctx->daemon->config : nullptr;
  const char* value = cu_config_GetKey(config, "system", "proxy_port");
  if (!value) return false;
  char line[512];
  uint16_t port = 0;
  ctx->listener = listen_on(ctx, value, &port);
  if (ctx->listener <= 0) {
    snprintf(line, sizeof line, "[quorin -> zazudaza] config 'quorind.ini -> system -> proxy_port -> %s' cann't be listened!\r\n",
             value);
    listen_failed(ctx, line);
  }
  for (int n = 1; n <= kExtraPorts; ++n) {
    char key[32];
    snprintf(key, sizeof key, "proxy_port_%d", n);
    const char* extra = cu_config_GetKey(config, "system", key);
    if (!extra) continue;
    if (listen_on(ctx, extra, &port) > 0) continue;
    snprintf(line, sizeof line, "[quorin -> zazudaza] config 'quorind.ini -> system -> %s -> %d' cann't be listened!\r\n",
             key, static_cast<int>(port));
    listen_failed(ctx, line);
  }
  return true;
}

client_rec* client_new() {
  cu_xmem* arena = cu_xmem_init_ext(arena_lock(), kArenaPage, kArenaPages, 0, arena_page_alloc, arena_page_free,
                                    struct_pool());
  if (!arena) return nullptr;
  void* block = cu_xmem_malloc(arena, sizeof(ClientEntry));
  if (!block) {
    cu_xmem_exit(arena);
    return nullptr;
  }
  auto* entry = new (block) ClientEntry{};
  client_rec* rec = &entry->rec;
  rec->arena = arena;
  rec->parser = http_parser_makex(arena);
  rec->queue = queue_make(arena);
  if (!rec->parser || !rec->queue) {
    cu_xmem_exit(arena);
    return nullptr;
  }
  rec->created = edgeserv_mytime();
  rec->user_id = UINT32_MAX;
  rec->host_id = UINT32_MAX;
  rec->disk_permission = 1;
  return rec;
}

void client_free(edgeserv_ctx* ctx, client_rec* rec) {
  if (!rec) return;
  vor_bigbox* bb = bigbox_of(ctx);
  if (rec->tls_on) {
    cu_ssl_conn_destroy(&rec->tls);
    cu_xjitter_destroy(&rec->tls_input);
  }
  vor_box* box = rec->sid > 0 ? vor_bigbox_GetSlaveBox(bb, rec->sid) : nullptr;
  if (box && rec->delay_timer > 0) vor_box_DeleteTimer(box, rec->delay_timer);
  if (box && rec->force_timer > 0) vor_box_DeleteTimer(box, rec->force_timer);
  if (rec->sid > 0) vor_bigbox_DeleteSock(bb, rec->sid);
  queue_release_all(rec);
  // The queue, its tasks, the parser and the record all live in the arena.
  cu_xmem* arena = rec->arena;
  std::destroy_at(entry_of(rec));
  cu_xmem_exit(arena);
}

bool client_accepting(const client_rec* rec) {
  return reinterpret_cast<const ClientEntry*>(rec)->accepting;
}

}  // namespace edge

using namespace edge;

extern "C" {

client_rec* edgeserv_GetClient_BySid(int64_t sid) { return ClientLock(context(), sid).rec(); }

void edgeserv_AnswerDone(int64_t sid) {
  edgeserv_ctx* ctx = context();
  if (!ctx) return;
  ClientLock lock(ctx, sid);
  client_rec* rec = lock.rec();
  if (!rec) return;
  ClientEntry* e = entry_of(rec);
  e->answering = false;
  if (!e->holding) return;
  // Off the caller's stack: the next request may be answered at once and call here again.
  if (vor_box* box = vor_bigbox_GetSlaveBox(bigbox_of(ctx), sid)) vor_box_NewOnceTimer(box, 1, next_request_timer, sid_to_ud(sid));
}

void edgeserv_RereadRequest(int64_t sid) {
  edgeserv_ctx* ctx = context();
  if (!ctx) return;
  {
    ClientLock lock(ctx, sid);
    client_rec* rec = lock.rec();
    if (!rec || rec->state != EDGESERV_STATE_COMPLETE) return;
    rec->taken = 0;
  }
  read_walk(ctx, sid, nullptr, 0, nullptr, 0);
}

uint8_t edgeserv_ClientSSLOn(int64_t sid) {
  ClientLock lock(context(), sid);
  client_rec* rec = lock.rec();
  return rec && rec->tls_on ? 1 : 0;
}

char* edgeserv_GetDnsInEventId(int64_t sid) {
  ClientLock lock(context(), sid);
  client_rec* rec = lock.rec();
  return rec ? rec->dns_tag : nullptr;
}

int32_t edgeserv_GetNumOfConnections(void) {
  return context() ? client_count() : 0;
}

void edgeserv_GetSockList(cu_jitter* out) {
  edgeserv_ctx* ctx = context();
  if (!out || !ctx) return;
  struct Peer {
    int64_t created;
    char ip[64];
    uint16_t port;
  };
  vor_bigbox* bb = bigbox_of(ctx);
  std::vector<Peer> peers;
  // Times and addresses are copied under each record's lock; locations are looked up after.
  for_each_client(ctx, [&](client_rec* rec) {
    Peer p{};
    p.created = std::atomic_ref<int64_t>(rec->created).load(std::memory_order_relaxed);
    if (vor_bigbox_GetSockIP(bb, rec->sid, p.ip, sizeof p.ip, &p.port)) peers.push_back(p);
  });
  for (const Peer& p : peers) {
    struct tm tm_local {};
    char when[96] = "";
    if (cu_localtime(&p.created, &tm_local))
      snprintf(when, sizeof when, "%d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d", tm_local.tm_year + 1900, tm_local.tm_mon + 1,
               tm_local.tm_mday, tm_local.tm_hour, tm_local.tm_min, tm_local.tm_sec);
    char detail[257] = "";
    char line[512];
    if (edgeserv_GetLocationOfIP(p.ip, nullptr, 0, detail, sizeof detail))
      snprintf(line, sizeof line, "%s -> %s:%d -> %s -> quorin\r\n", when, p.ip, p.port, detail);
    else
      snprintf(line, sizeof line, "%s -> %s:%d -> quorin\r\n", when, p.ip, p.port);
    cu_jitter_SetData(out, line, static_cast<int32_t>(strlen(line)));
  }
}

}  // extern "C"
