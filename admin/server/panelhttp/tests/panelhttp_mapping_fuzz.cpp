// Maps arbitrary bytes as a request target onto a web root: whatever the target, a mapped file
// path lies under the root and holds no ".." segment.
#include <cstdint>
#include <string>

#include "cu_config.h"
#include "panelhttp.h"
#include "vor_fuzz_check.h"

using vor::test::require;

namespace {

panelhttp_ctx* context() {
  static panelhttp_ctx* ctx = [] {
    auto* c = new panelhttp_ctx{};
    c->settings = cu_config_make1("[system]\nwwwroot=/srv/www\n");
    c->mime = cu_config_make1("[mime]\nhtml=text/html\n");
    return c;
  }();
  return ctx;
}

bool has_parent_segment(const std::string& path) {
  size_t start = 0;
  while (true) {
    const size_t end = path.find_first_of("/\\", start);
    if (path.compare(start, end == std::string::npos ? std::string::npos : end - start, "..") == 0) return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string target(reinterpret_cast<const char*>(data), size);
  if (target.find('\0') != std::string::npos) return 0;
  vor_http_table* request = vor_http_table_make();
  if (!vor_http_table_SetRequest(request, target.c_str())) {
    vor_http_table_free(request);
    return 0;
  }
  vor_http_table_SetField(request, "Host", "h");
  if (RTParser* p = RTParser_make(context(), request)) {
    const std::string path = RTParser_GetLocalFilepath(p);
    require(path.rfind("/srv/www/", 0) == 0);
    require(!has_parent_segment(path));
    RTParser_free(p);
  }
  vor_http_table_free(request);
  return 0;
}
