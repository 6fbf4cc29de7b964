#include "vor_http_filter_internal.h"
#include "vor_http_filter_request.h"
#include "vor_http_filter_response.h"

#include "cu_lib.h"
#include "cu_lib_internal.h"
#include "cu_malloc.h"
#include "vor_kit.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <new>
#include <string>

namespace {

using cu_internal::is_blank;

constexpr char kRequestUnit[] = "vor\\vor_http_filter_request";
constexpr char kResponseUnit[] = "vor\\vor_http_filter_response";

constexpr int32_t kStateNew = 0;
constexpr int32_t kStateHead = 11;
constexpr int32_t kStateBody = 12;
constexpr int32_t kStateComplete = 13;
constexpr int32_t kStateChunked = 14;
constexpr int32_t kStateError = 21;

constexpr size_t kHeadLimit = 7168;     // a head must end within this many bytes
constexpr size_t kLineLimit = 1024;     // a chunk-size or trailer line, its line end included
constexpr int32_t kTrailerLimit = 7168;  // every trailer line of one message together
constexpr int32_t kBlockSize = 2048;
constexpr int32_t kBodyBlocks = 1024;    // 2,097,152 bytes of body held at most
constexpr int32_t kBodyLimit = kBlockSize * kBodyBlocks;
constexpr int32_t kUntilClose = 1 << 30;  // a cap for a body that ends with the connection
constexpr int32_t kMovePiece = 1024;

struct Record {
  const char* unit = nullptr;  // the parser's allocation label
  vor_http_table* table = nullptr;
  std::string line;  // a head not yet complete, or a partial chunk-size / trailer line
  cu_jitter* body = nullptr;
  int32_t content_length = 0;  // for a chunked body: the sum of the chunk sizes so far
  int32_t received = 0;
  int32_t state = kStateNew;
  bool in_trailer = false;  // the last chunk was read; trailer lines up to an empty one follow
  int32_t trailer_bytes = 0;
};

struct Parser {
  bool response;
  const char* unit;
  std::deque<Record*> records;
  bool head_request = false;  // answers to HEAD carry no body
};

void free_record(Record* r) {
  if (!r) return;
  vor_http_table_free(r->table);
  cu_jitter_free(r->body);
  vor::destroy(r, r->unit);
}

Record* new_record(const char* unit) {
  auto* r = vor::make<Record>(unit);
  if (!r) return nullptr;
  r->unit = unit;
  r->body = cu_jitter_mallocx(kBlockSize, kBodyBlocks, nullptr);
  if (!r->body) {
    free_record(r);
    return nullptr;
  }
  return r;
}

Parser* new_parser(bool response) {
  const char* unit = response ? kResponseUnit : kRequestUnit;
  auto* p = vor::make<Parser>(unit);
  if (!p) return nullptr;
  p->response = response;
  p->unit = unit;
  return p;
}

void free_parser(Parser* p) {
  if (!p) return;
  for (Record* r : p->records) free_record(r);
  vor::destroy(p, p->unit);
}

int32_t fail(Record& r) {
  r.state = kStateError;
  return -1;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A Content-Length value: blanks around decimal digits, nothing else, at most INT32_MAX.
bool parse_length(const char* text, int32_t* out) {
  const char* p = text;
  while (is_blank(*p)) ++p;
  int64_t v = 0;
  const char* digits = p;
  for (; *p >= '0' && *p <= '9'; ++p) {
    v = v * 10 + (*p - '0');
    if (v > INT32_MAX) return false;
  }
  if (p == digits) return false;
  while (is_blank(*p)) ++p;
  if (*p) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

// Every Content-Length field must carry the same valid value; -1 with none, -2 when refused.
int32_t content_length_of(vor_http_table* t) {
  int32_t length = -1;
  for (int32_t n = 0;; ++n) {
    const char* value = vor_http_table_GetNthField(t, n, "Content-Length");
    if (!value) return length;
    int32_t v = 0;
    if (!parse_length(value, &v) || (length >= 0 && v != length)) {
      std::printf("error: bad or conflicting 'Content-Length' field(%s) in HTTP header!\n", value);
      return -2;
    }
    length = v;
  }
}

// The chunk size at the start of a line: blanks, an optional 0x, hex digits; what follows
// (extensions after ';') is ignored. -1 for no digits, a sign, or a value over INT32_MAX.
int64_t chunk_size_of(const std::string& line) {
  size_t i = 0;
  while (i < line.size() && is_blank(line[i])) ++i;
  if (i + 2 < line.size() && line[i] == '0' && (line[i + 1] == 'x' || line[i + 1] == 'X') &&
      hex_value(line[i + 2]) >= 0) {
    i += 2;
  }
  int64_t v = 0;
  const size_t digits = i;
  for (; i < line.size() && hex_value(line[i]) >= 0; ++i) {
    v = v * 16 + hex_value(line[i]);
    if (v > INT32_MAX) return -1;
  }
  return i == digits ? -1 : v;
}

// Body bytes go to the body queue only whole: a body that does not fit would be cut.
int32_t take_body(Record& r, const char* data, int32_t left) {
  const int32_t n = std::min(r.content_length - r.received, left);
  const int32_t kept = cu_jitter_SetData(r.body, data, n);
  r.received += kept;
  if (kept != n) {
    std::printf("error: HTTP body over %d bytes not taken!\n", kBodyLimit);
    return fail(r);
  }
  return n;
}

// Sets the body framing of a parsed head: a length, chunked, or until the connection closes.
int32_t frame_body(Parser& p, Record& r, const std::string& head) {
  vor_http_table* t = r.table;
  const bool is_request = vor_http_table_GetMethod(t) != nullptr;
  if (!p.response && !is_request) return fail(r);
  const int32_t length = content_length_of(t);
  if (length == -2) return fail(r);
  const char* te = vor_http_table_GetField(t, "Transfer-Encoding");
  if (is_request) {
    if (te) {
      std::printf("error: 'Transfer-Encoding' not accepted in HTTP request header(\n%s)!\n", head.c_str());
      return fail(r);
    }
    if (!p.response && length > kBodyLimit) {
      std::printf("error: HTTP body over %d bytes not taken!\n", kBodyLimit);
      return fail(r);
    }
    r.content_length = length < 0 ? 0 : length;
    return 0;
  }
  const int32_t status = vor_http_table_GetStatusValue(t);
  if (p.head_request || (status >= 100 && status < 200) || status == 204 || status == 304) {
    r.content_length = 0;
  } else if (te) {
    if (cu_stricmp(te, "chunked") != 0 || length >= 0) {
      std::printf("error: not find 'chunked' in 'Transfer-Encoding' field in HTTP header(\n%s)!\n", head.c_str());
      return fail(r);
    }
    r.state = kStateChunked;
  } else {
    r.content_length = length < 0 ? kUntilClose : length;
  }
  return 0;
}

int32_t head_step(Parser& p, Record& r, const char* data, int32_t left) {
  const size_t held = r.line.size();
  std::string work = r.line;
  work.append(data, std::min(static_cast<size_t>(left), kHeadLimit - held));
  const size_t found = work.find("\r\n\r\n");
  const size_t end = found == std::string::npos ? work.size() : found + 4;
  if (std::memchr(work.data(), '\0', end)) {
    std::printf("%s", "error: NUL byte in HTTP header!\n");
    return fail(r);
  }
  if (found == std::string::npos) {
    if (work.size() >= kHeadLimit) {
      std::printf("error: HTTP header longer than %d bytes!\n", static_cast<int>(kHeadLimit));
      return fail(r);
    }
    r.line.swap(work);
    r.state = kStateHead;
    return static_cast<int32_t>(r.line.size() - held);
  }
  work.resize(end);
  r.line.clear();
  r.table = vor_http_table_ParseHeaderStr(work.c_str());
  if (!r.table || frame_body(p, r, work) < 0) return fail(r);
  if (r.state != kStateChunked) r.state = r.content_length == 0 ? kStateComplete : kStateBody;
  return static_cast<int32_t>(end - held);
}

int32_t body_step(Record& r, const char* data, int32_t left) {
  const int32_t n = take_body(r, data, left);
  if (n >= 0 && r.received == r.content_length) r.state = kStateComplete;
  return n;
}

// One line of a chunked body ended: a chunk size, or a trailer line.
int32_t line_done(Record& r, std::string& line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (r.in_trailer) {
    if (line.empty()) r.state = kStateComplete;
    return 0;
  }
  const int64_t size = chunk_size_of(line);
  if (size < 0 || r.content_length + size > INT32_MAX) {
    std::printf("error: chunked header(%s:%d) error in __input_CheckStatus_chunked_content()!\n", line.c_str(),
                static_cast<int>(line.size()));
    return fail(r);
  }
  if (size == 0) r.in_trailer = true;
  r.content_length += static_cast<int32_t>(size);
  return 0;
}

int32_t chunk_step(Record& r, const char* data, int32_t left) {
  if (r.received != r.content_length) return take_body(r, data, left);
  if (!r.in_trailer && r.line.empty() && (data[0] == '\r' || data[0] == '\n')) {
    int32_t n = 0;
    while (n < left && (data[n] == '\r' || data[n] == '\n')) ++n;
    return n;
  }
  const size_t held = r.line.size();
  std::string work = r.line;
  work.append(data, std::min(static_cast<size_t>(left), kLineLimit - held));
  const size_t lf = work.find('\n');
  if (lf == std::string::npos) {
    if (work.size() >= kLineLimit) {
      std::printf("error: not find next chunked data(%s) in __input_CheckStatus_chunked_content()!\n", work.c_str());
      return fail(r);
    }
    r.line.swap(work);
    return static_cast<int32_t>(r.line.size() - held);
  }
  const auto used = static_cast<int32_t>(lf + 1 - held);
  if (r.in_trailer && (r.trailer_bytes += static_cast<int32_t>(lf + 1)) > kTrailerLimit) {
    std::printf("error: chunked trailer longer than %d bytes!\n", kTrailerLimit);
    return fail(r);
  }
  work.resize(lf);
  r.line.clear();
  return line_done(r, work) < 0 ? -1 : used;
}

// Consumes a part of the bytes by the record's state; -1 when the record fails.
int32_t step(Parser& p, Record& r, const char* data, int32_t left) {
  switch (r.state) {
    case kStateNew:
    case kStateHead:
      return head_step(p, r, data, left);
    case kStateBody:
      return body_step(r, data, left);
    case kStateChunked:
      return p.response ? chunk_step(r, data, left) : fail(r);
    default:
      return -1;
  }
}

bool input(Parser* p, const void* bytes, int32_t len) {
  if (!p || len < 0 || (len > 0 && !bytes)) return false;
  if (!p->records.empty() && p->records.back()->state == kStateError) return false;
  const char* data = static_cast<const char*>(bytes);
  int32_t done = 0;
  while (done < len) {
    if (p->records.empty() || p->records.back()->state == kStateComplete) {
      Record* r = new_record(p->unit);
      if (!r) return false;
      try {
        p->records.push_back(r);
      } catch (const std::bad_alloc&) {
        free_record(r);
        return false;
      }
    }
    const int32_t used = step(*p, *p->records.back(), data + done, len - done);
    if (used < 0) return false;
    done += used;
  }
  return true;
}

void clear_outs(vor_http_table** table, cu_jitter** body, int32_t* state) {
  if (table) *table = nullptr;
  if (body) *body = nullptr;
  if (state) *state = 0;
}

vor_http_table* take_complete(Parser* p, cu_jitter** body, int32_t* state) {
  Record* r = p->records.front();
  p->records.pop_front();
  vor_http_table* t = r->table;
  r->table = nullptr;
  if (body) {
    *body = r->body;
    r->body = nullptr;
  }
  if (state) *state = kStateComplete;
  free_record(r);
  return t;
}

vor_http_table* request_get(Parser* p, cu_jitter** body, int32_t* state) {
  clear_outs(nullptr, body, state);
  if (!p || p->records.empty()) return nullptr;
  const int32_t s = p->records.front()->state;
  if (s == kStateComplete) return take_complete(p, body, state);
  if (state && (s == kStateHead || s == kStateBody)) *state = s;
  return nullptr;
}

// The body bytes taken so far leave the record with a copy of its head.
vor_http_table* take_partial(Parser* p, cu_jitter** body, int32_t* state) {
  Record* r = p->records.front();
  if (cu_jitter_GetLen(r->body) == 0) return nullptr;
  vor_http_table* copy = vor_http_table_clone(r->table);
  cu_jitter* q = cu_jitter_mallocx(kBlockSize, kBodyBlocks, nullptr);
  if (!copy || !q) {
    vor_http_table_free(copy);
    cu_jitter_free(q);
    return nullptr;
  }
  // Copied first and dropped only once all of it is in the new queue: short memory leaves the record unchanged.
  char piece[kMovePiece];
  const int32_t total = cu_jitter_GetLen(r->body);
  for (int32_t at = 0; at < total;) {
    const int32_t n = cu_jitter_PeekDatax(r->body, piece, at, kMovePiece);
    if (n <= 0 || cu_jitter_SetData(q, piece, n) != n) {
      vor_http_table_free(copy);
      cu_jitter_free(q);
      return nullptr;
    }
    at += n;
  }
  cu_jitter_GetData(r->body, nullptr, total);
  *body = q;
  if (state) *state = kStateBody;
  return copy;
}

vor_http_table* response_get(Parser* p, cu_jitter** body, int32_t* state) {
  clear_outs(nullptr, body, state);
  if (!p || p->records.empty()) return nullptr;
  const int32_t s = p->records.front()->state;
  if (s == kStateComplete) return take_complete(p, body, state);
  if ((s == kStateBody || s == kStateChunked) && body) return take_partial(p, body, state);
  if (state && s == kStateHead) *state = kStateHead;
  return nullptr;
}

bool request_peek(Parser* p, vor_http_table** table, cu_jitter** body, int32_t* state) {
  clear_outs(table, body, state);
  if (!p || p->records.empty()) return false;
  Record* r = p->records.front();
  if (r->state == kStateHead && state) *state = kStateHead;
  if (r->state != kStateBody && r->state != kStateComplete) return false;
  if (table) *table = r->table;
  if (body) *body = r->body;
  if (state) *state = r->state;
  return true;
}

Parser* as_parser(vor_http_filter* f) { return reinterpret_cast<Parser*>(f); }

}  // namespace

vor_http_filter_request* vor_http_filter_request_make(void) {
  return reinterpret_cast<vor_http_filter_request*>(new_parser(false));
}

bool vor_http_filter_request_input(vor_http_filter_request* f, const void* data, int32_t len) {
  return input(as_parser(f), data, len);
}

vor_http_table* vor_http_filter_request_get(vor_http_filter_request* f, cu_jitter** body, int32_t* state) {
  return request_get(as_parser(f), body, state);
}

bool vor_http_filter_request_peek(vor_http_filter_request* f, vor_http_table** table, cu_jitter** body,
                                  int32_t* state) {
  return request_peek(as_parser(f), table, body, state);
}

void vor_http_filter_request_free(vor_http_filter_request* f) { free_parser(as_parser(f)); }

vor_http_filter_response* vor_http_filter_response_make(void) {
  return reinterpret_cast<vor_http_filter_response*>(new_parser(true));
}

bool vor_http_filter_response_input(vor_http_filter_response* f, const void* data, int32_t len) {
  return input(as_parser(f), data, len);
}

vor_http_table* vor_http_filter_response_get(vor_http_filter_response* f, cu_jitter** body, int32_t* state) {
  return response_get(as_parser(f), body, state);
}

void vor_http_filter_response_free(vor_http_filter_response* f) { free_parser(as_parser(f)); }

void vor::http_filter::set_request_method(vor_http_filter_response* f, const char* method) {
  if (Parser* p = as_parser(f)) p->head_request = method && cu_stricmp(method, "HEAD") == 0;
}
