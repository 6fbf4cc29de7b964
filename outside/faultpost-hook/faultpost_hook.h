// faultpost hook: the in-process crash hook the edge server loads at start from the program
// folder (./libfaultpost.so) when it is there. Its one entry arms the crash reporter.
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Arms the hook for the program (name, version, product); 0 when it could not. UTF-8 texts. */
typedef uint8_t (*faultpost_InitMishap_fn)(const char* program, const char* version, const char* product);

#ifdef __cplusplus
}
#endif
