// Heads and body copies for the request filter's tests.
#pragma once
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

}  // namespace vor::reqgate::test
