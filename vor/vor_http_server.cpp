#include "vor_http_server.h"

#include "cu_malloc.h"
#include "cu_sock.h"
#include "vor_http_filter_request.h"
#include "vor_http_internal.h"
#include "vor_kit.h"
#include "vor_sem_guard.h"

#include <new>
#include <unordered_map>

namespace {

constexpr char kUnit[] = "vor\\vor_http_server";
constexpr int32_t kSendBuffer = 32768;
constexpr int32_t kRecvBuffer = 524288;
// A connection that sends nothing for this long is closed, so a slow client cannot hold it.
constexpr uint32_t kIdleMs = 60000;

struct Client {
  int64_t sid = 0;
  int32_t timer = -1;  // the idle time-out, re-armed on every read
  vor_http_filter_request* parser = nullptr;
  vor_http_server_request_fn on_request = nullptr;
  void* ud_request = nullptr;
  vor_http_server_close_fn on_close = nullptr;
  void* ud_close = nullptr;
};

}  // namespace

struct vor_http_server {
  vor_box* box = nullptr;
  int64_t listen_sid = 0;
  uint16_t port = 0;
  vor_http_server_accept_fn on_accept = nullptr;
  void* ud = nullptr;
  std::unordered_map<int64_t, Client*> clients;
  std::unordered_map<int32_t, int64_t> timers;  // idle timer id -> sid
  uint32_t idle_ms = kIdleMs;
};

namespace {

void on_idle(void* handle, void* ud, int32_t id, int32_t count);
void on_read(void* handle, void* ud, int64_t sid, const char* data, int32_t len);
void on_close(void* handle, void* ud, int64_t sid);

Client* find(vor_http_server* s, int64_t sid) {
  const auto it = s->clients.find(sid);
  return it == s->clients.end() ? nullptr : it->second;
}

void delete_timer(vor_http_server* s, Client* c) {
  if (c->timer > 0) {
    vor_box_DeleteTimer(s->box, c->timer);
    s->timers.erase(c->timer);
  }
  c->timer = -1;
}

void arm_timer(vor_http_server* s, Client* c) {
  delete_timer(s, c);
  c->timer = vor_box_NewOnceTimer(s->box, s->idle_ms, on_idle, s);
  if (c->timer <= 0) return;
  try {
    s->timers.emplace(c->timer, c->sid);
  } catch (const std::bad_alloc&) {
    vor_box_DeleteTimer(s->box, c->timer);
    c->timer = -1;
  }
}

void destroy_client(vor_http_server* s, Client* c) {
  vor_box_DeleteSock(s->box, c->sid);
  delete_timer(s, c);
  vor_http_filter_request_free(c->parser);
  vor::destroy(c, kUnit);
}

// Tells the caller that the connection ended; the lock is released first.
void report_close(vor_http_server* s, Client* c, VorSemGuard& lock) {
  const auto fn = c->on_close;
  void* ud = c->ud_close;
  const int64_t sid = c->sid;
  lock.release();
  if (fn) fn(s, ud, sid);
}

void on_accept(void* handle, void* ud, int64_t, int64_t sid, const char* ip, uint16_t port) {
  auto* s = static_cast<vor_http_server*>(ud);
  VorSemGuard lock(s);
  if (!lock) {
    // The server went away: nobody will serve this connection.
    vor_box_DeleteSock(static_cast<vor_box*>(handle), sid);
    return;
  }
  if (vor_box_AcceptTcpClient(s->box, sid, on_read, s, on_close, s) <= 0) {
    vor_box_DeleteSock(s->box, sid);
    return;
  }
  cu_sock_set_send_buff(sid, kSendBuffer);
  cu_sock_set_recv_buff(sid, kRecvBuffer);
  const auto fn = s->on_accept;
  void* user = s->ud;
  lock.release();
  if (fn) fn(s, user, sid, ip, port);
}

void on_idle(void*, void* ud, int32_t id, int32_t) {
  auto* s = static_cast<vor_http_server*>(ud);
  VorSemGuard lock(s);
  if (!lock) return;
  const auto it = s->timers.find(id);
  if (it == s->timers.end()) return;
  Client* c = find(s, it->second);
  if (!c) return;
  delete_timer(s, c);
  vor_box_DeleteSock(s->box, c->sid);
  report_close(s, c, lock);
}

// Hands every complete request to the caller, re-checking the server and the client after
// each callback (it may delete either).
void deliver(vor_http_server* s, int64_t sid, VorSemGuard& lock) {
  for (;;) {
    Client* c = find(s, sid);
    if (!c) return;
    cu_jitter* body = nullptr;
    int32_t state = 0;
    vor_http_table* t = vor_http_filter_request_get(c->parser, &body, &state);
    if (!t) return;
    const auto fn = c->on_request;
    void* ud = c->ud_request;
    lock.release();
    if (fn) fn(s, ud, sid, t, body);
    vor_http_table_free(t);
    cu_jitter_free(body);
    if (!lock.relock(s)) return;
  }
}

void on_read(void*, void* ud, int64_t sid, const char* data, int32_t len) {
  auto* s = static_cast<vor_http_server*>(ud);
  VorSemGuard lock(s);
  if (!lock) return;
  Client* c = find(s, sid);
  if (!c) {
    vor_box_DeleteSock(s->box, sid);
    return;
  }
  arm_timer(s, c);
  if (!vor_http_filter_request_input(c->parser, data, len)) {
    // A refused request ends the connection: nothing after it can be framed.
    delete_timer(s, c);
    vor_box_DeleteSock(s->box, sid);
    report_close(s, c, lock);
    return;
  }
  deliver(s, sid, lock);
}

void on_close(void*, void* ud, int64_t sid) {
  auto* s = static_cast<vor_http_server*>(ud);
  VorSemGuard lock(s);
  if (!lock) return;
  Client* c = find(s, sid);
  if (!c) {
    vor_box_DeleteSock(s->box, sid);
    return;
  }
  delete_timer(s, c);
  report_close(s, c, lock);
}

}  // namespace

