#include "vor_http_request.h"

#include "cu_lib.h"
#include "cu_malloc.h"
#include "cu_sock.h"
#include "vor_http_filter_internal.h"
#include "vor_http_internal.h"
#include "vor_kit.h"
#include "vor_sem_guard.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace {

constexpr char kUnit[] = "vor\\vor_http_request";
constexpr uint32_t kTimeoutMs = 30000;
constexpr int32_t kSendBuffer = 131072;
constexpr int32_t kRecvBuffer = 1048576;

}  // namespace

struct vor_http_request {
  vor_box* box = nullptr;
  int64_t sid = 0;
  int32_t timer = 0;
  vor_http_table* table = nullptr;
  vor_uri* uri = nullptr;
  char* proxy_host = nullptr;
  uint16_t proxy_port = 0;
  vor_http_request_sock_fn reserved = nullptr;
  void* ud_reserved = nullptr;
  vor_http_request_sock_fn on_failed = nullptr;
  void* ud_failed = nullptr;
  vor_http_request_response_fn on_response = nullptr;
  void* ud_response = nullptr;
  vor_http_request_sock_fn on_close = nullptr;
  void* ud_close = nullptr;
  vor_http_filter_response* parser = nullptr;
  uint32_t timeout_ms = kTimeoutMs;
  bool answered = false;  // the final response was delivered: no time-out, no more bytes
};

