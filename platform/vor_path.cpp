#include "vor_path.h"

#include <algorithm>

namespace vor {

std::string normalise_path(const char* path) {
  if (!path) return {};
  std::string out(path);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

}  // namespace vor
