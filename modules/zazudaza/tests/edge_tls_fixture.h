// Pieces of the HTTPS tests: certificates made with the openssl tool, server contexts built from
// them, and sub-modules whose on_accept shapes a connection before its handshake.
#pragma once
#include <string>

#include "cu_sock.h"
#include "cu_ssl.h"
#include "edgeserv.h"
#include "vor_tempdir.h"

namespace edge::test {

// A self-signed certificate for CN=a.com in dir: cert.pem and key.pem; false when openssl fails.
inline bool make_certificate(const vor::test::TempDir& dir) {
  return vor::test::run_shell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=a.com -keyout " +
                              dir.file("key.pem") + " -out " + dir.file("cert.pem") + " >/dev/null 2>&1") == 0;
}

// A chain of about 20 KB (a leaf for big.com naming 1,300 more hosts, then its CA) in dir:
// big-chain.pem and big-key.pem; false when openssl fails.
inline bool make_big_chain(const vor::test::TempDir& dir) {
  std::string names = "subjectAltName=DNS:big.com";
  for (int n = 0; n < 1300; ++n) names += ",DNS:h" + std::to_string(n) + ".big.com";
  vor::test::write_file(dir.file("big.ext"), names + "\n");
  const std::string cmd =
      "cd " + dir.path() + " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=big-ca -keyout big-ca-key.pem"
      " -out big-ca.pem && openssl req -newkey rsa:2048 -nodes -subj /CN=big.com -keyout big-key.pem -out big.csr"
      " && openssl x509 -req -in big.csr -CA big-ca.pem -CAkey big-ca-key.pem -CAcreateserial -days 2"
      " -extfile big.ext -out big-leaf.pem && cat big-leaf.pem big-ca.pem > big-chain.pem";
  return vor::test::run_shell("(" + cmd + ") >/dev/null 2>&1") == 0;
}

// A server context with the chain and key, as a proxy host's context is; false on failure.
inline bool build_certified(cu_ssl_ctx* holder, const std::string& chain, const std::string& key) {
  return cu_ssl_ctx_init(holder, CU_SSL_PROTO_DEFAULT) &&
         cu_ssl_ctx_UseCertificateChainFile(holder, chain.c_str(), key.c_str(), nullptr) &&
         cu_ssl_session_SetSessionIDContext(holder, "HTTPS", 5);
}

// on_accept slots, meant to be last in the walk.
// A 4 KB send buffer: a handshake flight bigger than that waits for room.
inline uint8_t small_send_buffer(edgeserv_ctx*, int64_t sid, const char*, uint16_t) {
  cu_sock_set_send_buff(sid, 4096);
  return 1;
}

// The answer to a connection over the limit, queued before any handshake.
inline uint8_t over_the_limit(edgeserv_ctx*, int64_t sid, const char*, uint16_t) {
  edgeserv_return503(sid, nullptr, "Service Temporarily Unavailable - Reach To Maximum Quorin Connections Setting");
  edgeserv_close(sid, 2000);
  return 1;
}

}  // namespace edge::test
