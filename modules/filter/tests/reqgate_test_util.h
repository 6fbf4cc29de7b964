// Heads and body copies for the request filter's tests.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "cu_xjitter.h"
#include "http_parser.h"

namespace vor::reqgate::test {

struct ParserFree {
  void operator()(http_parser* p) const { http_parser_free(p); }
};
using Head = std::unique_ptr<http_parser, ParserFree>;

// A parsed head from its text (the blank line is added).
inline Head make_head(std::string_view text) {
  Head head(http_parser_make());
  std::string whole(text);
  whole += "\r\n";
  http_parser_parse(head.get(), whole.data(), static_cast<int32_t>(whole.size()));
  http_parser_buildIndex(head.get());
  return head;
}

inline std::string head_text(http_parser* head) { return http_parser_GetStr(head); }

inline std::string header(http_parser* head, const char* name) {
  char value[4096];
  return http_parser_GetKey(head, name, value, sizeof value) ? value : "<none>";
}

// A body copy as the filter record keeps it.
class BodyCopy {
 public:
  explicit BodyCopy(std::string_view bytes = {}) {
    cu_xjitter_init(&q_, nullptr, 2048, 1024);
    cu_xjitter_SetData(&q_, bytes.data(), bytes.size());
  }
  ~BodyCopy() { cu_xjitter_destroy(&q_); }
  BodyCopy(const BodyCopy&) = delete;
  BodyCopy& operator=(const BodyCopy&) = delete;
  cu_xjitter* get() { return &q_; }

 private:
  cu_xjitter q_{};
};

// A memory-cache read from a fake table's stored head and body, as the cache answers it: -1 for
// a tag that differs or a slice that ends before it starts; the head cut to `cap` bytes; the body
// bytes from `from` up to `to` (or its end) copied.
inline int32_t read_stored(const std::string& stored_head, const std::string& stored_body, const std::string& stored_tag,
                           const char* tag, char* head, uint32_t cap, uint32_t from, uint32_t to, void* body) {
  if ((tag && stored_tag != tag) || (body && from > to)) return -1;
  if (head) {
    std::strncpy(head, stored_head.c_str(), cap);
    head[cap] = '\0';
  }
  if (!body || from >= stored_body.size()) return 0;
  const size_t n = std::min<size_t>(to, stored_body.size()) - from;
  std::memcpy(body, stored_body.data() + from, n);
  return static_cast<int32_t>(n);
}

}  // namespace vor::reqgate::test
