// The outgoing address choice: local addresses by round robin or by a hash of the client's or
// the upstream's address, never for loopback or refused upstreams.
#include <cstdio>
#include <cstring>

#include "addrline.h"
#include "conduit.h"
#include "conduit_internal.h"
#include "cu_lib.h"
#include "cu_sock.h"
#include "edgeserv.h"
#include "vor_kit.h"

namespace vor::conduit {
namespace {

constexpr int kMostEntries = 256;
constexpr size_t kAddressText = 20;
constexpr const char* kWanFiles[] = {"../config/ext/WAN-HTTP.ini", "../config/ext/WAN.ini"};

std::string address_text(uint32_t value) {
  char text[16];
  cu_sock_32bitsToIP(text, value);
  return text;
}

// One local address: a line of the address-line parser that names a single address.
std::optional<uint32_t> read_local_address(const char* value) {
  const auto range = value ? addrline::parse_line(value) : std::nullopt;
  if (!range || range->low != range->high) return std::nullopt;
  return range->low;
}

Balance read_balance(cu_config* ini) {
  const char* value = cu_config_GetKey(ini, "WAN", "BALANCE");
  const int64_t n = value ? cu_atoll(value) : 1;
  // A value outside 0 to 2 keeps the default.
  return n >= 0 && n <= 2 ? static_cast<Balance>(n) : Balance::kClientHash;
}

bool display_of_node() {
  edgeserv_ctx* ctx = edgeserv_GetHandle();
  const char* v = ctx ? cu_config_GetKey(ctx->config, "system", "display_console") : nullptr;
  return !v || cu_atoll(v) == 1;
}

Wan& wan() {
  static Wan instance;
  return instance;
}

std::optional<std::string> client_address(int64_t sid) {
  char ip[kAddressText + 1];
  uint16_t port = 0;
  if (!cu_sock_GetPeer(sid, ip, static_cast<int32_t>(sizeof ip), &port)) return std::nullopt;
  return std::string(ip);
}

}  // namespace

uint32_t text_hash_magnitude(const char* text) {
  uint32_t h = 0;
  for (const char* c = text; *c; ++c) h = h * 31u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*c)));
  return h >> 31 ? 0u - h : h;
}

Wan::Wan() : refused_(cu_rtree_malloc()) {}
Wan::~Wan() { cu_rtree_free(refused_); }

void Wan::clear() {
  debug_ = false;
  balance_ = Balance::kClientHash;
  entries_.clear();
  cu_rtree_empty(refused_);
  cursor_.store(0);
}

void Wan::load(cu_config* ini, bool display) {
  clear();
  display_ = display;
  if (!ini) return;
  const char* debug = cu_config_GetKey(ini, "WAN", "DEBUG");
  debug_ = debug && cu_atoll(debug) != 0;
  balance_ = read_balance(ini);
  char key[16];
  for (int i = 0; i < kMostEntries; ++i) {
    std::snprintf(key, sizeof key, "WAN-%d", i);
    if (auto address = read_local_address(cu_config_GetKey(ini, "WAN", key))) {
      entries_.push_back({*address, address_text(*address)});
    }
  }
  for (int i = 0; i < kMostEntries; ++i) {
    std::snprintf(key, sizeof key, "REFUSE-%d", i);
    const char* value = cu_config_GetKey(ini, "REFUSE", key);
    const auto range = value ? addrline::parse_line(value) : std::nullopt;
    if (!range) continue;
    const std::string low = address_text(range->low);
    const std::string high = address_text(range->high);
    if (messages()) vor::console_line("WAN-HTTP.ini -> REFUSE -> low=%s -> high=%s\r\n", low.c_str(), high.c_str());
    if (!cu_rtree_insert(refused_, range->low, range->high, nullptr)) {
      vor::console_line("[WAN-HTTP.ini -> REFUSE -> CONFLICT!!!] low=%s -> high=%s\r\n", low.c_str(), high.c_str());
    }
  }
}

// The entry at the cursor (the first when the cursor has run past the end); the cursor moves
// to the one after it. Compare-exchange keeps every pick its own entry under any interleaving.
size_t Wan::next_round_robin() {
  const uint32_t size = static_cast<uint32_t>(entries_.size());
  uint32_t current = cursor_.load(std::memory_order_relaxed);
  uint32_t chosen = 0;
  do {
    chosen = current < size ? current : 0;
  } while (!cursor_.compare_exchange_weak(current, chosen + 1, std::memory_order_relaxed));
  return chosen;
}

bool Wan::pick(const std::optional<std::string>& client, const char* upstream, char* out) {
  uint32_t value = 0;
  if (entries_.empty() || !upstream || !out) return false;
  if (std::strncmp(upstream, "127.", 4) == 0 || !cu_sock_IPTo32bits(&value, upstream)) return false;
  if (cu_rtree_find(refused_, value, nullptr)) {
    if (messages()) vor::console_line("[PIPE -> WAN -> REFUSE] RESPONSE=%s\r\n", upstream);
    return false;
  }
  const Entry* entry = nullptr;
  switch (balance_) {
    case Balance::kRoundRobin:
      entry = &entries_[next_round_robin()];
      if (messages()) vor::console_line("[PIPE -> WAN -> POLLING] WAN=%s\r\n", entry->text.c_str());
      break;
    case Balance::kClientHash: {
      if (!client) return false;
      const std::string text = client->substr(0, kAddressText);
      entry = &entries_[text_hash_magnitude(text.c_str()) % entries_.size()];
      if (messages()) {
        vor::console_line("[PIPE -> WAN -> REQUEST-HASH] REQUEST=%s -> WAN=%s\r\n", text.c_str(), entry->text.c_str());
      }
      break;
    }
    case Balance::kUpstreamHash:
      entry = &entries_[text_hash_magnitude(upstream) % entries_.size()];
      if (messages()) {
        vor::console_line("[PIPE -> WAN -> RESPONSE-HASH] WAN=%s -> RESPONSE=%s\r\n", entry->text.c_str(), upstream);
      }
      break;
  }
  std::snprintf(out, kTextSize, "%s", entry->text.c_str());
  return true;
}

}  // namespace vor::conduit

using namespace vor::conduit;

bool vor::conduit::wan_configured() { return !wan().entries().empty(); }

void conduit_wan_load(void) {
  cu_config* ini = nullptr;
  for (const char* path : kWanFiles) {
    if ((ini = cu_config_make(path))) break;
  }
  wan().load(ini, display_of_node());
  cu_config_free(ini);
}

uint8_t conduit_wan_pick(int64_t client_sid, const char* upstream, char* out) {
  Wan& w = wan();
  const std::optional<std::string> client =
      w.balance() == Balance::kClientHash ? client_address(client_sid) : std::nullopt;
  return w.pick(client, upstream, out) ? 1 : 0;
}
