#include "vor_proxy.h"

#include "cu_malloc.h"
#include "cu_sock.h"
#include "cu_util.h"
#include "vor_http_internal.h"
#include "vor_sem_guard.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr char kUnit[] = "vor\\vor_proxy";
constexpr uint32_t kTimeoutMs = 15000;
constexpr int32_t kBuffer = 1048576;
constexpr int32_t kAnswerLimit = 1024;  // the answer head holds at most 1,023 bytes
constexpr int32_t kFullReadLen = 10240;
constexpr size_t kHostChars = 128;
constexpr size_t kUserChars = 64;

}  // namespace

struct vor_proxy_http {
  vor_box* box;
  int64_t sid;
  int32_t timer;
  char proxy_host[130];
  uint16_t proxy_port;
  char user[65];
  char pass[65];
  char target_host[130];
  uint16_t target_port;
  vor_proxy_http_sock_fn on_established;
  void* ud_established;
  vor_proxy_http_sock_fn on_failed;
  void* ud_failed;
  vor_proxy_http_data_fn on_data;
  void* ud_data;
  vor_proxy_http_sock_fn on_close;
  void* ud_close;
  char text[2052];
  int32_t answer_len;
  uint8_t established;
  uint32_t timeout_ms;
};

namespace {

void copy_cut(char* field, size_t chars, const char* text) {
  const size_t n = text ? strnlen(text, chars) : 0;
  if (n) std::memcpy(field, text, n);
  field[n] = '\0';
}

// A host name goes into the request line and head as it stands: no byte that would end or
// split them, and no silent cut to another name.
bool is_safe_host(const char* host) {
  if (!host || !host[0] || strnlen(host, kHostChars + 1) > kHostChars) return false;
  for (const char* p = host; *p; ++p) {
    if (*p == '\r' || *p == '\n' || *p == ' ' || *p == '\t') return false;
  }
  return true;
}

void delete_timer(vor_proxy_http* p) {
  if (p->timer > 0) vor_box_DeleteTimer(p->box, p->timer);
  p->timer = -1;
}

void close_connection(vor_proxy_http* p) {
  vor_box_DeleteSock(p->box, p->sid);
  p->sid = -1;
}

void fail(vor_proxy_http* p, VorSemGuard& lock, int64_t sid) {
  delete_timer(p);
  const auto fn = p->on_failed;
  void* ud = p->ud_failed;
  lock.release();
  if (fn) fn(ud, sid);
}

std::string connect_request(const vor_proxy_http* p) {
  char head[1024];
  std::snprintf(head, sizeof head,
                "CONNECT %s:%d HTTP/1.0\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1; Alexa "
                "Toolbar)\r\nProxy-Connection: Keep-Alive\r\nContent-Length: 0\r\nHost: %s:%d\r\nPragma: no-cache\r\n",
                p->target_host, p->target_port, p->target_host, p->target_port);
  std::string out = head;
  if (p->user[0]) {
    const std::string credentials = std::string(p->user) + ":" + p->pass;
    char encoded[256];
    const int32_t n = cu_base64_encode(encoded, credentials.data(), static_cast<int32_t>(credentials.size()));
    if (n > 0) out += "Proxy-Authorization: Basic " + std::string(encoded, static_cast<size_t>(n)) + "\r\n";
  }
  return out + "\r\n";
}

void on_connected(void*, void* ud, int64_t sid) {
  auto* p = static_cast<vor_proxy_http*>(ud);
  VorSemGuard lock(p);
  if (!lock || sid != p->sid) return;
  cu_sock_set_send_buff(sid, kBuffer);
  cu_sock_set_recv_buff(sid, kBuffer);
  // The answer head is read byte by byte so that no tunnelled byte after it is taken in.
  vorx_box_SetMaxReadLen(p->box, sid, 1);
  std::printf("info: connect to proxy server(%s:%d) OK!\n", p->proxy_host, p->proxy_port);
  const std::string request = connect_request(p);
  copy_cut(p->text, sizeof p->text - 1, request.c_str());
  vor_box_TcpWrite(p->box, sid, request.data(), static_cast<int32_t>(request.size()));
}

// "HTTP/" major (not 0) "." minor, a blank, the status, a blank.
int status_of(const char* answer) {
  if (std::strncmp(answer, "HTTP/", 5) != 0) return -1;
  const char* q = answer + 5;
  const char* major = q;
  while (*q >= '0' && *q <= '9') ++q;
  if (q == major || std::strtol(major, nullptr, 10) == 0 || *q++ != '.') return -1;
  const char* minor = q;
  while (*q >= '0' && *q <= '9') ++q;
  if (q == minor || *q++ != ' ') return -1;
  const char* status = q;
  while (*q >= '0' && *q <= '9') ++q;
  if (q == status || q - status > 3 || *q != ' ') return -1;
  return static_cast<int>(std::strtol(status, nullptr, 10));
}

void pass_on(vor_proxy_http* p, VorSemGuard& lock, int64_t sid, const char* data, int32_t len) {
  const auto fn = p->on_data;
  void* ud = p->ud_data;
  lock.release();
  if (fn && len > 0) fn(ud, sid, data, len);
}

// Takes answer bytes up to the end of the head; answers how many were taken, -1 when too long.
int32_t take_answer(vor_proxy_http* p, const char* data, int32_t len) {
  for (int32_t i = 0; i < len; ++i) {
    if (p->answer_len + 1 >= kAnswerLimit) {
      std::printf("error: return request too long(%d)!\n", p->answer_len + 1);
      return -1;
    }
    p->text[p->answer_len++] = data[i];
    p->text[p->answer_len] = '\0';
    if (p->answer_len >= 4 && std::memcmp(p->text + p->answer_len - 4, "\r\n\r\n", 4) == 0) return i + 1;
  }
  return len;
}

void on_read(void*, void* ud, int64_t sid, const char* data, int32_t len) {
  auto* p = static_cast<vor_proxy_http*>(ud);
  VorSemGuard lock(p);
  if (!lock || sid != p->sid) return;
  if (p->established) return pass_on(p, lock, sid, data, len);
  if (p->answer_len == 0) p->text[0] = '\0';
  const int32_t taken = take_answer(p, data, len);
  if (taken < 0) {
    close_connection(p);
    return fail(p, lock, sid);
  }
  if (std::strstr(p->text, "\r\n\r\n") == nullptr) return;
  if (status_of(p->text) != 200) {
    std::printf("%s", "error: return request status error!\n");
    close_connection(p);
    return fail(p, lock, sid);
  }
  delete_timer(p);
  vorx_box_SetMaxReadLen(p->box, sid, kFullReadLen);
  p->established = 1;
  const auto fn = p->on_established;
  void* user = p->ud_established;
  lock.release();
  if (fn) fn(user, sid);
  if (taken < len && lock.relock(p) && p->sid == sid) pass_on(p, lock, sid, data + taken, len - taken);
}

void on_failed(void*, void* ud, int64_t sid) {
  auto* p = static_cast<vor_proxy_http*>(ud);
  VorSemGuard lock(p);
  if (!lock || sid != p->sid) return;
  fail(p, lock, sid);
}

void on_timeout(void*, void* ud, int32_t id, int32_t) {
  auto* p = static_cast<vor_proxy_http*>(ud);
  VorSemGuard lock(p);
  if (!lock || id != p->timer) return;
  const int64_t sid = p->sid;
  close_connection(p);
  fail(p, lock, sid);
}

void on_close(void*, void* ud, int64_t sid) {
  auto* p = static_cast<vor_proxy_http*>(ud);
  VorSemGuard lock(p);
  if (!lock || sid != p->sid) return;
  delete_timer(p);
  const auto fn = p->on_close;
  void* user = p->ud_close;
  lock.release();
  if (fn) fn(user, sid);
}

}  // namespace

