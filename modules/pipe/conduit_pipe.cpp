// The pipe to the upstream. Until it is built no pipe is ever made.
#include "conduit.h"

VOR_EXTERN_C_BEGIN

int64_t conduit_BuildResponseSid_v2(vor_bigbox*, const char*, int64_t, uint32_t, uint32_t) { return -1; }
int64_t conduit_BuildResponseSid(vor_bigbox*, const char*, int64_t) { return -1; }
int64_t conduit_GetAnotherSid(int64_t) { return 0; }
uint8_t conduit_ResponseSSLOn(int64_t) { return 0; }
uint32_t conduit_WriteToRequest(int64_t, const char*, uint32_t) { return 0; }
uint32_t conduit_WriteToResponse(int64_t, const char*, uint32_t) { return 0; }
uint64_t conduit_GetCacheSize(void) { return 0; }
uint32_t conduit_GetNumOfConnections(void) { return 0; }
uint64_t conduit_GetTotalSendBytes(void) { return 0; }
uint64_t conduit_GetTotalRecvBytes(void) { return 0; }

VOR_EXTERN_C_END
