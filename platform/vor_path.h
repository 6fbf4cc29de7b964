// The one path normaliser: configured paths may use '\' as well as '/'; Linux takes only '/'.
// Every entry point of the library that takes a file or folder path passes it through here.
#pragma once
#include "vor_internal.h"
#include <string>

namespace vor {

// A copy of path with every '\' turned into '/'; NULL gives an empty path.
std::string normalise_path(const char* path);

}  // namespace vor