vor_proxy_http* vor_proxy_http_make(void) {
  auto* p = static_cast<vor_proxy_http*>(_cu_calloc(1, sizeof(vor_proxy_http), kUnit, __LINE__));
  if (!p) return nullptr;
  p->sid = -1;
  p->timer = -1;
  p->timeout_ms = kTimeoutMs;
  if (!__vor_sem_insert(p)) {
    _cu_free(p, kUnit, __LINE__);
    return nullptr;
  }
  return p;
}

bool vor_proxy_http_attach(vor_box* box, vor_proxy_http* p, const char* proxy_host, uint16_t proxy_port,
                           const char* user, const char* pass, const char* target_host, uint16_t target_port,
                           vor_proxy_http_sock_fn on_established, void* ud_established,
                           vor_proxy_http_sock_fn on_failed_fn, void* ud_failed, vor_proxy_http_data_fn on_data,
                           void* ud_data, vor_proxy_http_sock_fn on_close_fn, void* ud_close) {
  VorSemGuard lock(p);
  if (!lock || !box || !is_safe_host(proxy_host) || !is_safe_host(target_host)) return false;
  // A record attached again drops its earlier tunnel rather than leaving it open in the box.
  if (p->box) {
    if (p->sid > 0) close_connection(p);
    delete_timer(p);
  }
  p->box = box;
  copy_cut(p->proxy_host, kHostChars, proxy_host);
  copy_cut(p->target_host, kHostChars, target_host);
  copy_cut(p->user, kUserChars, user);
  copy_cut(p->pass, kUserChars, pass);
  p->proxy_port = proxy_port;
  p->target_port = target_port;
  p->on_established = on_established;
  p->ud_established = ud_established;
  p->on_failed = on_failed_fn;
  p->ud_failed = ud_failed;
  p->on_data = on_data;
  p->ud_data = ud_data;
  p->on_close = on_close_fn;
  p->ud_close = ud_close;
  p->text[0] = '\0';
  p->answer_len = 0;
  p->established = 0;
  p->sid = vor_box_NewTcpClient(box, p->proxy_host, proxy_port, on_connected, p, on_failed, p, on_read, p, on_close,
                                p);
  if (p->sid <= 0) {
    p->sid = -1;
    return false;
  }
  p->timer = vor_box_NewOnceTimer(box, p->timeout_ms, on_timeout, p);
  if (p->timer <= 0) {
    p->timer = -1;
    close_connection(p);
    return false;
  }
  return true;
}

void vor_proxy_http_free(vor_proxy_http* p) {
  VorSemGuard lock(p);
  if (!lock) return;
  __vor_sem_remove(p);
  if (p->box && p->sid > 0) close_connection(p);
  if (p->box) delete_timer(p);
  _cu_free(p, kUnit, __LINE__);
}

void vor::proxy::set_timeout(vor_proxy_http* p, uint32_t ms) {
  VorSemGuard lock(p);
  if (lock && ms > 0) p->timeout_ms = ms;
}