namespace {

void on_timeout(void* handle, void* ud, int32_t id, int32_t count);

void delete_timer(vor_http_request* r) {
  if (r->timer > 0) vor_box_DeleteTimer(r->box, r->timer);
  r->timer = -1;
}

// The idle time-out starts again with every byte that arrives.
void arm_timer(vor_http_request* r) {
  delete_timer(r);
  r->timer = vor_box_NewOnceTimer(r->box, r->timeout_ms, on_timeout, r);
}

// Parses the URL as the client takes it: a missing scheme means http.
vor_uri* checked_uri(const char* url) {
  vor_uri* u = url ? vor_uri_malloc(url) : nullptr;
  if (!u) {
    std::printf("error: url(%s) error 1!\n", url ? url : "(null)");
    return nullptr;
  }
  if (!vor_uri_GetHost(u)) {
    vor_uri_free(u);
    const std::string with_scheme = std::string("http://") + url;
    u = vor_uri_malloc(with_scheme.c_str());
    if (!u) {
      std::printf("error: url(%s) error 3!\n", url);
      return nullptr;
    }
    if (!vor_uri_GetScheme(u) || !vor_uri_GetHost(u)) {
      std::printf("error: url(%s) error 4!\n", url);
      vor_uri_free(u);
      return nullptr;
    }
  }
  const char* scheme = vor_uri_GetScheme(u);
  if (scheme && cu_stricmp(scheme, "http") != 0) {
    std::printf("error: url(%s) error 5!\n", url);
    vor_uri_free(u);
    return nullptr;
  }
  return u;
}

// The Host field: the host, and the port when it is not 80 (an IPv6 literal in brackets).
std::string host_field(const vor_uri* u) {
  const std::string host = vor_uri_GetHost(u);
  std::string out = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  const uint16_t port = vor_uri_GetPort(u);
  if (port != 0 && port != 80) out += ":" + std::to_string(port);
  return out;
}

struct DefaultField {
  const char* name;
  const char* value;
};

constexpr DefaultField kDefaultFields[] = {
    {"User-Agent", "Mozilla/5.0 (compatible; MSIE6.0; MSIE 7.0; Windows NT 5.1) Gecko/20071127"},
    {"Accept",
     "text/xml,application/xml,application/xhtml+xml,text/html;q=0.9,text/plain;q=0.8,image/gif,image/x-xbitmap,"
     "image/jpeg,image/png,*/*;q=0.5"},
    {"Accept-Language", "zh-cn,zh;q=0.5"},
    {"Accept-Charset", "GB2312,utf-8;q=0.7,*;q=0.7"},
    {"Keep-Alive", "300"},
    {"Connection", "Keep-Alive"},
};

using Table = vor::Owned<vor_http_table, vor_http_table_free>;
using Text = vor::Owned<char, vor::free_as<kUnit>>;

// The request as written: defaults first, then the caller's fields and forms in their order.
Table build_request(vor_http_request* r) {
  Table t(vor_http_table_make());
  if (!t) return nullptr;
  const char* method = vor_http_table_GetMethod(r->table);
  Text target(vor_uri_GetURIRequest(r->uri));
  if (!target || !vor_http_table_SetMethod(t.get(), method ? method : "GET") ||
      !vor_http_table_SetRequest(t.get(), target.get()) ||
      !vor_http_table_SetField(t.get(), "Host", host_field(r->uri).c_str())) {
    return nullptr;
  }
  for (const auto& f : kDefaultFields) {
    if (!vor_http_table_SetField(t.get(), f.name, f.value)) return nullptr;
  }
  const char *name = nullptr, *value = nullptr, *decoded = nullptr;
  vor_http_table_RewindField(r->table);
  while (vor_http_table_GetNextField(r->table, &name, &value)) {
    if (!vor_http_table_SetField(t.get(), name, value)) return nullptr;
  }
  vor_http_table_RewindForm(r->table);
  while (vor_http_table_GetNextForm(r->table, &name, &value, &decoded)) {
    if (!vor_http_table_SetForm(t.get(), name, decoded)) return nullptr;
  }
  return t;
}

void write_text(vor_http_request* r, const char* text) {
  if (text) vor_box_TcpWrite(r->box, r->sid, text, static_cast<int32_t>(std::strlen(text)));
}

void on_connected(void*, void* ud, int64_t sid) {
  auto* r = static_cast<vor_http_request*>(ud);
  VorSemGuard lock(r);
  if (!lock || sid != r->sid) return;
  cu_sock_set_send_buff(sid, kSendBuffer);
  cu_sock_set_recv_buff(sid, kRecvBuffer);
  Table t = build_request(r);
  if (!t) return;
  vor::http_filter::set_request_method(r->parser, vor_http_table_GetMethod(t.get()));
  Text head(vor_http_table_GetHeaderStr(t.get()));
  write_text(r, head.get());
  if (vor_http_table_GetFormStrLen(t.get()) > 0) {
    Text form(vor_http_table_GetFormStr(t.get()));
    write_text(r, form.get());
  }
}

// Ends the request with the failure callback; the lock is released before it runs.
void fail(vor_http_request* r, VorSemGuard& lock, int64_t sid) {
  delete_timer(r);
  const auto fn = r->on_failed;
  void* ud = r->ud_failed;
  vor_box* box = r->box;
  lock.release();
  if (fn) fn(ud, box, sid);
}

void close_connection(vor_http_request* r) {
  vor_box_DeleteSock(r->box, r->sid);
  r->sid = -1;
}

void on_failed(void*, void* ud, int64_t sid) {
  auto* r = static_cast<vor_http_request*>(ud);
  VorSemGuard lock(r);
  if (!lock || sid != r->sid) return;
  fail(r, lock, sid);
}

void on_timeout(void*, void* ud, int32_t id, int32_t) {
  auto* r = static_cast<vor_http_request*>(ud);
  VorSemGuard lock(r);
  if (!lock || id != r->timer) return;
  const int64_t sid = r->sid;
  close_connection(r);
  fail(r, lock, sid);
}

// Hands every piece the parser has to the caller; false when the record went away meanwhile.
bool deliver(vor_http_request* r, VorSemGuard& lock, int64_t sid) {
  for (;;) {
    cu_jitter* body = nullptr;
    int32_t state = 0;
    Table head(vor_http_filter_response_get(r->parser, &body, &state));
    if (!head) return true;
    if (state == 13 && vor_http_table_GetStatusValue(head.get()) >= 200) {
      r->answered = true;
      delete_timer(r);
    }
    Text url(vor_uri_GetURIString(r->uri));
    const auto fn = r->on_response;
    void* ud = r->ud_response;
    vor_box* box = r->box;
    lock.release();
    if (fn) fn(ud, box, sid, url.get(), head.get(), body, state);
    cu_jitter_free(body);
    if (!lock.relock(r) || r->answered) return false;
  }
}

void on_read(void*, void* ud, int64_t sid, const char* data, int32_t len) {
  auto* r = static_cast<vor_http_request*>(ud);
  VorSemGuard lock(r);
  if (!lock || sid != r->sid || r->answered) return;
  arm_timer(r);
  if (!vor_http_filter_response_input(r->parser, data, len)) {
    close_connection(r);
    fail(r, lock, sid);
    return;
  }
  deliver(r, lock, sid);
}

void on_close(void*, void* ud, int64_t sid) {
  auto* r = static_cast<vor_http_request*>(ud);
  VorSemGuard lock(r);
  if (!lock || sid != r->sid) return;
  delete_timer(r);
  const auto fn = r->on_close;
  void* ud_close = r->ud_close;
  vor_box* box = r->box;
  lock.release();
  if (fn) fn(ud_close, box, sid);
}

// Steps 2 to 6 of an attach under the lock; false leaves the record for the caller to free.
bool start(vor_http_request* r, const char* url, const char* proxy_host, uint16_t proxy_port) {
  if (!(r->uri = checked_uri(url))) {
    std::printf("%s", "error: http 'URL' parse error in vorx_http_request_make()!\n");
    return false;
  }
  if (proxy_host && !(r->proxy_host = cu_strdup(proxy_host))) return false;
  r->proxy_port = proxy_port;
  if (!(r->parser = vor_http_filter_response_make())) return false;
  const char* host = r->proxy_host ? r->proxy_host : vor_uri_GetHost(r->uri);
  const uint16_t port = r->proxy_host ? r->proxy_port : (vor_uri_GetPort(r->uri) ? vor_uri_GetPort(r->uri) : 80);
  r->sid = vor_box_NewTcpClient(r->box, host, port, on_connected, r, on_failed, r, on_read, r, on_close, r);
  if (r->sid <= 0) {
    std::printf(r->proxy_host ? "error: proxy '%s:%d' error in vorx_http_request_make()!\n"
                              : "error: host '%s:%d' error in vorx_http_request_make()!\n",
                host, port);
    r->sid = -1;
    return false;
  }
  arm_timer(r);
  return r->timer > 0;
}

void destroy(vor_http_request* r) {
  if (r->box && r->sid > 0) vor_box_DeleteSock(r->box, r->sid);
  if (r->box) delete_timer(r);
  _cu_free(r->proxy_host, kUnit, __LINE__);
  vor_uri_free(r->uri);
  vor_http_filter_response_free(r->parser);
  vor_http_table_free(r->table);
  vor::destroy(r, kUnit);
}

}  // namespace

