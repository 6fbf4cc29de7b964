// The one export macro of the base library: every C function other deliverables call
// carries VOR_API; everything else stays hidden (-fvisibility=hidden).
#pragma once

#if defined(VOR_BUILDING_VORCORE)
#define VOR_API __attribute__((visibility("default")))
#else
#define VOR_API
#endif

#ifdef __cplusplus
#define VOR_EXTERN_C_BEGIN extern "C" {
#define VOR_EXTERN_C_END }
#else
#define VOR_EXTERN_C_BEGIN
#define VOR_EXTERN_C_END
#endif
