// edge_out: a sub-module for the edge server's output load tests. "/f/NAME" answers the file
// NAME of the folder in EDGE_BENCH_FILES through edgeserv_WriteFile and keeps the connection
// (edgeserv_close (sid, 6000)); every other request answers the 200 page and closes the same
// way (the page says "Connection: close", so clients reconnect).
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "edgeserv.h"

namespace {

uint8_t on_read(edgeserv_ctx*, int64_t sid, const char*, int32_t, const char*, int32_t) {
  client_rec* rec = edgeserv_GetClient_BySid(sid);
  if (!rec || rec->state != EDGESERV_STATE_COMPLETE) return 1;
  char target[512] = "";
  http_parser_GetRequest(rec->parser, target, sizeof target);
  const char* folder = getenv("EDGE_BENCH_FILES");
  struct stat st;
  if (folder && strncmp(target, "/f/", 3) == 0) {
    const std::string path = std::string(folder) + "/" + (target + 3);
    if (stat(path.c_str(), &st) == 0) {
      const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(st.st_size) + "\r\n\r\n";
      edgeserv_WriteJitter(sid, head.data(), static_cast<int32_t>(head.size()));
      edgeserv_WriteFile(sid, path.c_str(), 0, st.st_size);
      edgeserv_close(sid, 6000);
      return 1;
    }
  }
  edgeserv_return200(sid, nullptr, nullptr);
  edgeserv_close(sid, 6000);
  return 1;
}

}  // namespace

extern "C" {
__attribute__((visibility("default"))) submodule_desc edge_out = {371, "edge_out", nullptr, nullptr,
                                                                  nullptr, nullptr, on_read};
}
