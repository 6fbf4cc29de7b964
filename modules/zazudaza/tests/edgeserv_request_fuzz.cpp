// Request tracking fed arbitrary bytes: whole, and again in pieces whose size the input
// chooses (byte 0; 0 = one byte at a time), each piece fed until used up as the read path does
// (the bytes after a complete request start the next one). Body parts stay inside their chunk,
// every feed uses some bytes, states are the known ones, a refusal leaves the error state, and
// when the whole feed ends without error the pieces end in the same state with the same body
// bytes.
#include <cstdint>
#include <string>

#include "edgeserv_internal.h"
#include "vor_fuzz_check.h"

namespace {

using vor::test::require;

struct Fed {
  uint8_t state = 0;
  bool refused = false;
  std::string body;
};

Fed feed(const uint8_t* data, size_t size, size_t piece) {
  Fed fed;
  client_rec* rec = edge::client_new();
  require(rec != nullptr);
  for (size_t at = 0; at < size && !fed.refused; at += piece) {
    size_t n = std::min(piece, size - at);
    const char* chunk = reinterpret_cast<const char*>(data + at);
    while (n > 0 && !fed.refused) {
      const edge::ChunkOutcome out = edge::track_request(rec, chunk, static_cast<int32_t>(n));
      require(out.used > 0 && static_cast<size_t>(out.used) <= n);
      require(out.body_len >= 0 && out.body >= chunk && out.body + out.body_len <= chunk + out.used);
      fed.body.append(out.body, static_cast<size_t>(out.body_len));
      const uint8_t s = rec->state;
      require(s == 10 || s == 20 || s == 30 || s == 100);
      require(!out.refused || s == 100);
      require(s != 100 || out.body_len == 0);
      if (s == 20 || s == 30) require(rec->body_received <= rec->body_expected);
      // Bytes are left over only behind a complete request.
      require(static_cast<size_t>(out.used) == n || s == 30);
      fed.refused = out.refused;
      chunk += out.used;
      n -= static_cast<size_t>(out.used);
    }
  }
  fed.state = rec->state;
  edge::client_free(nullptr, rec);
  return fed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  edge::make_pools(nullptr);
  const size_t piece = data[0] == 0 ? 1 : data[0];
  const Fed whole = feed(data + 1, size - 1, size - 1);
  const Fed pieces = feed(data + 1, size - 1, piece);
  if (whole.refused) require(pieces.refused);
  if (whole.state != 100) {
    require(pieces.state == whole.state);
    require(pieces.body == whole.body);
  }
  return 0;
}
