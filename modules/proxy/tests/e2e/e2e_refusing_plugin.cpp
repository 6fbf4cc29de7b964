// A plug-in for the end-to-end suite: it takes over every request whose target starts with
// "/plugin-refused", answers it with a 403 page of its own and closes the connection, so the
// request never reaches an upstream. Every other request goes its normal way.
#include <cstring>

#include "edgeserv.h"
#include "quo_plugin.h"
#include "vor_export.h"

namespace {
constexpr char kRefused[] = "/plugin-refused";
}  // namespace

extern "C" {

VOR_API uint8_t quo_plugin_request_http(int64_t sid, http_parser* request) {
  char target[256];
  if (!http_parser_GetRequest(request, target, sizeof target)) return 1;
  if (std::strncmp(target, kRefused, sizeof kRefused - 1) != 0) return 1;
  edgeserv_return403(sid, "Forbidden", "Forbidden - By Fixture Plugin");
  edgeserv_close(sid, 2000);
  return 0;
}

}  // extern "C"
