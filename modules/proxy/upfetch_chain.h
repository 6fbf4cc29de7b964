// The steps of a request's way upstream that the read slot and the name look-up's completion
// share.
#pragma once
#include <cstdint>
#include <string>

#include "edgeserv.h"
#include "http_parser.h"

namespace vor::upfetch {

// The plug-ins' request-body walk; true when the chunk may go upstream (empty chunks always).
bool request_content_accepted(int64_t sid, http_parser* request, const char* body, int32_t len);

// The proxy host serving the request: on true upstream (200 bytes) holds its upstream host text
// and the ids and the proxy host's TLS option are set (the connection counted); on false the ids
// are all ones.
bool proxy_hit(int64_t sid, const char* client_ip, uint32_t address, http_parser* request, const char* key,
               const char* host, char* upstream, uint32_t* user_id, uint32_t* host_id, uint32_t* proxy_tls);
// Adds request-body bytes to the upload count of the connection's proxy host.
void count_upload(int64_t sid, uint64_t bytes);

// "sid-time": the sid and the magnitude of the clock, each modulo 9,999,999.
std::string dns_tag(int64_t sid, int64_t now);
// Starts the asynchronous look-up of the upstream's name, the client not read meanwhile; false
// when the name is cached (its address then in ip, 32 bytes) or no look-up can start.
bool dns_start(int64_t sid, client_rec* client, const char* body, int32_t body_len, const char* upstream, char* ip);

// Opens the pipe to upstream and sends the request on it (client_ip NULL: read from the sid).
void open_upstream(int64_t sid, client_rec* client, const char* upstream, const char* client_ip,
                   const char* upstream_ip, const char* body, int32_t body_len);
// The response record, the head and the body bytes of this chunk on the open pipe.
void send_upstream(int64_t sid, client_rec* client, int64_t upstream_sid, const char* body, int32_t body_len);

}  // namespace vor::upfetch
