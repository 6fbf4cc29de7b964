// The answer to one request for a web-root file: 206 for an honoured byte range, 304 when the
// client's copy is current, 200 with the whole file, 404 when there is no file.
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <string>

#include "cu_date.h"
#include "cu_malloc.h"
#include "panelbase_internal.h"

namespace vor::panelbase {
namespace {

constexpr const char* kServerName = "Quorin/Vuved/3.4.2";
constexpr int32_t kKeepAliveClose = 3000;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A run of digits as a number that saturates at UINT64_MAX.
uint64_t read_digits(std::string_view text, size_t* i) {
  uint64_t n = 0;
  for (; *i < text.size() && is_digit(text[*i]); ++*i) {
    const uint64_t digit = static_cast<uint64_t>(text[*i] - '0');
    n = n > (UINT64_MAX - digit) / 10 ? UINT64_MAX : n * 10 + digit;
  }
  return n;
}

size_t skip(std::string_view text, size_t i, const char* set) {
  while (i < text.size() && strchr(set, text[i]) && text[i] != '\0') ++i;
  return i;
}

std::string http_date(int64_t t) {
  char buf[64];
  cu_GetGMTString2(t, buf, sizeof buf);
  return buf;
}

class Head {
 public:
  explicit Head(const char* status) : table_(vor_http_table_make()) {
    vor_http_table_SetStatus(table_, status);
    set("Date", http_date(time(nullptr)));
    set("Server", kServerName);
  }
  ~Head() { vor_http_table_free(table_); }
  Head(const Head&) = delete;
  Head& operator=(const Head&) = delete;

  void set(const char* name, const std::string& value) { vor_http_table_SetField(table_, name, value.c_str()); }
  vor_http_table* table() { return table_; }
  bool made() const { return table_ != nullptr; }

  void write(int64_t sid) {
    char* text = vor_http_table_GetHeaderStr(table_);
    if (!text) return;
    panelhttp_WriteJitter(sid, text, static_cast<int32_t>(strlen(text)));
    _cu_free(text, "panelbase", __LINE__);
  }

