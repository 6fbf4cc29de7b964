// The one reply format of the admin API: a JSON text body built from members, and the four
// heads it goes out with.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>

#include "adminweb_internal.h"
#include "cu_date.h"
#include "cu_lib.h"
#include "cu_util.h"
#include "edgeserv.h"
#include "http_parser.h"
#include "policydb.h"
#include "reqgate.h"

namespace vor::adminweb {
namespace {

constexpr size_t kEchoLimit = 128;
constexpr int32_t kJitterPiece = 16384;

constexpr char kCommonTop[] =
    "HTTP/1.1 200 OK\r\n"
    "Server: Quorin/Vuved/3.4.2\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Connection: close\r\n";
constexpr char kNoStore[] = "Cache-Control: no-cache, private, no-store, max-age=0\r\n";
constexpr char kNoCache[] = "Cache-Control: no-cache, max-age=0\r\n";
constexpr char kCommonTail[] = "Pragma: no-cache\r\nX-NoCache: this\r\n";

std::string date_line() {
  char date[64] = "";
  cu_GetGMTString2(edgeserv_mytime(), date, sizeof date);
  return std::string("Date: ") + date + "\r\n";
}

std::string length_line(size_t len) { return "Content-Length: " + std::to_string(len) + "\r\n"; }

void write(int64_t sid, const std::string& bytes) {
  if (!bytes.empty()) panelhttp_WriteJitter(sid, bytes.data(), static_cast<int32_t>(bytes.size()));
}

// Error replies carry the length before the date, success replies after it.
void write_json(int64_t sid, const std::string& body, bool error) {
  std::string head = std::string(kCommonTop) + kNoStore + kCommonTail;
  head += error ? length_line(body.size()) + date_line() : date_line() + length_line(body.size());
  write(sid, head + "\r\n" + body);
}

std::string text_head(const char* text) {
  std::string head = std::string(kCommonTop) + kNoCache + kCommonTail + date_line();
  if (text) head += length_line(strlen(text));
  return head + "\r\n";
}

bool accepts_gzip(vor_http_table* request) {
  const char* accept = vor_http_table_GetField(request, "Accept-Encoding");
  return accept && strstr(accept, "gzip");
}

// The head and body coded by the request filter's encoder; false leaves the plain reply.
bool write_gzip(int64_t sid, const std::string& head, const char* text) {
  http_parser* parser = http_parser_make();
  if (!parser) return false;
  char* coded = nullptr;
  uint32_t coded_len = 0;
  bool written = false;
  if (http_parser_parse(parser, head.data(), static_cast<int32_t>(head.size())) > 0 &&
      reqgate_plugin__EncodeContent(nullptr, parser, text, static_cast<uint32_t>(strlen(text)), &coded, &coded_len)) {
    const char* coded_head = http_parser_GetStr(parser);
    write(sid, (coded_head ? coded_head : head) + std::string(coded, coded_len));
    written = true;
  }
  reqgate_plugin__EncodeMemFree(coded);
  http_parser_free(parser);
  return written;
}

}  // namespace

const char* param(const Request& r, const char* name) { return vor_http_table_GetFormRaw(r.params, name); }

std::string local_date(int64_t seconds) {
  struct tm tm {};
  if (!cu_localtime(&seconds, &tm)) return "";
  char text[64];
  snprintf(text, sizeof text, "%d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
           tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

int32_t number(const char* text) { return text ? cu_strtol(text, nullptr, 10) : 0; }

void echo_requestid(wtb* buffer, vor_http_table* params) {
  const char* id = params ? vor_http_table_GetFormRaw(params, "RequestID") : nullptr;
  if (!id || strlen(id) > kEchoLimit) return;
  wtb_InsertString(buffer, "  ");
  json_StringValue(buffer, "RequestID", id);
  wtb_InsertString(buffer, ",\r\n");
}

Body::Body(vor_http_table* params, bool ok) : w_(wtb_make("", 1024)) {
  put("{\r\n");
  echo_requestid(w_, params);
  put("  ");
  json_StringValue(w_, "Return", ok ? "True" : "False");
}

Body::~Body() { wtb_free(w_); }

void Body::put(const char* s) { wtb_InsertString(w_, s); }
void Body::json_text(const char* name, const char* value) { json_StringValue(w_, name, value); }
void Body::json_number(const char* name, int32_t value) { json_Int32Value(w_, name, value); }

Body& Body::text(const char* name, const char* value) {
  put(",\r\n  ");
  json_text(name, value);
  return *this;
}

Body& Body::number(const char* name, int32_t value) {
  put(",\r\n  ");
  json_number(name, value);
  return *this;
}

Body& Body::raw_line(const char* member) {
  put(",\r\n");
  put(member);
  return *this;
}

std::string Body::finish() {
  if (!done_) put("\r\n}");
  done_ = true;
  const char* text = wtb_GetTextString(w_);
  return text ? std::string(text, static_cast<size_t>(wtb_GetTextLength(w_))) : std::string();
}

void reply_error(int64_t sid, vor_http_table* params, uint32_t error) {
  Body body(params, false);
  body.number("ErrorNo", static_cast<int32_t>(error));
  write_json(sid, body.finish(), true);
}

void reply_true(int64_t sid, vor_http_table* params) {
  Body body(params, true);
  write_json(sid, body.finish(), false);
}

void reply_text(int64_t sid, vor_http_table* request, const char* text) {
  const std::string head = text_head(text);
  if (request && text && accepts_gzip(request) && write_gzip(sid, head, text)) return;
  // One write: a body queued behind its head would wait for the head's acknowledgement.
  write(sid, text ? head + text : head);
}

void reply_text(int64_t sid, const std::string& body) { reply_text(sid, nullptr, body.c_str()); }

void reply_jitter(int64_t sid, cu_jitter* queue) {
  write(sid, std::string(kCommonTop) + kNoStore + kCommonTail + date_line() + "\r\n");
  if (!queue) return;
  std::string piece(kJitterPiece, '\0');
  for (int32_t n; (n = cu_jitter_GetData(queue, piece.data(), kJitterPiece)) > 0;) {
    panelhttp_WriteJitter(sid, piece.data(), n);
  }
}

}  // namespace vor::adminweb
