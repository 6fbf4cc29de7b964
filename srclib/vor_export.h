// The one export macro of every library of ours: a C function other deliverables call carries
// VOR_API; everything else stays hidden (-fvisibility=hidden). On a declaration of a function
// another library defines, the attribute changes nothing.
#pragma once

#define VOR_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define VOR_EXTERN_C_BEGIN extern "C" {
#define VOR_EXTERN_C_END }
#else
#define VOR_EXTERN_C_BEGIN
#define VOR_EXTERN_C_END
#endif
