// Feeds a byte stream to a stream parser in given pieces and records everything it hands out,
// so that the same stream fed in different pieces can be compared.
#pragma once
#include "cu_jitter.h"
#include "cu_malloc.h"
#include "vor_http_filter_request.h"
#include "vor_http_filter_response.h"
#include "vor_http_table.h"

#include <string>
#include <vector>

namespace http_filter_harness {

struct Outcome {
  std::vector<std::string> heads;
  std::vector<std::string> bodies;
  bool failed = false;
  std::string pending_body;  // body pieces of a response not yet complete
  int32_t pending_state = 0;

  bool operator==(const Outcome&) const = default;
};

inline std::string drain(cu_jitter* q) {
  std::string out;
  char buf[4096];
  for (int32_t n; (n = cu_jitter_GetData(q, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  cu_jitter_free(q);
  return out;
}

inline std::string head_text(vor_http_table* t) {
  char* text = vor_http_table_GetHeaderStr(t);
  std::string out = text ? text : "";
  _cu_free(text, "test", __LINE__);
  return out;
}

// Takes every message the parser hands out now.
inline void collect(vor_http_filter* f, bool response, Outcome& o) {
  for (;;) {
    cu_jitter* body = nullptr;
    int32_t state = 0;
    vor_http_table* t = response ? vor_http_filter_response_get(f, &body, &state)
                                 : vor_http_filter_request_get(f, &body, &state);
    o.pending_state = state;
    if (!t) return;
    const std::string text = drain(body);
    if (state == 13) {
      o.heads.push_back(head_text(t));
      o.bodies.push_back(o.pending_body + text);
      o.pending_body.clear();
    } else {
      o.pending_body += text;
    }
    vor_http_table_free(t);
  }
}

// Feeds the stream cut at the given offsets (ascending); stops at the first refused piece.
inline Outcome feed(bool response, const std::string& in, const std::vector<size_t>& cuts) {
  vor_http_filter* f = response ? vor_http_filter_response_make() : vor_http_filter_request_make();
  Outcome o;
  size_t from = 0;
  for (size_t i = 0; i <= cuts.size() && !o.failed; ++i) {
    const size_t to = i < cuts.size() ? cuts[i] : in.size();
    const auto len = static_cast<int32_t>(to - from);
    const bool ok = response ? vor_http_filter_response_input(f, in.data() + from, len)
                             : vor_http_filter_request_input(f, in.data() + from, len);
    o.failed = !ok;
    collect(f, response, o);
    from = to;
  }
  response ? vor_http_filter_response_free(f) : vor_http_filter_request_free(f);
  if (o.failed) o.pending_body.clear();  // how much of a refused body was handed out depends on the pieces
  return o;
}

inline std::vector<size_t> every_byte(size_t n) {
  std::vector<size_t> cuts;
  for (size_t i = 1; i < n; ++i) cuts.push_back(i);
  return cuts;
}

}  // namespace http_filter_harness
