// Calls from the pipe into the request filter's hit path, in one place the pipe's tests replace.
#include "seams.h"

#include "reqgate.h"

namespace vor::conduit::seams {

bool hit_cache(int64_t client_sid, http_parser* request, const char* key, uint8_t cache_kind) {
  uint8_t expired = 0;
  uint8_t revalidate = 0;
  uint8_t rewritten = 0;
  return reqgate_HitCache_v4(client_sid, request, key, cache_kind, 0, &expired, &revalidate, &rewritten, 1) != 0;
}

}  // namespace vor::conduit::seams