vor_http_request* vor_http_request_make(void) {
  auto* r = vor::make<vor_http_request>(kUnit);
  if (!r) return nullptr;
  if (!(r->table = vor_http_table_make()) || !__vor_sem_insert(r)) {
    vor_http_table_free(r->table);
    vor::destroy(r, kUnit);
    return nullptr;
  }
  return r;
}

bool vorx_http_request_attach(vor_box* box, void*, vor_http_request* r, const char* url, const char* proxy_host,
                              uint16_t proxy_port, vor_http_request_sock_fn reserved, void* ud_reserved,
                              vor_http_request_sock_fn on_failed_fn, void* ud_failed,
                              vor_http_request_response_fn on_response, void* ud_response,
                              vor_http_request_sock_fn on_close_fn, void* ud_close) {
  if (!box || !url || !r) return false;
  VorSemGuard lock(r);
  // A record serves one request: a second attach would orphan the first connection and its parser.
  if (!lock || r->box) return false;
  r->box = box;
  r->reserved = reserved;
  r->ud_reserved = ud_reserved;
  r->on_failed = on_failed_fn;
  r->ud_failed = ud_failed;
  r->on_response = on_response;
  r->ud_response = ud_response;
  r->on_close = on_close_fn;
  r->ud_close = ud_close;
  if (start(r, url, proxy_host, proxy_port)) return true;
  lock.release();
  vor_http_request_free(r);
  return false;
}

bool vor_http_request_attach(vor_box* box, void* ignored, vor_http_request* r, const char* url,
                             vor_http_request_sock_fn reserved, void* ud_reserved, vor_http_request_sock_fn on_failed_fn,
                             void* ud_failed, vor_http_request_response_fn on_response, void* ud_response,
                             vor_http_request_sock_fn on_close_fn, void* ud_close) {
  return vorx_http_request_attach(box, ignored, r, url, nullptr, 0, reserved, ud_reserved, on_failed_fn, ud_failed,
                                  on_response, ud_response, on_close_fn, ud_close);
}

void vor_http_request_SetMethod(vor_http_request* r, const char* method) {
  VorSemGuard lock(r);
  if (lock) vor_http_table_SetMethod(r->table, method);
}

void vor_http_request_SetField(vor_http_request* r, const char* name, const char* value) {
  VorSemGuard lock(r);
  if (lock) vor_http_table_SetField(r->table, name, value);
}

void vor_http_request_UnsetField(vor_http_request* r, const char* name) {
  VorSemGuard lock(r);
  if (lock && name) vor_http_table_UnsetField(r->table, name);
}

void vor_http_request_SetForm(vor_http_request* r, const char* name, const char* value) {
  VorSemGuard lock(r);
  if (lock) vor_http_table_SetForm(r->table, name, value);
}

void vor_http_request_UnsetForm(vor_http_request* r, const char* name) {
  VorSemGuard lock(r);
  if (lock && name) vor_http_table_UnsetForm(r->table, name);
}

vor_uri* vor_http_request_GetUri_in(vor_http_request* r) {
  VorSemGuard lock(r);
  return lock ? r->uri : nullptr;
}

vor_uri* vor_http_request_GetUri(vor_http_request* r) {
  VorSemGuard lock(r);
  return lock ? vor_uri_clone(r->uri) : nullptr;
}

char* vor_http_request_GetUrl(vor_http_request* r) {
  VorSemGuard lock(r);
  return lock ? vor_uri_GetURIString(r->uri) : nullptr;
}

vor_box* vor_http_request_GetBox(vor_http_request* r) {
  VorSemGuard lock(r);
  return lock ? r->box : nullptr;
}

void vor_http_request_free(vor_http_request* r) {
  VorSemGuard lock(r);
  if (!lock) return;
  __vor_sem_remove(r);
  destroy(r);
}

void vor::http_request::set_timeout(vor_http_request* r, uint32_t ms) {
  VorSemGuard lock(r);
  if (lock && ms > 0) r->timeout_ms = ms;
}
