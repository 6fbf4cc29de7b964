// What the pipe's own files share.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "cu_config.h"
#include "cu_rtree.h"
#include "cu_ssl.h"
#include "cu_xjitter.h"
#include "cu_xmem.h"

namespace vor::conduit {

constexpr size_t kHostText = 256;  // the whole host text a request names, terminator included

// One client's pipe: found by the client's sid and by the sids of its upstream connections
// (the first one and, after a failed connect, the retry). Its own lock guards its fields and
// drives its TLS connection; no other pipe's work waits for it.
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

  std::mutex lock;
  // The tables hold one reference while the pipe is in them, each look-up one more until its
  // caller is done, so a pipe is never freed under a caller; the last reference frees it.
  std::atomic<int32_t> refs;
  bool linked;  // in the tables; a caller that finds it unlinked once locked treats it as gone

  int64_t active() const { return retry_sid != 0 ? retry_sid : upstream_sid; }
};

// ---- the look-up tables (conduit_table.cpp) ------------------------------------------------

// sid -> pipe in shards, each under a lock of its own held only around the map, so look-ups of
// different pipes seldom wait for each other. A shard's lock is taken after a pipe's lock,
// never before one.
class PipeTable {
 public:
  // Records sid -> pipe, replacing what sid had; false (nothing changed) without memory.
  bool put(int64_t sid, Pipe* pipe);
  // Takes sid out when it leads to pipe.
  void remove(int64_t sid, const Pipe* pipe);
  // The pipe of sid with a reference taken for the caller, or NULL.
  Pipe* find(int64_t sid);
  uint32_t size() const { return size_.load(std::memory_order_relaxed); }

 private:
  static constexpr size_t kShards = 64;
  struct alignas(64) Shard {  // a cache line of its own: threads on different shards share none
    std::mutex lock;
    std::unordered_map<int64_t, Pipe*> pipes;
  };
  Shard& shard_of(int64_t sid);

  std::array<Shard, kShards> shards_;
  std::atomic<uint32_t> size_{0};
};

// ---- upstream TLS (conduit_tls.cpp); every call runs under the pipe's lock -----------------

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
