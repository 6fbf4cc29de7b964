// The canonical form of a request head and the cache key made from it. A static library: the
// request handler, the request filter's key and the pipe's expired-cache answer all link it, so
// every cache and rule finds a request by the same key.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "http_parser.h"

namespace vor::upfetch {

constexpr int32_t kKeySize = 4096;   // key buffer, terminator included
constexpr int32_t kHostSize = 200;   // host buffer, terminator included
constexpr int32_t kTargetMax = 3888; // longest request target taken in

// What normalisation needs to know of the connection and the settings.
struct RequestContext {
  bool tls_on = false;
  bool use_forwarded_for = false;  // add the client address to X-Forwarded-For and X-Real-IP
  bool connect_allowed = false;    // CONNECT requests are served
  bool display = false;            // console lines about refused requests
  const char* client_ip = nullptr; // NULL: the client's address cannot be read
};

// Brings the head into its canonical form in place; false when the request must be refused.
// On true there is exactly one Host header holding a valid host, and the target is a path
// (for CONNECT: the host).
bool normalize_request(http_parser* head, const RequestContext& context);

// The cache key (host followed by path; for CONNECT the host alone) into key (kKeySize bytes)
// and the host into host (kHostSize bytes); false without a usable Host or when the key would
// not fit whole.
bool cache_key(http_parser* head, char* key, char* host, const char* method);

// Removes the fields of one hop: every field Connection names (but those the node frames or
// routes by), Keep-Alive, TE and Upgrade (kept when keep_upgrade and Connection names upgrade).
void drop_hop_by_hop(http_parser* head, bool keep_upgrade);

// True when the answer to this request ends its connection: a "close" token in Connection, no
// Connection header at all, or before HTTP/1.1 no "keep-alive" token.
bool wants_close(http_parser* request);

// True when the start line of the head ends with "HTTP/1.1".
bool speaks_http11(http_parser* head);

// True when text starts with prefix, ignoring ASCII case.
bool starts_ignore_case(std::string_view text, std::string_view prefix);

// True when host is a host name or address with at most one ":" and a decimal port.
bool is_valid_host(std::string_view host);

// The X-Quorin value after stamping old (empty: no header) with this node's via token: the
// whole token is appended, and the oldest "; "-separated entries are dropped while the value is
// longer than the part the loop test reads.
std::string stamped_x_quorin(std::string_view old, std::string_view token);
constexpr size_t kXQuorinRead = 1023;


}  // namespace vor::upfetch
