#include "cu_console.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "cu_malloc.h"
#include "cu_sem.h"
#include "vor_fd.h"
#include "vor_kit.h"

namespace {
constexpr char kUnit[] = "srclib\\cu_console";
constexpr char kDefaultName[] = "cu_console.txt";
constexpr size_t kBufferSize = 24576;
constexpr size_t kMessageMax = 20480;

// The lock lives as long as the process: any thread may still call cu_console_printf while
// another shuts the console down, and a torn-down cu_sem would let it in unguarded.
struct Console {
  Console() { cu_sem_init(&lock); }
  cu_sem lock;
  bool on = true;
  std::string name = kDefaultName;
  FILE* file = nullptr;
  char* buffer = nullptr;
};

Console& console() {
  static Console* instance = new Console;  // never destroyed: writes may come from exit paths
  return *instance;
}

void turn_off(Console& c) {
  c.on = false;
  if (c.file) fclose(c.file);
  c.file = nullptr;
}

FILE* open_console_file(const std::string& name) {
  return vor::open_stream(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, "wb");
}
}  // namespace

int32_t cu_console_Setup(const char* name) {
  const char* taken = name ? name : kDefaultName;
  size_t length = strlen(taken);
  if (length >= PATH_MAX) return 0;
  Console& c = console();
  vor::SemLock held(&c.lock);
  if (c.on) turn_off(c);
  c.name = taken;
  c.on = true;
  return static_cast<int32_t>(length);
}

void cu_console_Free(void) {
  Console& c = console();
  vor::SemLock held(&c.lock);
  turn_off(c);
}

void cu_console_Shutdown(void) {
  Console& c = console();
  vor::SemLock held(&c.lock);
  turn_off(c);
  _cu_free(c.buffer, kUnit, __LINE__);
  c.buffer = nullptr;
}

void cu_console_printf(const char* format, ...) {
  if (!format) return;
  Console& c = console();
  vor::SemLock held(&c.lock);
  if (!c.on) return;
  if (!c.file) c.file = open_console_file(c.name);
  if (!c.buffer) c.buffer = static_cast<char*>(_cu_malloc(kBufferSize, kUnit, __LINE__));
  if (!c.file || !c.buffer) return;
  va_list args;
  va_start(args, format);
  int n = vsnprintf(c.buffer, kMessageMax + 1, format, args);
  va_end(args);
  if (n <= 0) return;
  c.buffer[kMessageMax] = '\0';
  fwrite(c.buffer, 1, std::min(static_cast<size_t>(n), kMessageMax), c.file);
  fflush(c.file);
}
