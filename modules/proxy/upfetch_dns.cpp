// The upstream of a request (its proxy host), the proxy-host statistics of the connection, and
// the asynchronous look-up of the upstream's name: the client is not read meanwhile, and the
// completion goes on with the request on the client's own slave thread.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "conduit.h"
#include "nameres.h"
#include "policydb.h"
#include "upfetch.h"
#include "upfetch_chain.h"
#include "upfetch_internal.h"
#include "upfetch_request.h"
#include "vor_bigbox.h"
#include "vor_box.h"

namespace vor::upfetch {

namespace {

constexpr uint32_t kNoId = 0xFFFFFFFFu;
constexpr uint64_t kTagModulus = 9999999;
constexpr size_t kTagSize = 16;
constexpr size_t kNameMax = 256;
constexpr uint32_t kFailCloseMs = 2000;
constexpr char kDnsFail[] = "Bad Gateway - DNS Resolving Fail For Upstream Server";

bool statistics_on() { return module().settings.host_statistics && policydb_system_get_IsUsedPageViewStat(); }

// The connection's statistics entry follows the proxy host of its latest request.
void count_connection(int64_t sid, uint32_t user_id, uint32_t host_id) {
  std::optional<StatEntry> moved_from;
  bool added = false;
  {
    std::lock_guard<std::mutex> hold(module().stats_lock);
    auto it = module().stats.find(sid);
    if (it == module().stats.end()) {
      module().stats.emplace(sid, StatEntry{user_id, host_id});
      added = true;
    } else if (it->second.user_id != user_id) {
      moved_from = it->second;
      it->second = StatEntry{user_id, host_id};
    }
  }
  if (moved_from) policydb_proxy_stat_SynUserConnectionDel(moved_from->user_id, moved_from->host_id);
  if (added || moved_from) policydb_proxy_stat_SynUserConnectionAdd(user_id, host_id);
}

void free_copies(char* body, char* tag, char* ip, char* host) {
  std::free(body);
  std::free(tag);
  std::free(ip);
  std::free(host);
}

// Clears the client's tag when it is still this look-up's.
void clear_tag(client_rec* client, const char* tag) {
  if (client && client->dns_tag == tag) client->dns_tag = nullptr;
}

struct Completion {
  int64_t sid;
  char* body;
  int32_t len;
  char* tag;
  char* ip;
  char* host;
};

Completion unpack(void* a1, void* a2, void* a3, void* a4, void* a6, void* a7) {
  return {static_cast<int64_t>(reinterpret_cast<intptr_t>(a1)), static_cast<char*>(a2),
          static_cast<int32_t>(reinterpret_cast<intptr_t>(a3)), static_cast<char*>(a4), static_cast<char*>(a6),
          static_cast<char*>(a7)};
}

// The client still waits for this look-up: its record holds the same tag.
client_rec* waiting_client(const Completion& c) {
  client_rec* client = edgeserv_GetClient_BySid(c.sid);
  return client && client->dns_tag == c.tag ? client : nullptr;
}

void dns_done(vor_box*, const char*, void* a1, void* a2, void* a3, void* a4, void*, void* a6, void* a7, void*) {
  const Completion c = unpack(a1, a2, a3, a4, a6, a7);
  client_rec* client = waiting_client(c);
  if (!client) {
    display_line("[Proxy -> Dns] dns request (%s)'s client have exited in inevent stage!\r\n", c.host);
    return free_copies(c.body, c.tag, c.ip, c.host);
  }
  client->dns_tag = nullptr;
  edgeserv_ImportSock_ForRead(c.sid);
  open_upstream(c.sid, client, c.host, nullptr, c.ip, c.body, c.len);
  free_copies(c.body, c.tag, c.ip, c.host);
}

void dns_fail(vor_box*, const char*, void* a1, void* a2, void* a3, void* a4, void*, void* a6, void* a7, void*) {
  const Completion c = unpack(a1, a2, a3, a4, a6, a7);
  if (client_rec* client = edgeserv_GetClient_BySid(c.sid)) {
    clear_tag(client, c.tag);
    seams::rtp_message(c.sid, 0, 0, 0, client->parser);
    edgeserv_return502(c.sid, nullptr, kDnsFail);
    edgeserv_close(c.sid, kFailCloseMs);
  }
  free_copies(c.body, c.tag, c.ip, c.host);
}

void* as_arg(int64_t value) { return reinterpret_cast<void*>(static_cast<intptr_t>(value)); }

}  // namespace

bool proxy_hit(int64_t sid, const char* client_ip, uint32_t address, http_parser* request, const char* key,
               const char* host, char* upstream, uint32_t* user_id, uint32_t* host_id, uint32_t* proxy_tls) {
  char method[8];
  uint32_t upstream_tls = 0;
  if (!http_parser_GetMothod(request, method) ||
      !policydb_proxy_IsHitExtExt(host, client_ip, key, upstream, kHostSize, user_id, host_id, proxy_tls,
                                  &upstream_tls)) {
    *user_id = kNoId;
    *host_id = kNoId;
    return false;
  }
  if (statistics_on()) {
    policydb_proxy_stat_SynIP(*user_id, *host_id, address);
    policydb_proxy_stat_SynUploadCount(*user_id, *host_id, static_cast<uint64_t>(http_parser_GetLen(request)));
    count_connection(sid, *user_id, *host_id);
  }
  display_line("[ProxyHit: ProxyHost -> UpstreamHost] %s -> %s\r\n", host, upstream);
  return true;
}

void count_upload(int64_t sid, uint64_t bytes) {
  std::optional<StatEntry> entry;
  {
    std::lock_guard<std::mutex> hold(module().stats_lock);
    const auto it = module().stats.find(sid);
    if (it != module().stats.end()) entry = it->second;
  }
  if (entry) policydb_proxy_stat_SynUploadCount(entry->user_id, entry->host_id, bytes);
}

std::string dns_tag(int64_t sid, int64_t now) {
  char tag[kTagSize];
  const uint64_t magnitude = now < 0 ? 0 - static_cast<uint64_t>(now) : static_cast<uint64_t>(now);
  std::snprintf(tag, sizeof tag, "%u-%u", static_cast<uint32_t>(static_cast<uint64_t>(sid) % kTagModulus),
                static_cast<uint32_t>(magnitude % kTagModulus));
  return tag;
}

bool dns_start(int64_t sid, client_rec* client, const char* body, int32_t body_len, const char* upstream, char* ip) {
  const char* colon = std::strchr(upstream, ':');
  const size_t name_len = std::min(colon ? static_cast<size_t>(colon - upstream) : std::strlen(upstream), kNameMax);
  const std::string name(upstream, name_len);
  if (nameres_HitCache(name.c_str(), ip)) return false;
  nameres_dns* dns = nameres_GetDnsHandle();
  edgeserv_ctx* ctx = module().ctx.load();
  vor_bigbox* bb = ctx && ctx->daemon ? ctx->daemon->bigbox : nullptr;
  vor_box* box = bb ? vor_bigbox_GetSlaveBox(bb, sid) : nullptr;
  if (!dns || !box) return false;
  char* body_copy = nullptr;
  if (body_len > 0) {
    body_copy = static_cast<char*>(std::malloc(static_cast<size_t>(body_len)));
    if (!body_copy) return false;
    std::memcpy(body_copy, body, static_cast<size_t>(body_len));
  }
  char* tag = strdup(dns_tag(sid, edgeserv_mytime()).c_str());
  char* host_copy = strdup(upstream);
  if (!tag || !host_copy) {
    free_copies(body_copy, tag, nullptr, host_copy);
    return false;
  }
  client->dns_tag = tag;
  if (nameres_AddRequest(dns, name.c_str(), upfetch_dns_callback, sid, body_copy, body_len, box, tag, 1, host_copy, 0,
                         0)) {
    edgeserv_ExportSock_ForRead(sid);
    return true;
  }
  client->dns_tag = nullptr;
  free_copies(body_copy, tag, nullptr, host_copy);
  return false;
}

}  // namespace vor::upfetch

using namespace vor::upfetch;

void upfetch_dns_callback(nameres_dns*, const char* name, const char* ip, bool success, int64_t sid, char* data,
                          int32_t len, vor_box* box, char* tag, int32_t flag, char* host) {
  if (edgeserv_GetDnsInEventId(sid) != tag) {
    display_line("[Proxy -> Dns] dns request (%s)'s client have exited in asyn requesting!\r\n", host);
    return free_copies(data, tag, nullptr, host);
  }
  char* ip_copy = success && ip ? strdup(ip) : nullptr;
  if (!success) display_line("[Proxy -> Dns] get host (%s) ip fail!\r\n", name);
  vor_box_inevent_fn next = ip_copy ? dns_done : dns_fail;
  if (!vor_box_AddInEvent(box, tag, next, as_arg(sid), data, as_arg(len), tag, as_arg(flag), ip_copy, host, nullptr)) {
    free_copies(data, tag, ip_copy, host);
    edgeserv_close(sid, 0);
  }
}