 private:
  vor_http_table* table_;
};

// The connection fields; answers the close delay. missing_keeps: whether a request without
// a "Connection" header keeps the connection.
int32_t connection_fields(Head& head, vor_http_table* request, bool missing_keeps) {
  const char* value = vor_http_table_GetField(request, "Connection");
  const bool keep = value ? strcasecmp(value, "Close") != 0 : missing_keeps;
  if (!keep) {
    head.set("Connection", "Close");
    return 0;
  }
  head.set("Connection", "Keep-Alive");
  head.set("Keep-Alive", "300");
  return kKeepAliveClose;
}

void set_location(Head& head, RTParser* parser) {
  const char* location = RTParser_GetContentLocation(parser);
  if (*location) head.set("Content-Location", location);
}

std::string entity_tag(int64_t mtime, uint32_t size) {
  char tag[48];
  snprintf(tag, sizeof tag, "\"%u:%u\"", static_cast<uint32_t>(mtime), size);
  return tag;
}

std::optional<ByteRange> requested_range(vor_http_table* request, uint32_t size) {
  const char* value = vor_http_table_GetField(request, "Range");
  if (!value) return std::nullopt;
  const char* bytes = strcasestr(value, "bytes");
  if (!bytes) return std::nullopt;
  return parse_range(bytes, size);
}

// 304 when If-Modified-Since is present and does not name another time, and an
// If-None-Match present names the file's entity tag exactly.
bool not_modified(vor_http_table* request, int64_t mtime, const std::string& tag) {
  const char* since = vor_http_table_GetField(request, "If-Modified-Since");
  if (!since) return false;
  const int64_t t = cu_DateParse(since);
  if (t > 0 && t != mtime) return false;
  const char* match = vor_http_table_GetField(request, "If-None-Match");
  return !match || tag == match;
}

uint8_t answer_404(int64_t sid, vor_http_table* request) {
  Head head("404 Not Found");
  if (!head.made()) return 1;
  head.set("Content-Length", "0");
  head.set("Content-Type", "text/html");
  const int32_t delay = connection_fields(head, request, true);
  panelhttp_Write404Status(sid, head.table());
  panelhttp_close(sid, delay);
  return 0;
}

}  // namespace

std::optional<ByteRange> parse_range(std::string_view text, uint32_t size) {
  if (text.size() < 5) return std::nullopt;
  const size_t eq = text.find('=', 5);
  if (eq == std::string_view::npos) return std::nullopt;
  size_t i = skip(text, eq + 1, " ,");
  if (i < text.size() && is_digit(text[i])) {
    const uint64_t first = read_digits(text, &i);
    const size_t dash = skip(text, i, "- ");
    if (dash == i) return std::nullopt;
    i = dash;
    uint64_t to = size;
    if (i < text.size() && is_digit(text[i])) {
      const uint64_t last = read_digits(text, &i);
      if (last < first) return std::nullopt;  // reversed: no range
      to = std::min<uint64_t>(last == UINT64_MAX ? last : last + 1, size);
    }
    if (first >= size) return std::nullopt;  // starts at or past the end
    return ByteRange{static_cast<uint32_t>(first), static_cast<uint32_t>(to)};
  }
  const size_t digits = skip(text, i, "- ");
  if (digits >= text.size() || !is_digit(text[digits])) return std::nullopt;
  i = digits;
  const uint64_t n = std::min<uint64_t>(read_digits(text, &i), size);
  // A suffix range is honoured only when a comma or blank follows it.
  if (i >= text.size() || (text[i] != ',' && text[i] != ' ')) return std::nullopt;
  if (n == 0) return std::nullopt;
  return ByteRange{size - static_cast<uint32_t>(n), size};
}

uint8_t answer(int64_t sid, vor_http_table* request, RTParser* parser) {
  const char* path = RTParser_GetLocalFilepath(parser);
  int32_t signed_size = 0;
  int64_t mtime = 0;
  if (!panelhttp_GetFileAttr(path, &signed_size, &mtime) || mtime == 0) return answer_404(sid, request);
  const uint32_t size = static_cast<uint32_t>(signed_size);
  if (const auto range = requested_range(request, size)) {
    Head head("206 Partial Content");
    head.set("Accept-Ranges", "bytes");
    set_location(head, parser);
    head.set("Content-Length", std::to_string(range->to - range->from));
    head.set("Content-Type", RTParser_GetMimetype(parser));
    head.set("Content-Range", "bytes " + std::to_string(range->from) + "-" +
                                  std::to_string(range->to ? range->to - 1 : 0) + "/" + std::to_string(size));
    head.set("Last-Modified", http_date(mtime));
    const int32_t delay = connection_fields(head, request, true);
    head.write(sid);
    panelhttp_WriteFile(sid, path, range->from, range->to);
    panelhttp_close(sid, delay);
    return 0;
  }
  const std::string tag = entity_tag(mtime, size);
  if (not_modified(request, mtime, tag)) {
    Head head("304 Not Modified");
    head.set("Accept-Ranges", "bytes");
    set_location(head, parser);
    head.set("Last-Modified", vor_http_table_GetField(request, "If-Modified-Since"));
    if (vor_http_table_GetField(request, "If-None-Match")) head.set("ETag", tag);
    const int32_t delay = connection_fields(head, request, true);
    head.write(sid);
    panelhttp_close(sid, delay);
    return 0;
  }
  Head head("200 OK");
  head.set("Accept-Ranges", "bytes");
  head.set("Last-Modified", http_date(mtime));
  set_location(head, parser);
  head.set("Content-Length", std::to_string(size));
  head.set("Content-Type", RTParser_GetMimetype(parser));
  head.set("ETag", tag);
  const int32_t delay = connection_fields(head, request, false);
  head.write(sid);
  panelhttp_WriteFile(sid, path, 0, size);
  panelhttp_close(sid, delay);
  return 0;
}

}  // namespace vor::panelbase
