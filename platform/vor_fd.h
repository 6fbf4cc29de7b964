// Descriptor rules of the library: every open is close-on-exec, and no descriptor handed out
// is 0, 1 or 2 (callers treat a descriptor of 0 or below as failure, and the standard streams
// must never be taken over by a file).
#pragma once
#include "vor_internal.h"
#include <cstdio>
#include <sys/types.h>

namespace vor {

// Moves a descriptor of 0..2 to 3 or above (close-on-exec) and closes the original; other
// values pass through. On failure closes fd and answers -1 with errno set.
int fd_above_stdio(int fd);

// open(2) of a normalised path with O_CLOEXEC added and the result kept above 2;
// -1 with errno set on failure.
int open_file(const char* path, int flags, mode_t mode = 0666);

// open_file() wrapped into a stdio stream of the given mode (which must agree with flags);
// NULL with errno set on failure.
FILE* open_stream(const char* path, int flags, const char* stdio_mode, mode_t mode = 0666);

}  // namespace vor
