// Date texts come from client and origin headers: any bytes must parse to -1 or a time in
// range, and a time that parses must survive being written and read again.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cu_date.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const int64_t t = cu_DateParse(text.c_str());
  if (t != -1) {
    if (t < 0 || t > 32535215999) abort();
    char written[64];
    cu_GetGMTString2(t, written, sizeof written);
    if (cu_DateParse(written) != t) abort();
  }
  cu_DateToTime(text.c_str());
  return 0;
}