vor_http_server* vor_http_server_make(void) {
  auto* s = vor::make<vor_http_server>(kUnit);
  if (s && !__vor_sem_insert(s)) {
    vor::destroy(s, kUnit);
    return nullptr;
  }
  return s;
}

bool vor_http_server_attach(vor_box* box, vor_http_server* s, uint16_t port, vor_http_server_accept_fn on_accept_fn,
                            void* ud) {
  if (!s || !box || port == 0 || !on_accept_fn) return false;
  VorSemGuard lock(s);
  // One listener per server: a second one would stay open in the box after the server is freed.
  if (!lock || s->listen_sid > 0) return false;
  s->box = box;
  s->port = port;
  s->on_accept = on_accept_fn;
  s->ud = ud;
  s->listen_sid = vor_box_NewTcpServer(box, nullptr, port, on_accept, s);
  return s->listen_sid > 0;
}

bool vor_http_server_AcceptClient(vor_http_server* s, int64_t sid, vor_http_server_request_fn on_request,
                                  void* ud_request, vor_http_server_close_fn on_close, void* ud_close) {
  VorSemGuard lock(s);
  if (!lock || sid <= 0 || find(s, sid)) return false;
  auto* c = vor::make<Client>(kUnit, sid, -1, nullptr, on_request, ud_request, on_close, ud_close);
  if (!c) return false;
  c->parser = vor_http_filter_request_make();
  bool inserted = false;
  if (c->parser) {
    try {
      inserted = s->clients.emplace(sid, c).second;
    } catch (const std::bad_alloc&) {
    }
  }
  if (!inserted) {
    destroy_client(s, c);
    return false;
  }
  arm_timer(s, c);
  return true;
}

void vor_http_server_DeleteClient(vor_http_server* s, int64_t sid) {
  if (!s || sid <= 0) return;
  VorSemGuard lock(s);
  if (!lock) return;
  Client* c = find(s, sid);
  if (!c) {
    vor_box_DeleteSock(s->box, sid);
    return;
  }
  s->clients.erase(sid);
  destroy_client(s, c);
}

int32_t vor_http_server_NumClients(vor_http_server* s) {
  VorSemGuard lock(s);
  return lock ? static_cast<int32_t>(s->clients.size()) : 0;
}

void vor_http_server_free(vor_http_server* s) {
  VorSemGuard lock(s);
  if (!lock) return;
  __vor_sem_remove(s);
  if (s->box && s->listen_sid > 0) vor_box_DeleteSock(s->box, s->listen_sid);
  for (auto& [sid, c] : s->clients) destroy_client(s, c);
  vor::destroy(s, kUnit);
}

void vor::http_server::set_idle_timeout(vor_http_server* s, uint32_t ms) {
  VorSemGuard lock(s);
  if (lock && ms > 0) s->idle_ms = ms;
}
