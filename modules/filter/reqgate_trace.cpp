// The console trace switch (display_console) and its printer: console lines go to standard
// output, as the other modules print theirs.
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "reqgate_internal.h"

namespace vor::reqgate {

namespace {
std::atomic<bool> g_trace{true};
}  // namespace

bool console_trace() { return g_trace.load(std::memory_order_relaxed); }
void set_console_trace(bool on) { g_trace.store(on, std::memory_order_relaxed); }

void trace(const char* format, ...) {
  if (!console_trace()) return;
  char line[8192];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::fputs(line, stdout);
  std::fflush(stdout);
}

}  // namespace vor::reqgate
