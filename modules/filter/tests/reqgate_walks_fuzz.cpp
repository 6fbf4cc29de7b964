// Random bodies through the three chunk walks and the decoders. The first byte picks the coding
// label; the rest is the body. Checked: the incremental parser fed whole and fed in two pieces
// agree; where it finishes exactly at the body's end, the stored-copy check and
// the de-chunking agree with it and the de-chunked data never pass the work buffer; decoding
// never produces more than its room and never crashes.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "reqgate.h"
#include "reqgate_internal.h"
#include "vor_fuzz_check.h"

namespace {

using namespace vor::reqgate;
using vor::test::require;

http_parser* head_of(const char* text) {
  http_parser* head = http_parser_make();
  http_parser_parse(head, text, static_cast<int32_t>(std::strlen(text)));
  http_parser_buildIndex(head);
  return head;
}

struct Fed {
  bool complete, error;
  uint64_t received;
};

Fed feed(http_parser* response, std::string_view body, size_t cut) {
  IntegrityState state;
  integrity_init(state, nullptr, response, "fuzz");
  integrity_feed(state, body.data(), cut);
  integrity_feed(state, body.data() + cut, body.size() - cut);
  return {integrity_complete(state), state.error != 0, state.received};
}

void check_walks(std::string_view body) {
  http_parser* response = head_of("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
  const Fed whole = feed(response, body, 0);
  const Fed split = feed(response, body, body.size() / 2);
  require(whole.complete == split.complete && whole.error == split.error && whole.received == split.received);
  cu_xjitter copy;
  cu_xjitter_init(&copy, nullptr, 2048, 1024);
  cu_xjitter_SetData(&copy, body.data(), body.size());
  const bool stored = check_chunked(response, &copy, "fuzz");
  cu_xjitter_destroy(&copy);
  char* out = nullptr;
  size_t out_len = 0;
  require(dechunk(response, body.data(), body.size(), &out, &out_len));
  require(out_len <= kWorkBuffer && out_len <= body.size());
  // The parser's last chunk ends exactly at the body's end: all three walks read the body.
  const bool ends_at_end = whole.complete && !feed(response, body.substr(0, body.size() - 1), 0).complete;
  if (ends_at_end) require(stored && out != nullptr);
  if (stored) require(out != nullptr);
  codec_free(nullptr, out);
  http_parser_free(response);
}

void check_decode(uint8_t pick, std::string_view body) {
  static const char* kHeads[] = {
      "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Encoding: compress\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n",
  };
  http_parser* response = head_of(kHeads[pick % 4]);
  char* out = nullptr;
  uint32_t out_len = 0;
  if (reqgate_plugin__DecodeContent(nullptr, response, body.data(), static_cast<uint32_t>(body.size()), &out,
                                    &out_len)) {
    require(out != nullptr && out_len < kWorkBuffer);
  }
  reqgate_plugin__DecodeMemFree(out);
  http_parser_free(response);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = (set_console_trace(false), true);
  (void)quiet;
  if (size < 1) return 0;
  const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
  check_walks(body);
  check_decode(data[0], body);
  return 0;
}
