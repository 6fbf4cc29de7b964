// Completeness of a response body: the framing chosen from the final head, the incremental
// chunk parser fed with every upstream chunk, the end check of a close-delimited body and the
// two checks of a stored body copy.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "reqgate.h"
#include "reqgate_internal.h"

namespace vor::reqgate {

namespace {

// Content-Length values: one decimal number, or repeats of one value (in one line or several).
bool parse_decimal(std::string_view text, uint64_t& value) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

void remove_all(http_parser* head, const char* name) {
  // Bounded: a head holds at most a few hundred lines.
  for (int i = 0; i < 1000 && http_parser_IsKey(head, name); ++i) http_parser_DelKey(head, name);
}

bool answer_without_body(http_parser* request, int status) {
  char method[8];
  if (request && http_parser_GetMothod(request, method) && std::strncmp(method, "HEAD", 4) == 0) return true;
  return (status >= 100 && status < 200) || status == 204 || status == 304;
}

void set_close_delimited(IntegrityState& state, http_parser* response) {
  state.mode = kToClose;
  http_parser_ModifyKey(response, "Connection", "close");
}

void chunk_fault(IntegrityState& state, const char* format) {
  state.error = 1;
  std::string line(state.line, static_cast<size_t>(state.fill));
  trace(format, line.c_str(), state.cache_key.c_str());
}

constexpr char kNoHex[] = "__calc_chunk_size(%s) -> not found any hex-chunk-size!\r\n%s\r\n";
constexpr char kNoCrlf[] = "__calc_chunk_size(%s) -> not found CRLF behind hex-chunk-size!\r\n%s\r\n";
constexpr char kBadLast[] = "__calc_chunk_size(%s) -> last chunk is not \"0+CRLF+CRLF\"!\r\n%s\r\n";
constexpr char kBadDataEnd[] = "__calc_chunk_size(%s) -> chunk-data end flag is not CRLF!\r\n%s\r\n";

// Appends to the line buffer; answers how many bytes were taken.
uint64_t fill_line(IntegrityState& state, const char* data, uint64_t len, int limit) {
  const uint64_t take = std::min<uint64_t>(len, static_cast<uint64_t>(limit - state.fill));
  std::memcpy(state.line + state.fill, data, take);
  state.fill = static_cast<int8_t>(state.fill + take);
  return take;
}

// Phase 0: answers the bytes consumed from data, or len when waiting for more.
uint64_t feed_size_line(IntegrityState& state, const char* data, uint64_t len) {
  const int before = state.fill;
  fill_line(state, data, len, sizeof state.line);
  const SizeLine line = read_size_line(std::string_view(state.line, static_cast<size_t>(state.fill)));
  const bool full = state.fill == static_cast<int>(sizeof state.line);
  switch (line.state) {
    case LineState::kNeedMore:
      // Only this parser keeps its line in 64 bytes: a longer line is refused.
      if (full) chunk_fault(state, kNoCrlf);
      return len;
    case LineState::kNoDigits:
    case LineState::kTooLarge:
      chunk_fault(state, kNoHex);
      return len;
    case LineState::kNoCrlf:
      chunk_fault(state, kNoCrlf);
      return len;
    case LineState::kReady:
      break;
  }
  size_t length = line.length;
  if (line.size == 0) {
    // No trailer lines: the last chunk is "0" CRLF CRLF.
    if (static_cast<size_t>(state.fill) < length + 2) {
      if (full) chunk_fault(state, kBadLast);
      return len;
    }
    if (state.line[length] != '\r' || state.line[length + 1] != '\n') {
      chunk_fault(state, kBadLast);
      return len;
    }
    length += 2;
    state.last_chunk = 1;
  }
  state.phase = 1;
  state.chunk_size = line.size;
  state.chunk_read = 0;
  state.fill = 0;
  return length - static_cast<size_t>(before);
}

// Phase 2: the CRLF after chunk data.
uint64_t feed_data_end(IntegrityState& state, const char* data, uint64_t len) {
  const int before = state.fill;
  fill_line(state, data, len, 2);
  if (state.line[0] != '\r' || (state.fill == 2 && state.line[1] != '\n')) {
    chunk_fault(state, kBadDataEnd);
    return len;
  }
  if (state.fill < 2) return len;
  state.phase = 0;
  state.fill = 0;
  return static_cast<uint64_t>(2 - before);
}

size_t peek_jitter(void* source, uint64_t offset, char* buffer, size_t n) {
  return cu_xjitter_PeekDatax(static_cast<cu_xjitter*>(source), buffer, offset, n);
}

std::string body_copy(cu_xjitter* body) {
  std::string text(cu_xjitter_GetLen(body), '\0');
  text.resize(cu_xjitter_PeekDatax(body, text.data(), 0, text.size()));
  return text;
}

bool ends_with_html_close(std::string_view body) {
  const std::string_view tail = body.size() > 64 ? body.substr(body.size() - 64) : body;
  for (size_t i = tail.size(); i-- > 0;) {
    if (starts_ignore_case(tail.substr(i), "</html>")) {
      for (char c : tail.substr(i + 7)) {
        if (c != '\r' && c != '\n' && c != ' ' && c != '\t' && c != '0') return false;
      }
      return true;
    }
  }
  return false;
}

bool final_check_close_delimited(IntegrityState& state, http_parser* response, cu_xjitter* body) {
  const std::string text = body_copy(body);
  char type[100];
  if (text.size() < 13) return false;
  if (!http_parser_GetKey(response, "Content-Type", type, sizeof type) || !contains_ignore_case(type, "text/html")) {
    return false;
  }
  char coding[100];
  if (http_parser_GetKey(response, "Content-Encoding", coding, sizeof coding)) {
    if (!contains_ignore_case(coding, "gzip")) return false;
    if (text.size() <= 64 || text.size() > 262144) return false;
    char* decoded = nullptr;
    uint32_t decoded_len = 0;
    if (!reqgate_plugin__DecodeContent(nullptr, response, text.data(), static_cast<uint32_t>(text.size()), &decoded,
                                       &decoded_len)) {
      return false;
    }
    const bool text_only = std::memchr(decoded, 0, decoded_len) == nullptr;
    reqgate_plugin__DecodeMemFree(decoded);
    const std::string length = std::to_string(text.size());
    http_parser_ModifyKey(response, "Content-Length", length.c_str());
    http_parser_ModifyKey(response, "Vary", "Accept-Encoding");
    http_parser_ModifyKey(response, "Content-Encoding", "gzip");
    if (text_only) state.closed_complete = 1;
    return text_only;
  }
  if (!ends_with_html_close(text)) return false;
  http_parser_InsertKey(response, "Content-Length", std::to_string(text.size()).c_str());
  state.closed_complete = 1;
  return true;
}

}  // namespace

Length content_length(http_parser* head) {
  char value[256];
  bool seen = false;
  uint64_t first = 0;
  for (int32_t k = 0; http_parser_GetNthKey(head, "Content-Length", k, value, sizeof value); ++k) {
    if (std::strlen(value) + 1 >= sizeof value) return {LengthField::kInvalid, 0};
    std::string_view rest(value);
    for (;;) {
      const size_t comma = rest.find(',');
      uint64_t n = 0;
      if (!parse_decimal(rest.substr(0, comma), n)) return {LengthField::kInvalid, 0};
      if (seen && n != first) return {LengthField::kInvalid, 0};
      seen = true;
      first = n;
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  return seen ? Length{LengthField::kValid, first} : Length{LengthField::kAbsent, 0};
}

std::string all_lines(http_parser* head, const char* name) {
  std::string joined;
  char value[16384];
  for (int32_t k = 0; http_parser_GetNthKey(head, name, k, value, sizeof value); ++k) {
    if (!joined.empty()) joined += ", ";
    joined += value;
  }
  return joined;
}

bool integrity_init(IntegrityState& state, http_parser* request, http_parser* response, const char* cache_key) {
  state = IntegrityState{};
  state.enabled = 1;
  state.cache_key = cache_key ? cache_key : "";
  const int status = status_code(response);
  if (answer_without_body(request, status)) {
    state.mode = kNoBody;
    return true;
  }
  const Length length = content_length(response);
  char coding[256];
  if (http_parser_GetKey(response, "Transfer-Encoding", coding, sizeof coding)) {
    // A chunked body ends by its framing; any other transfer coding ends with the connection.
    if (starts_ignore_case(coding, "chunked")) {
      state.mode = kChunked;
    } else {
      set_close_delimited(state, response);
    }
    if (length.field == LengthField::kAbsent) return true;
    remove_all(response, "Content-Length");
    return false;
  }
  if (length.field == LengthField::kValid) {
    state.mode = kLength;
    state.expected = length.value;
    return true;
  }
  if (length.field == LengthField::kInvalid) {
    // A proxy should answer 502 here; the body is passed on and read to the close instead.
    remove_all(response, "Content-Length");
    set_close_delimited(state, response);
    return false;
  }
  set_close_delimited(state, response);
  return true;
}

uint64_t integrity_feed(IntegrityState& state, const char* data, uint64_t len) {
  if (!state.enabled || !data) return len;
  switch (state.mode) {
    case kNoBody:
      return 0;
    case kLength: {
      const uint64_t room = state.expected > state.received ? state.expected - state.received : 0;
      const uint64_t taken = std::min(len, room);
      state.received += taken;
      return taken;
    }
    case kChunked:
      break;
    default:
      state.received += len;
      return len;
  }
  uint64_t taken = 0;
  while (taken < len && !state.last_chunk && !state.error) {
    const char* at = data + taken;
    const uint64_t rest = len - taken;
    uint64_t used = 0;
    if (state.phase == 0) {
      used = feed_size_line(state, at, rest);
    } else if (state.phase == 1) {
      const uint64_t left = uint64_t{state.chunk_size} - state.chunk_read;
      if (rest <= left) {
        state.chunk_read += static_cast<uint32_t>(rest);
        used = rest;
      } else {
        state.fill = 0;
        state.phase = 2;
        state.chunk_read = state.chunk_size;
        used = left;
      }
    } else {
      used = feed_data_end(state, at, rest);
    }
    taken += used;
  }
  // Broken framing has no end to cut at: the rest passes as it came.
  if (state.error) taken = len;
  state.received += taken;
  return taken;
}

bool integrity_complete(const IntegrityState& state) {
  switch (state.mode) {
    case kLength:
      return state.received >= state.expected;
    case kChunked:
      return state.last_chunk && !state.error;
    case kToClose:
      return state.closed_complete;
    default:
      return state.enabled;
  }
}

bool final_body_check(IntegrityState& state, http_parser* response, cu_xjitter* body) {
  if (state.mode != kToClose) return integrity_complete(state);
  return final_check_close_delimited(state, response, body);
}

bool check_content(http_parser* response, cu_xjitter* body, const char* cache_key) {
  char value[20];
  if (!http_parser_GetKey(response, "Content-Length", value, sizeof value)) {
    const int status = status_code(response);
    return status == 301 || status == 302;
  }
  const auto declared = static_cast<uint32_t>(std::strtoull(value, nullptr, 10));
  const auto real = static_cast<uint32_t>(cu_xjitter_GetLen(body));
  if (declared == real) return true;
  trace("[CheckContent -> Content-Length(%u) != RealContentLength(%u)] %s\r\n", declared, real, cache_key);
  return false;
}

bool check_chunked(http_parser* response, cu_xjitter* body, const char* cache_key) {
  char coding[20];
  if (!http_parser_GetKey(response, "Transfer-Encoding", coding, sizeof coding) ||
      !starts_ignore_case(coding, "chunked")) {
    return false;
  }
  const WalkResult walk = walk_chunks(cu_xjitter_GetLen(body), peek_jitter, body, nullptr, nullptr, UINT64_MAX);
  switch (walk.fault) {
    case WalkFault::kNone:
      return true;
    case WalkFault::kShortLine:
      trace("[CheckChunked -> Error 1] %s\r\n", cache_key);
      return false;
    case WalkFault::kBadLine:
      trace("[CheckChunked -> Error 2] %s\r\n", cache_key);
      return false;
    case WalkFault::kShortEnd:
      trace("[CheckChunked -> Error 3] %s\r\n", cache_key);
      return false;
    case WalkFault::kNoEnd:
      trace("[CheckChunked -> Error 4] %s\r\n", cache_key);
      return false;
    default:
      trace("[CheckChunked -> TotalChunkedLength != RealContentLength] %s\r\n", cache_key);
      return false;
  }
}

}  // namespace vor::reqgate
