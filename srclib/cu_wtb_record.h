// The wtb record, for the library's own code and tests; other deliverables see it only
// through cu_wtb.h and size static records with wtb_sizeof.
#pragma once
#include "vor_internal.h"
#include <stdint.h>

// The four fields callers know, plus a flag in what would be tail padding, so wtb_sizeof
// stays what the four fields take.
struct wtb {
  int32_t cursor;
  int32_t length;
  char* buffer;  // capacity + 1 bytes: the text and its NUL
  int32_t capacity;
  int32_t caller_owned;  // made by wtb_make_StaticInit: record and buffer are the caller's
};
