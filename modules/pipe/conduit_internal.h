// What the pipe's own files share.
#pragma once
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cu_config.h"
#include "cu_rtree.h"
#include "cu_ssl.h"
#include "cu_xjitter.h"
#include "cu_xmem.h"

namespace vor::conduit {

constexpr size_t kHostText = 256;  // the whole host text a request names, terminator included

// One client's pipe: found by the client's sid and by the sids of its upstream connections
// (the first one and, after a failed connect, the retry), all under the one pipe lock.
struct Pipe {
  int64_t client_sid;
  int64_t upstream_sid;
  int64_t retry_sid;  // when set, the active upstream
  char host[kHostText];
  uint8_t closed;
  uint32_t user_id;
  uint32_t host_id;
  uint8_t tls_on;
  cu_ssl_conn* tls;       // the upstream TLS connection when tls_on
  cu_xjitter tls_input;   // ciphertext from the upstream, not yet decrypted
  cu_xjitter tls_output;  // request bytes waiting for the handshake
  uint8_t answered;       // a byte was decrypted since the pipe was built or reused
  uint8_t saved_with_data;  // the session was saved again once it carried data

  int64_t active() const { return retry_sid != 0 ? retry_sid : upstream_sid; }
};

// ---- upstream TLS (conduit_tls.cpp); every call runs under the pipe lock -------------------

// Puts conn on a memory channel to the pipe's active upstream, with its two byte queues from
// pool; false (conn left to the caller) when the channel cannot be made.
bool tls_attach(Pipe* pipe, cu_ssl_conn* conn, cu_xmem* pool);
// Frees the connection and both queues.
void tls_release(Pipe* pipe);
// On connect: the server name (the client's Host without its port) and a saved session are
// offered, and the handshake starts.
void tls_begin(Pipe* pipe, const char* host_header);
// Request bytes towards the upstream: queued until the handshake is done, then encrypted.
// False when the queue could not take them all (the bytes are lost: both sides must end).
bool tls_send(Pipe* pipe, const char* data, uint32_t len);
// Request bytes held back by the handshake.
uint64_t tls_held(Pipe* pipe);

// What arriving ciphertext gave.
struct Decrypted {
  enum Kind : uint8_t {
    kBytes,        // len plain bytes in the caller's buffer, NUL-terminated
    kWait,         // nothing yet
    kPage,         // answer the client with the 502 page and close it
    kEndAsClosed,  // the upstream ended its session after answering: end it as a close does
    kEndBoth       // close the client and the upstream
  } kind;
  int32_t len;
  const char* page;
};
constexpr int32_t kDecryptBatch = 32767;

// Takes len ciphertext bytes (none for a further batch), steps the handshake and decrypts at
// most kDecryptBatch bytes into out (kDecryptBatch + 1 bytes of room).
Decrypted tls_receive(Pipe* pipe, const char* data, int32_t len, char* out);

enum class Balance : int32_t { kRoundRobin = 0, kClientHash = 1, kUpstreamHash = 2 };

// The local addresses to spread upstream connections over, and the upstreams never bound.
class Wan {
 public:
  static constexpr size_t kTextSize = 21;  // an address text and its terminator
  struct Entry {
    uint32_t address;
    std::string text;
  };

  Wan();
  ~Wan();
  Wan(const Wan&) = delete;
  Wan& operator=(const Wan&) = delete;

  // Reads the settings of ini (NULL: none, so nothing is ever chosen). display: the node's
  // console setting; DEBUG turns the messages on as well.
  void load(cu_config* ini, bool display);
  // Writes the chosen address text into out (kTextSize bytes); false when none is chosen.
  // client: the client's address text, nothing when it cannot be read.
  bool pick(const std::optional<std::string>& client, const char* upstream, char* out);

  const std::vector<Entry>& entries() const { return entries_; }
  Balance balance() const { return balance_; }
  bool messages() const { return debug_ || display_; }

 private:
  void clear();
  size_t next_round_robin();

  bool debug_ = false;
  bool display_ = true;
  Balance balance_ = Balance::kClientHash;
  std::vector<Entry> entries_;
  cu_rtree* refused_;
  std::atomic<uint32_t> cursor_{0};
};

// True when local addresses are configured to bind upstream connections to.
bool wan_configured();

// h = h * 31 + c over the text in 32-bit arithmetic that wraps; its magnitude.
uint32_t text_hash_magnitude(const char* text);

}  // namespace vor::conduit
