// Own and private addresses, and whether a head bound upstream is stamped with X-Quorin.
#include <cstring>
#include <string>

#include "addrline.h"
#include "cu_sock.h"
#include "upfetch.h"
#include "upfetch_internal.h"
#include "upfetch_request.h"

namespace vor::upfetch {
namespace {

constexpr const char* kPrivateRanges[] = {"10.0.0.0/8",  "172.16.0.0/12",  "192.168.0.0/16", "127.0.0.0/8",
                                          "224.0.0.0/3", "169.254.0.0/16", "240.0.0.0/4"};
constexpr int32_t kMostOwnAddresses = 100;
constexpr size_t kAddressText = 20;      // characters of an address text compared or kept
constexpr int32_t kHeadTextMax = 16384;  // the longest head a parser holds

bool insert_line(cu_rtree* tree, const char* line) {
  const auto range = addrline::parse_line(line);
  return range && cu_rtree_insert(tree, range->low, range->high, nullptr);
}

bool holds(cu_rtree* tree, const char* ip) {
  uint32_t value = 0;
  return ip && cu_sock_IPTo32bits(&value, ip) && cu_rtree_find(tree, value, nullptr);
}

}  // namespace

std::optional<std::string> client_address(int64_t sid) {
  char ip[kAddressText + 1];
  uint16_t port = 0;
  if (!cu_sock_GetPeer(sid, ip, static_cast<int32_t>(sizeof ip), &port)) return std::nullopt;
  return std::string(ip);
}

AddressTables::AddressTables() : own_(cu_rtree_malloc()), private_(cu_rtree_malloc()) {}

AddressTables::~AddressTables() {
  cu_rtree_free(own_);
  cu_rtree_free(private_);
}

void AddressTables::build(const std::vector<std::string>& own_addresses) {
  cu_rtree_empty(own_);
  cu_rtree_empty(private_);
  // 240.0.0.0/4 lies inside 224.0.0.0/3 and is refused as a duplicate: nothing is lost.
  for (const char* range : kPrivateRanges) insert_line(private_, range);
  for (const std::string& ip : own_addresses) {
    insert_line(own_, ip.c_str());
    if (!holds(private_, ip.c_str())) insert_line(private_, ip.c_str());
  }
}

bool AddressTables::is_own(const char* ip) const { return holds(own_, ip); }
bool AddressTables::is_private(const char* ip) const { return holds(private_, ip); }

std::vector<std::string> local_addresses() {
  std::vector<char> slots(kMostOwnAddresses * 21, '\0');
  int32_t count = 0;
  std::vector<std::string> out;
  if (!cu_sock_GetLocalHostIP(slots.data(), kMostOwnAddresses, &count)) return out;
  for (int32_t i = 0; i < count && i < kMostOwnAddresses; ++i) out.emplace_back(&slots[i * 21]);
  return out;
}

// Mode 1 stamps unless the upstream is a public address that is neither the client nor this
// host: a request that may come back to this node carries the node's token.
bool should_stamp(int32_t mode, const std::optional<std::string>& client, const char* upstream,
                  const AddressTables& tables) {
  if (mode == 0) return false;
  if (mode != 1) return true;
  std::string up(upstream ? upstream : "");
  up = up.substr(0, std::min(up.find(':'), kAddressText - 1));
  if (!client) return true;
  if (client->compare(0, kAddressText, up, 0, kAddressText) == 0) return true;
  if (tables.is_own(client->c_str())) return true;
  uint32_t value = 0;
  if (!cu_sock_IPTo32bits(&value, up.c_str())) return true;
  return tables.is_private(up.c_str());
}

}  // namespace vor::upfetch

using namespace vor::upfetch;

void upfetch_stamp_x_quorin(edgeserv_ctx*, http_parser* parser, int64_t sid, const char* client,
                            const char* upstream) {
  if (!parser) return;
  const std::optional<std::string> client_ip = client ? std::optional<std::string>(client) : client_address(sid);
  if (!should_stamp(module().settings.x_quorin_mode, client_ip, upstream, module().addresses)) return;
  const char* token = edgeserv_XFlag();
  if (!token) return;
  // The whole old value: its newest entries are at its end.
  std::string old(kHeadTextMax, '\0');
  if (!http_parser_GetKey(parser, "X-Quorin", old.data(), kHeadTextMax)) old.clear();
  old.resize(std::strlen(old.c_str()));
  http_parser_ModifyKey(parser, "X-Quorin", stamped_x_quorin(old, token).c_str());
}
