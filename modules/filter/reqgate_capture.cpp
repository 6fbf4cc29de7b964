// Response capture: the record of each proxied response, its head and body on their way to the
// client and the caches. Until capture is built every response is refused a record.
#include "reqgate.h"

VOR_EXTERN_C_BEGIN

uint8_t reqgate_NewFilter_v4(int64_t, http_parser*, int64_t, const char*, uint8_t, uint8_t, uint32_t, uint8_t,
                             uint8_t, uint8_t, uint8_t) {
  return 0;
}
uint8_t reqgate_NewFilter_v3(int64_t, http_parser*, int64_t, const char*, uint8_t, uint8_t, uint32_t, uint8_t,
                             uint8_t, uint8_t) {
  return 0;
}
uint8_t reqgate_ResponseInput_v3(int64_t, const char*, uint32_t, reqgate_writer, reqgate_writer) { return 1; }
void reqgate_OnResponseClose(int64_t) {}
void reqgate_RefreshRequestingURL(const char*, uint8_t, uint8_t) {}
uint8_t reqgate_DropResponse(int64_t) { return 0; }

VOR_EXTERN_C_END
