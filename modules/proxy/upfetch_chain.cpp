// The read slot: every complete request head runs the admission chain (access lists, pause,
// loop, canonical form, rewrite and protection rules, plug-ins, proxy hosts, cache classification
// and hit, the upstream's address and the pipe); the later chunks of a taken request are body
// for its upstream.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include <strings.h>

#include "addrline.h"
#include "conduit.h"
#include "policydb.h"
#include "reqgate.h"
#include "upfetch.h"
#include "upfetch_chain.h"
#include "upfetch_internal.h"
#include "upfetch_plugins.h"
#include "upfetch_referer.h"
#include "upfetch_request.h"
#include "vor_bigbox.h"
#include "vor_kit.h"

namespace vor::upfetch {

namespace {

constexpr uint32_t kRefuseCloseMs = 2000;
constexpr uint32_t kAnsweredCloseMs = 6000;
constexpr size_t kAddressText = 64;
constexpr int32_t kRuleText = 4096;

using PageFn = void (*)(int64_t sid, const char* title, const char* text);

// The taken mark of a request answered here (a page or a hit) rather than sent upstream: the
// rest of its body is read and dropped, never sent on a pipe or answered again.
constexpr uint8_t kTakenAnswered = 2;

// What the chain knows of the request it judges.
struct Request {
  int64_t sid;
  client_rec* client;
  http_parser* parser;
  char ip[kAddressText + 1] = "";
  uint16_t port = 0;
  uint32_t address = 0;
  char method[8] = "";
  char key[kKeySize] = "";
  char host[kHostSize] = "";
  char upstream[kHostSize] = "";
};

vor_bigbox* bigbox() {
  edgeserv_ctx* ctx = module().ctx.load();
  return ctx && ctx->daemon ? ctx->daemon->bigbox : nullptr;
}

void probe(const Request& r, uint8_t hit, uint8_t refused, uint8_t member) {
  seams::rtp_message(r.sid, hit, refused, member, r.parser);
}

// Refused: the page only when the request is complete, then no more of it is read.
void refuse(Request& r, PageFn page, const char* text) {
  if (r.client->state == EDGESERV_STATE_COMPLETE && page) page(r.sid, nullptr, text);
  r.client->state = EDGESERV_STATE_ERROR;
  edgeserv_close(r.sid, kRefuseCloseMs);
}

// Ends a request a rule answered; a kept-alive connection waits for the client's next one.
void answered_close(Request& r) {
  r.client->taken = kTakenAnswered;
  if (wants_close(r.parser)) {
    edgeserv_TryFasterSafeClose(r.sid);
  } else {
    edgeserv_close(r.sid, kAnsweredCloseMs);
    edgeserv_AnswerDone(r.sid);
  }
}

// Taken and closed after a page (or none) for a request that cannot go on.
void end_request(Request& r, PageFn page, const char* text) {
  r.client->taken = kTakenAnswered;
  if (r.client->state == EDGESERV_STATE_COMPLETE && page) page(r.sid, nullptr, text);
  edgeserv_close(r.sid, kRefuseCloseMs);
}

std::string filled(const char* format, const char* value) {
  char text[256];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

bool read_address(Request& r) {
  vor_bigbox* bb = bigbox();
  if (bb && vor_bigbox_GetSockIP(bb, r.sid, r.ip, static_cast<int32_t>(sizeof r.ip), &r.port)) {
    if (const auto range = addrline::parse_line(r.ip)) r.address = range->low;
  }
  return true;
}

bool has_header(http_parser* parser, const char* name) { return http_parser_IsKey(parser, name); }

// Access lists and the pause; true when the request was refused.
bool access_refused(Request& r) {
  if (policydb_black_IsHit(r.address)) {
    display_line("[Proxy -> HitBlackList] %s\r\n", r.ip);
    refuse(r, edgeserv_return403, filled("Forbidden - By BlackList(%s)", r.ip).c_str());
    return true;
  }
  if (policydb_system_get_BlockTransparentProxyAccess() &&
      (has_header(r.parser, "X-Forwarded-For") || has_header(r.parser, "X-Real-IP")) &&
      !has_header(r.parser, "X-Quorin")) {
    refuse(r, edgeserv_return403, filled("Forbidden - By BlackList Of Transparent Proxy (%s)", r.ip).c_str());
    return true;
  }
  if (seams::region_blocks(r.address)) {
    refuse(r, edgeserv_return403, filled("Forbidden - By BlackList Of Region(%s)", r.ip).c_str());
    return true;
  }
  if (policydb_system_get_EnableWhiteList() && !policydb_white_IsHit(r.address)) {
    refuse(r, edgeserv_return403, "Forbidden - By WhiteList");
    return true;
  }
  if (!policydb_system_get_IsRunning()) {
    display_line("[Proxy] pause! server is not running!\r\n");
    probe(r, 0, 1, 0);
    refuse(r, edgeserv_return503, "Service Temporarily Unavailable - Quorin Is Paused");
    return true;
  }
  return false;
}

// The request passed through this node before: its X-Quorin holds our own token.
bool loops(Request& r) {
  char value[1024];
  const char* token = edgeserv_XFlag();
  if (!token || !*token || !http_parser_GetKey(r.parser, "X-Quorin", value, sizeof value)) return false;
  if (!strcasestr(value, token)) return false;
  display_line("[Proxy] X-Quorin: %s is recreated!\r\n", token);
  probe(r, 0, 1, 0);
  refuse(r, edgeserv_return200, "Welcome To Quorin!");
  return true;
}

bool read_key(Request& r) {
  return http_parser_GetMothod(r.parser, r.method) && cache_key(r.parser, r.key, r.host, r.method);
}

// A key that cannot be made ends the request without a page.
void drop_unkeyed(Request& r) {
  probe(r, 0, 1, 0);
  r.client->state = EDGESERV_STATE_ERROR;
  r.client->taken = 1;
  edgeserv_TryFasterSafeClose(r.sid);
}

enum class Rule : uint8_t { kPass, kAnswered, kRewritten };

void replace_host(Request& r, const std::string& new_host) {
  if (strcasecmp(new_host.c_str(), r.host) != 0) http_parser_ModifyKey(r.parser, "Host", new_host.c_str());
}

// A rewrite rule: a redirect, a rewrite in place, or a 400 page for an empty target.
Rule rewrite(Request& r) {
  char result[kRuleText] = "";
  uint8_t redirect = 0;
  if (!policydb_rewrite_IsHit(r.key, result, sizeof result, &redirect)) return Rule::kPass;
  std::string_view target(result);
  int scheme = 2;
  if (starts_ignore_case(target, "http://")) {
    scheme = 0;
    target.remove_prefix(7);
  } else if (starts_ignore_case(target, "https://")) {
    scheme = 1;
    target.remove_prefix(8);
  }
  const std::string text(target);
  display_line("[RewriteHit: RequestUrl -> RewriteUrl] %s -> %s\r\n", r.key, text.c_str());
  if (redirect == 1) {
    if (text == r.key) {
      const bool tls = edgeserv_ClientSSLOn(r.sid) != 0;
      if (tls ? scheme != 0 : scheme != 1) return Rule::kRewritten;
    }
    if (!text.empty()) {
      edgeserv_return30X(r.sid, result);
      return Rule::kAnswered;
    }
  } else if (!text.empty()) {
    const size_t slash = text.find('/');
    replace_host(r, text.substr(0, std::min<size_t>(slash, kHostSize - 1)));
    if (slash != std::string::npos) {
      http_parser_ModifyRequest(r.parser, text.substr(slash).c_str());
    } else {
      http_parser_ModifyRequest(r.parser, std::strcmp(r.method, "CONNECT") == 0 ? text.c_str() : "/");
    }
    return Rule::kRewritten;
  }
  edgeserv_return400(r.sid, nullptr, "Bad Request - By Rewriting Rules");
  return Rule::kAnswered;
}

// A hotlink protection rule on a Referer from another site.
Rule protect(Request& r) {
  char referer[kRuleText];
  if (!http_parser_GetKey(r.parser, "Referer", referer, sizeof referer) || !*referer) return Rule::kPass;
  if (referer_is_own_host(referer, r.host)) return Rule::kPass;
  char location[kRuleText] = "";
  if (!policydb_protect_IsHit(r.key, referer, location, sizeof location)) return Rule::kPass;
  std::string_view bare(location);
  if (starts_ignore_case(bare, "http://")) bare.remove_prefix(7);
  if (bare == r.key) return Rule::kPass;
  std::string_view shown(referer);
  if (starts_ignore_case(shown, "http://")) shown.remove_prefix(7);
  display_line("[ProtectHit: RequestUrl -> RefererUrl -> LocationUrl] %s -> %s -> %s\r\n", r.key,
               std::string(shown).c_str(), location);
  if (*location) {
    edgeserv_return30X(r.sid, location);
  } else {
    edgeserv_return400(r.sid, nullptr, "Bad Request - By Protecting Rules");
  }
  return Rule::kAnswered;
}

void reset_request_fields(client_rec* client) {
  client->lifetime = 0;
  client->cache_kind = 0;
  client->icookie = 1;
  client->expired = 0;
  client->revalidate = 0;
  client->rewritten = 0;
  client->disk_permission = 1;
  client->disk_refusal = 0;
}

// The upstream of the request: its proxy host's, or the request's own host when rewritten or
// when the node is an open proxy. False when the request ended here.
bool choose_upstream(Request& r, bool rewritten) {
  uint32_t proxy_tls = 0;
  if (proxy_hit(r.sid, r.ip, r.address, r.parser, r.key, r.host, r.upstream, &r.client->user_id, &r.client->host_id,
                &proxy_tls)) {
    if (proxy_tls == 1 && !edgeserv_ClientSSLOn(r.sid)) {
      probe(r, 0, 1, 0);
      r.client->taken = kTakenAnswered;
      if (r.client->state == EDGESERV_STATE_COMPLETE) {
        const std::string location = std::string("https://") + r.key;
        edgeserv_return301(r.sid, location.c_str());
      }
      edgeserv_close(r.sid, kRefuseCloseMs);
      return false;
    }
    return true;
  }
  if (rewritten) {
    std::snprintf(r.upstream, sizeof r.upstream, "%s", r.host);
    return true;
  }
  if (module().settings.open_proxy && http_parser_GetKey(r.parser, "Host", r.upstream, sizeof r.upstream)) return true;
  if (!module().settings.open_proxy && module().settings.show_invalid_requests) {
    vor::console_line("[Proxy -> InvalidRequest] from [%s:%d] to [%s]\r\n", r.ip, r.port, r.host);
  }
  probe(r, 0, 1, 0);
  end_request(r, edgeserv_return400, "Bad Request - Invalid Host");
  return false;
}

void lower_case(char* text) {
  for (; *text; ++text) *text = static_cast<char>(std::tolower(static_cast<unsigned char>(*text)));
}

bool classify_and_hit(Request& r) {
  client_rec* c = r.client;
  if (reqgate_NewRequest_v4(r.sid, r.parser, r.key, &c->cache_kind, &c->icookie, &c->lifetime, &c->disk_permission,
                            &c->disk_refusal) != 1) {
    c->state = EDGESERV_STATE_ERROR;
    edgeserv_ForceClose(r.sid);
    return false;
  }
  if (seams::hit_cache(r.sid, r.parser, r.key, c)) {
    probe(r, 1, 0, c->cache_kind == 3 ? 1 : 0);
    c->taken = kTakenAnswered;
    return false;
  }
  return true;
}

void admission_chain(int64_t sid, client_rec* client, const char* body, int32_t body_len) {
  Request r{sid, client, client->parser};
  read_address(r);
  if (access_refused(r) || loops(r)) return;
  if (!upfetch_normalize_request(module().ctx.load(), sid, r.parser)) {
    display_line("[Proxy] normalize http header error!\r\n");
    probe(r, 0, 1, 0);
    refuse(r, edgeserv_return400, "Bad Request - HTTP Request Error");
    return;
  }
  if (!read_key(r)) return drop_unkeyed(r);
  bool rewritten = false;
  if (policydb_rewrite_IsExist()) {
    const Rule rule = rewrite(r);
    if (rule == Rule::kAnswered) {
      probe(r, 0, 0, 0);
      return answered_close(r);
    }
    if (rule == Rule::kRewritten) {
      rewritten = true;
      if (!read_key(r)) return drop_unkeyed(r);
    }
  }
  if (policydb_protect_IsExist() && protect(r) == Rule::kAnswered) {
    probe(r, 0, 1, 0);
    return answered_close(r);
  }
  reset_request_fields(client);
  if (!plugins::request_http(sid, r.parser)) return;
  if (!read_key(r)) return drop_unkeyed(r);
  if (!choose_upstream(r, rewritten)) return;
  lower_case(r.upstream);
  if (!classify_and_hit(r)) return;
  char resolved[32] = "";
  if (dns_start(sid, client, body, body_len, r.upstream, resolved)) {
    display_line("[Proxy -> Dns] start asyn-dns-request (%s)!\r\n", r.upstream);
    return;
  }
  open_upstream(sid, client, r.upstream, r.ip, resolved, body, body_len);
}

// A later chunk of a taken request: body for its upstream.
void forward_body(int64_t sid, client_rec* client, const char* body, int32_t body_len) {
  // Answered here: the connection's pipe, if any, belongs to an earlier request.
  if (client->taken == kTakenAnswered) return;
  edgeserv_unclose(sid);
  if (!request_content_accepted(sid, client->parser, body, body_len)) return;
  const int64_t upstream = conduit_GetAnotherSid(sid);
  if (upstream <= 0) {
    display_line("[Proxy -> Pipe] cann't find response (request = %lld)!\r\n", static_cast<long long>(sid));
    if (client->state == EDGESERV_STATE_COMPLETE) edgeserv_return502(sid, nullptr, "Bad Gateway - Pipe Is Gone");
    client->state = EDGESERV_STATE_ERROR;
    edgeserv_close(sid, kRefuseCloseMs);
    return;
  }
  conduit_WriteToResponse(upstream, body, static_cast<uint32_t>(body_len));
  if (module().settings.host_statistics && policydb_system_get_IsUsedPageViewStat()) {
    count_upload(sid, static_cast<uint64_t>(body_len));
  }
}

}  // namespace

bool request_content_accepted(int64_t sid, http_parser* request, const char* body, int32_t len) {
  return len <= 0 || upfetch__request_content_hook(sid, request, body, static_cast<uint32_t>(len)) != 0;
}

void open_upstream(int64_t sid, client_rec* client, const char* upstream, const char* client_ip,
                   const char* upstream_ip, const char* body, int32_t body_len) {
  const int64_t upstream_sid = conduit_BuildResponseSid_v2(bigbox(), upstream, sid, client->user_id, client->host_id);
  if (upstream_sid <= 0) {
    display_line("[Proxy] build pipe fail (host = %s)!\r\n", upstream);
    seams::rtp_message(sid, 0, 0, 0, client->parser);
    client->state = EDGESERV_STATE_ERROR;
    edgeserv_close(sid, kRefuseCloseMs);
    return;
  }
  upfetch_stamp_x_quorin(module().ctx.load(), client->parser, sid, client_ip, upstream_ip);
  send_upstream(sid, client, upstream_sid, body, body_len);
}

void send_upstream(int64_t sid, client_rec* client, int64_t upstream_sid, const char* body, int32_t body_len) {
  char method[8];
  char key[kKeySize];
  char host[kHostSize];
  http_parser* parser = client->parser;
  if (!http_parser_GetMothod(parser, method) || !cache_key(parser, key, host, method)) return;
  if (!reqgate_NewFilter_v4(sid, parser, upstream_sid, key, client->cache_kind, client->icookie, client->lifetime,
                            client->expired, client->revalidate, client->rewritten, client->disk_permission)) {
    // The upstream connection stays unused and goes with the client.
    edgeserv_return502(sid, nullptr, "Bad Gateway - Cann't Connect To Upstream Server");
    client->state = EDGESERV_STATE_ERROR;
    edgeserv_close(sid, kRefuseCloseMs);
    return;
  }
  client->taken = 1;
  upfetch_forward_head(sid, upstream_sid, parser);
  if (client->revalidate == 1) {
    client->revalidate = 0;
    http_parser_DelKey(parser, "If-Modified-Since");
    http_parser_DelKey(parser, "If-None-Match");
  }
  if (body_len <= 0) {
    conduit_WriteToResponse(upstream_sid, body, 0);
  } else if (request_content_accepted(sid, parser, body, body_len)) {
    conduit_WriteToResponse(upstream_sid, body, static_cast<uint32_t>(body_len));
  }
}

}  // namespace vor::upfetch

using namespace vor::upfetch;

uint8_t upfetch_on_read(edgeserv_ctx*, int64_t sid, const char*, int32_t, const char* body, int32_t body_len) {
  client_rec* client = edgeserv_GetClient_BySid(sid);
  if (!client) {
    display_line("[Proxy] client isn't exist(sid=%lld)!\r\n", static_cast<long long>(sid));
    return 0;
  }
  switch (client->state) {
    case EDGESERV_STATE_NEW:
    case EDGESERV_STATE_HEAD:
      return 0;
    case EDGESERV_STATE_BODY:
    case EDGESERV_STATE_COMPLETE:
      if (client->taken) {
        forward_body(sid, client, body, body_len);
      } else {
        admission_chain(sid, client, body, body_len);
      }
      return 0;
    case EDGESERV_STATE_ERROR:
      // Refused already, its page queued: the page goes out, then the close; nothing more is read
      // as a request. A force close here would drop the page.
      edgeserv_close(sid, 0);
      return 0;
    default:
      display_line("[Proxy] client request http header error!\r\n");
      edgeserv_ForceClose(sid);
      return 0;
  }
}
