// Parses arbitrary texts as URI references, resolves and relativises them against each other,
// and checks that a rooted path never keeps a "." or ".." segment and that normalising is stable.
#include "vor_uri.h"

#include "cu_malloc.h"
#include "vor_fuzz_check.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using vor::test::require;

void release(char* s) { _cu_free(s, "fuzz", __LINE__); }

bool has_dot_segment(const std::string& path) {
  size_t i = 0;
  while (i < path.size()) {
    const size_t j = std::min(path.find('/', i), path.size());
    const std::string seg = path.substr(i, j - i);
    if (seg == "." || seg == "..") return true;
    i = j + 1;
  }
  return false;
}

void check(const std::string& text) {
  vor_uri* u = vor_uri_malloc(text.c_str());
  if (!u) return;
  if (const char* path = vor_uri_GetPath(u)) {
    if (path[0] == '/') require(!has_dot_segment(path));
    std::string again = path;
    require(vor_uri_NormalizeURIPath(again.data()) == 0 && again == path);
  }
  release(vor_uri_GetURIString(u));
  release(vor_uri_GetURIRequest(u));
  vor_uri* c = vor_uri_clone(u);
  require(c != nullptr);
  vor_uri_free(c);
  vor_uri_free(u);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string all(reinterpret_cast<const char*>(data), size);
  all = all.substr(0, std::strlen(all.c_str()));
  const size_t cut = all.find('|');
  const std::string a = all.substr(0, cut);
  const std::string b = cut == std::string::npos ? "" : all.substr(cut + 1);
  check(a);
  check(b);
  release(vor_uri_BuildURI(a.c_str(), b.c_str()));
  release(vor_uri_BuildRelativeURI(a.c_str(), b.c_str()));
  release(vor_uri_CanonicPath(a.c_str()));
  release(vor_uri_PathToURI(a.c_str()));
  // Normalising in place never writes past the text: an exact-size block shows any overrun.
  auto* exact = static_cast<char*>(std::malloc(a.size() + 1));
  std::memcpy(exact, a.c_str(), a.size() + 1);
  vor_uri_NormalizeURIPath(exact);
  std::string once = exact;
  vor_uri_NormalizeURIPath(exact);
  require(once == exact);
  std::free(exact);
  return 0;
}
