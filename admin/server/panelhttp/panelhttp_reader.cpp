// Connections of the admin port: accept, the request reader, routing to the admin modules,
// and closing a connection now.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <new>
#include <string>

#include "cu_malloc.h"
#include "cu_sock.h"
#include "panelhttp_internal.h"
#include "vor_http_filter_request.h"

namespace vor::panelhttp {
namespace {

constexpr int32_t kFormLimit = 16384;

void on_read(vor_bigbox* bb, void* ud, int64_t sid, const char* data, int32_t len);
void on_peer_close(vor_bigbox*, void*, int64_t sid) { close_now(sid, false); }

VuvedConnection* make_connection(int64_t sid) {
  auto* conn = static_cast<VuvedConnection*>(calloc(1, sizeof(VuvedConnection)));
  if (!conn) return nullptr;
  conn->sid = sid;
  conn->parser = vor_http_filter_request_make();
  conn->tasks = make_tasks();
  if (!conn->parser || !conn->tasks) {
    vor_http_filter_request_free(conn->parser);
    free_tasks(conn);
    free(conn);
    return nullptr;
  }
  g_charge.fetch_add(kParserCharge, std::memory_order_relaxed);
  conn->owner_thread = vorx_box_GetThreadId(vor_bigbox_GetSlaveBox(bigbox(), sid));
  return conn;
}

// Accept walk: catch-all modules in load order, then the trees in key order; the first answer
// other than 1 stops the walk, and the connection is served either way.
void accept_walk(int64_t sid, const char* ip, uint16_t port) {
  panelhttp_server* s = ctx()->server;
  std::vector<const vuved_module_desc*> order(s->catch_all);
  for (auto* tree : {&s->uripaths, &s->filenames, &s->extnames}) {
    for (auto& [key, desc] : *tree) order.push_back(desc);
  }
  for (const vuved_module_desc* desc : order) {
    if (!desc->on_accept) continue;
    expect_unlocked();
    if (desc->on_accept(ctx(), sid, ip, port) != 1) return;
  }
}

// The module of the first key found among URL path, file name and extension; else the
// catch-all modules in load order until one answers other than 1.
uint8_t route(int64_t sid, vor_http_table* request, vor_http_table* form, RTParser* parser) {
  panelhttp_server* s = ctx()->server;
  const std::pair<std::map<std::string, const vuved_module_desc*>*, const char*> keys[] = {
      {&s->uripaths, RTParser_GetUriPath(parser)},
      {&s->filenames, RTParser_GetLocalFilename(parser)},
      {&s->extnames, RTParser_GetLocalExtname(parser)}};
  uint8_t result = 1;
  for (const auto& [tree, key] : keys) {
    auto it = tree->find(key);
    if (it == tree->end()) continue;
    if (it->second->on_request) {
      expect_unlocked();
      result = it->second->on_request(ctx(), sid, request, form, parser);
    }
    break;
  }
  for (size_t i = 0; result != 0 && i < s->catch_all.size(); ++i) {
    const vuved_module_desc* desc = s->catch_all[i];
    if (!desc->on_request) continue;
    expect_unlocked();
    result = desc->on_request(ctx(), sid, request, form, parser);
    if (result != 1) break;
  }
  return result;
}

vor_http_table* parse_form(cu_jitter* body) {
  const int32_t len = cu_jitter_GetLen(body);
  if (len <= 0) return vor_http_table_ParseFormStr("");
  const int32_t n = len < kFormLimit ? len : kFormLimit;
  std::string text(static_cast<size_t>(n), '\0');
  cu_jitter_PeekData(body, text.data(), n);
  return vor_http_table_ParseFormStr(text.c_str());
}

enum class Step { kNext, kStop, kClose };

// One complete request taken from the parser: mapped, routed, freed.
Step serve(int64_t sid, vor_http_table* request, cu_jitter* body) {
  vor_http_table* form = parse_form(body);
  cu_jitter_free(body);
  if (!form) {
    console("[quorin -> vuved] __c2s_read_callback -> vor_http_table_ParseFormStr return NULL!\n");
    vor_http_table_free(request);
    return Step::kClose;
  }
  RTParser* parser = RTParser_make(ctx(), request);
  if (!parser) {
    console("[quorin -> vuved] __c2s_read_callback -> RTParser_make return NULL!\n");
    vor_http_table_free(request);
    vor_http_table_free(form);
    panelhttp_Write404Status(sid, nullptr);
    panelhttp_close(sid, 1);
    return Step::kStop;
  }
  const uint8_t result = route(sid, request, form, parser);
  vor_http_table_free(request);
  vor_http_table_free(form);
  RTParser_free(parser);
  // Handled: requests already complete behind it wait for the next chunk.
  return result == 0 ? Step::kStop : Step::kNext;
}

// Under the lock: feeds the chunk and takes the next complete request, or says why not.
enum class Take { kRequest, kNone, kRefused, kFormTooLong, kNotComplete };
Take feed(int64_t sid, const char* data, int32_t len, vor_http_table** request, cu_jitter** body) {
  ServerLock lock;
  VuvedConnection* conn = find_connection(sid);
  if (!conn) return Take::kNone;
  if (data) {
    if (!conn->owner_thread) conn->owner_thread = gettid();
    if (!vor_http_filter_request_input(conn->parser, data, len)) return Take::kRefused;
    vor_http_table* first = nullptr;
    cu_jitter* first_body = nullptr;
    int32_t state = 0;
    if (vor_http_filter_request_peek(conn->parser, &first, &first_body, &state) && state == 12 &&
        static_cast<uint32_t>(cu_jitter_GetLen(first_body)) > g_settings.max_formsize) {
      return Take::kFormTooLong;
    }
  }
  int32_t state = 0;
  *request = vor_http_filter_request_get(conn->parser, body, &state);
  if (!*request) return Take::kNone;
  return state == 13 ? Take::kRequest : Take::kNotComplete;
}

void on_read(vor_bigbox* bb, void*, int64_t sid, const char* data, int32_t len) {
  g_recv_bytes.fetch_add(len, std::memory_order_relaxed);
  const char* chunk = data;
  while (true) {
    vor_http_table* request = nullptr;
    cu_jitter* body = nullptr;
    const Take take = feed(sid, chunk, len, &request, &body);
    chunk = nullptr;
    switch (take) {
      case Take::kNone:
        return;
      case Take::kRefused: {
        char ip[64] = "";
        uint16_t port = 0;
        if (vor_bigbox_GetSockIP(bb, sid, ip, sizeof ip - 1, &port)) {
          console("[quorin -> vuved] __c2s_read_callback -> vor_http_filter_request_input() error(%s:%u)!\n", ip,
                  port);
        }
        close_now(sid, true);
        return;
      }
      case Take::kFormTooLong:
        close_now(sid, true);
        return;
      case Take::kNotComplete:
        console("[quorin -> vuved] __c2s_read_callback -> status -> not recved content!\n");
        vor_http_table_free(request);
        cu_jitter_free(body);
        close_now(sid, true);
        return;
      case Take::kRequest:
        break;
    }
    const Step step = serve(sid, request, body);
    if (step == Step::kClose) close_now(sid, true);
    if (step != Step::kNext) return;
  }
}

void free_connection(VuvedConnection* conn, vor_box* box) {
  if (conn->close_timer > 0) vor_box_DeleteTimer(box, conn->close_timer);
  if (conn->force_timer > 0) vor_box_DeleteTimer(box, conn->force_timer);
  vor_bigbox_DeleteSock(bigbox(), conn->sid);
  vor_http_filter_request_free(conn->parser);
  g_charge.fetch_sub(kParserCharge, std::memory_order_relaxed);
  free_tasks(conn);
  free(conn);
}

}  // namespace

VuvedConnection* find_connection(int64_t sid) {
  panelhttp_ctx* c = ctx();
  if (!c || !c->server) return nullptr;
  auto it = c->server->connections.find(sid);
  return it == c->server->connections.end() ? nullptr : it->second;
}

void on_accept(vor_bigbox* bb, void*, int64_t, int64_t sid, const char* ip, uint16_t port) {
  {
    ServerLock lock;
    if (!vor_bigbox_accept_WithPause(bb, sid, ip, port, on_read, ctx(), on_peer_close, ctx())) {
      vor_bigbox_DeleteSock(bb, sid);
      return;
    }
    VuvedConnection* conn = make_connection(sid);
    if (!conn || !ctx()->server->connections.emplace(sid, conn).second) {
      vor_bigbox_DeleteSock(bb, sid);
      if (conn) {
        vor_http_filter_request_free(conn->parser);
        g_charge.fetch_sub(kParserCharge, std::memory_order_relaxed);
        free_tasks(conn);
        free(conn);
      }
      return;
    }
  }
  if (g_settings.tcp_nodelay) cu_sock_set_nondelay(sid);
  cu_sock_set_send_buff(sid, g_settings.tcp_send_buff);
  cu_sock_set_recv_buff(sid, g_settings.tcp_recv_buff);
  accept_walk(sid, ip, port);
  ServerLock lock;
  if (find_connection(sid) && !vorx_bigbox_start_ForRead(bb, sid)) panelhttp_ForceClose(sid);
}

void close_now(int64_t sid, bool look_first) {
  if (look_first) {
    ServerLock lock;
    if (!find_connection(sid)) return;
  }
  for_each_module([sid](const vuved_module_desc* desc) {
    if (!desc->on_close) return;
    expect_unlocked();
    desc->on_close(ctx(), sid);
  });
  ServerLock lock;
  VuvedConnection* conn = find_connection(sid);
  if (!conn) return;
  ctx()->server->connections.erase(sid);
  free_connection(conn, vor_bigbox_GetSlaveBox(bigbox(), sid));
}

}  // namespace vor::panelhttp

using namespace vor::panelhttp;

VuvedConnection* panelhttp_GetClient_BySid(int64_t sid) {
  ServerLock lock;
  return find_connection(sid);
}

int32_t panelhttp_GetNumOfConnections(void) {
  if (!ctx() || !ctx()->server) return 0;
  ServerLock lock;
  return static_cast<int32_t>(ctx()->server->connections.size());
}
