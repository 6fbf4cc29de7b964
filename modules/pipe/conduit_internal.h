// What the pipe's own files share.
#pragma once
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cu_config.h"
#include "cu_rtree.h"

namespace vor::conduit {

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
