// Calls from the pipe into other parts of the node; see seams.cpp.
#pragma once
#include <cstdint>

#include "http_parser.h"

namespace vor::conduit::seams {

// Looks the client's request up in the caches, expired copies included, and answers it from
// there; true when it was answered.
bool hit_cache(int64_t client_sid, http_parser* request, const char* key, uint8_t cache_kind);

}  // namespace vor::conduit::seams
