// Canned response pages: a status line, a fixed set of headers and, except for redirects, a
// short HTML page naming the host and the time. Head and body are built into one buffer and
// handed to the memory writer in one call, holding no lock: the writer's own checks (known sid,
// no force close) stand for the page's, and no hook ever runs under a lock taken here.
#include <string.h>
#include <time.h>

#include <string>

#include "cu_date.h"
#include "cu_lib.h"
#include "cu_util.h"
#include "edgeserv_internal.h"

namespace edge {
namespace {

struct PageKind {
  const char* number;  // "" for the 200 page, which names no number
  const char* status_line;
  const char* default_text;
  bool content_type;
  bool no_cache;
};

const PageKind k200 = {"", "HTTP/1.1 200 OK\r\n", "Welcome To Quorin!", true, true};
const PageKind k400 = {"400", "HTTP/1.1 400 Bad Request\r\n", "Bad Request", true, false};
const PageKind k403 = {"403", "HTTP/1.1 403 Forbidden\r\n", "Forbidden", true, false};
const PageKind k404 = {"404", "HTTP/1.1 404 Not Found\r\n", "Not Found", true, false};
const PageKind k405 = {"405", "HTTP/1.1 405 Method Not Allowed\r\n", "Method Not Allowed", true, false};
const PageKind k408 = {"408", "HTTP/1.1 408 Request Time-out\r\n", "Request Time-out", true, false};
const PageKind k409 = {"409", "HTTP/1.1 409 Conflict\r\n", "Conflict", true, false};
const PageKind k500 = {"500", "HTTP/1.1 500 Internal Server Error\r\n", "Internal Server Error", true, false};
const PageKind k502 = {"502", "HTTP/1.1 502 Bad Gateway\r\n", "Bad Gateway", true, false};
const PageKind k503 = {"503", "HTTP/1.1 503 Service Temporarily Unavailable\r\n", "Service Temporarily Unavailable",
                       false, false};

std::string gmt_date(int64_t now) {
  char buf[64] = "";
  cu_GetGMTString2(now, buf, sizeof buf);
  return buf;
}

std::string local_date(int64_t now) {
  struct tm t {};
  char buf[64] = "";
  if (cu_localtime(&now, &t))
    snprintf(buf, sizeof buf, "%d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
             t.tm_min, t.tm_sec);
  return buf;
}

std::string numbered(const PageKind& kind, const char* text) {
  return *kind.number ? std::string(kind.number) + " " + text : std::string(text);
}

std::string html_body(const PageKind& kind, const char* title, const char* text, int64_t now) {
  return "<html>\r\n<head><title>" + numbered(kind, title) + "</title></head>\r\n<body bgcolor=\"white\">\r\n" +
         "<center><h3>" + numbered(kind, text) + "</h3>\r\n<small>Server: " + host_name() +
         "<br/>Date: " + local_date(now) + "<br/></small><hr/>\r\n<small>" + kServerToken +
         "</small></center>\r\n</body>\r\n</html>";
}

void write_page(int64_t sid, const std::string& page) {
  edgeserv_WriteJitter(sid, page.data(), static_cast<int32_t>(page.size()));
}

void html_page(int64_t sid, const PageKind& kind, const char* title, const char* text) {
  const int64_t now = edgeserv_mytime();
  const std::string body =
      html_body(kind, title ? title : kind.default_text, text ? text : kind.default_text, now);
  std::string page = kind.status_line;
  if (kind.content_type) page += "Content-Type: text/html\r\n";
  page += "Connection: close\r\n";
  if (kind.no_cache) page += "X-NoCache: this\r\n";
  page += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  page += "Date: " + gmt_date(now) + "\r\n";
  page += std::string("X-Via: ") + edgeserv_XFlag() + "\r\n\r\n";
  page += body;
  write_page(sid, page);
}

bool starts_with_nocase(const char* text, const char* prefix) {
  return cu_strnicmp(text, prefix, strlen(prefix)) == 0;
}

void redirect(int64_t sid, const char* status_line, const char* location) {
  if (!location) location = "";
  // A CR or LF would end the Location line early and let the rest inject headers or a body.
  if (strpbrk(location, "\r\n")) {
    html_page(sid, k400, nullptr, nullptr);
    return;
  }
  const bool as_given = starts_with_nocase(location, "http://") || starts_with_nocase(location, "https://") ||
                        location[0] == '.' || location[0] == '/';
  std::string page = status_line;
  page += "Content-Length: 0\r\nConnection: Keep-Alive\r\nX-NoCache: this\r\n";
  page += "Date: " + gmt_date(edgeserv_mytime()) + "\r\n";
  page += std::string("Location: ") + (as_given ? "" : "http://") + location + "\r\n";
  page += std::string("X-Via: ") + edgeserv_XFlag() + "\r\n\r\n";
  write_page(sid, page);
}

}  // namespace
}  // namespace edge

using namespace edge;

extern "C" {

void edgeserv_return200(int64_t sid, const char* title, const char* text) { html_page(sid, k200, title, text); }
void edgeserv_return400(int64_t sid, const char* title, const char* text) { html_page(sid, k400, title, text); }
void edgeserv_return403(int64_t sid, const char* title, const char* text) { html_page(sid, k403, title, text); }
void edgeserv_return404(int64_t sid, const char* title, const char* text) { html_page(sid, k404, title, text); }
void edgeserv_return405(int64_t sid, const char* title, const char* text) { html_page(sid, k405, title, text); }
void edgeserv_return408(int64_t sid, const char* title, const char* text) { html_page(sid, k408, title, text); }
void edgeserv_return409(int64_t sid, const char* title, const char* text) { html_page(sid, k409, title, text); }
void edgeserv_return500(int64_t sid, const char* title, const char* text) { html_page(sid, k500, title, text); }
void edgeserv_return502(int64_t sid, const char* title, const char* text) { html_page(sid, k502, title, text); }
void edgeserv_return503(int64_t sid, const char* title, const char* text) { html_page(sid, k503, title, text); }

void edgeserv_return301(int64_t sid, const char* location) {
  redirect(sid, "HTTP/1.1 301 Moved Permanently\r\n", location);
}
void edgeserv_return302(int64_t sid, const char* location) {
  redirect(sid, "HTTP/1.1 302 Move Temporarily\r\n", location);
}
void edgeserv_return30X(int64_t sid, const char* location) {
  if (flags().redirect_301.load(std::memory_order_relaxed))
    edgeserv_return301(sid, location);
  else
    edgeserv_return302(sid, location);
}

}  // extern "C"
