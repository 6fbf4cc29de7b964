// C++ only: a small kit over vorcore's exported C functions for modules and tests. Header-only
// and stateless, so it needs no export: owned handles, a scoped cu_sem lock, typed allocation
// from the process allocator, and console lines.
#pragma once
#include "vor_cxx_only.h"

#include <unistd.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "cu_malloc.h"
#include "cu_sem.h"
#include "vor_io.h"

namespace vor {

// --- owned handles --------------------------------------------------------------------------

// Calls Free on a handle; unique_ptr never passes it NULL.
template <auto Free>
struct FreeWith {
  template <class P>
  void operator()(P* p) const {
    Free(p);
  }
};

// A handle freed by Free at the end of its scope: vor::Owned<vor_uri, vor_uri_free>.
template <class T, auto Free>
using Owned = std::unique_ptr<T, FreeWith<Free>>;

// --- scoped lock ----------------------------------------------------------------------------

// Enters a cu_sem for a scope. A NULL lock, or one not set up, is neither held nor left.
// unlock() lets go early (before a callback, say); relock() enters it again.
class SemLock {
 public:
  explicit SemLock(cu_sem* sem) : sem_(sem), held_(cu_sem_lock(sem)) {}
  ~SemLock() { unlock(); }
  SemLock(const SemLock&) = delete;
  SemLock& operator=(const SemLock&) = delete;

  // True while the lock is held.
  explicit operator bool() const { return held_; }
  void unlock() {
    if (held_) cu_sem_unlock(sem_);
    held_ = false;
  }
  // True when held afterwards.
  bool relock() {
    if (!held_) held_ = cu_sem_lock(sem_);
    return held_;
  }

 private:
  cu_sem* sem_;
  bool held_;
};

// --- typed allocation -----------------------------------------------------------------------

// An allocation site: the unit's label (such as "vor\\vor_box") and the caller's line, taken
// where a label converts into a Site. (__builtin_LINE, which g++ and clang both have, rather
// than std::source_location, which clang 14 cannot give with this standard library.)
struct Site {
  Site(const char* unit_label, int32_t caller_line = __builtin_LINE()) : label(unit_label), line(caller_line) {}
  const char* label;
  int32_t line;
};

// A T from the process allocator, made from args (for an aggregate: all its members in order; none:
// value-initialised); NULL when memory is short.
template <class T, class... Args>
T* make(Site site, Args&&... args) {
  static_assert(alignof(T) <= alignof(std::max_align_t), "the allocator aligns for max_align_t only");
  void* mem = _cu_malloc(sizeof(T), site.label, site.line);
  if (!mem) return nullptr;
  // Braces for an aggregate (not every compiler of ours takes parentheses for one).
  if constexpr (std::is_aggregate_v<T>) {
    return new (mem) T{std::forward<Args>(args)...};
  } else {
    return new (mem) T(std::forward<Args>(args)...);
  }
}

// Ends and frees a T made by make(); NULL ignored.
template <class T>
void destroy(T* p, Site site) {
  if (!p) return;
  p->~T();
  _cu_free(p, site.label, site.line);
}

// A block of the process allocator freed under the unit's label: vor::Owned<char, vor::free_as<kUnit>>.
template <const char* Label>
void free_as(void* p) {
  _cu_free(p, Label, __LINE__);
}

// --- console lines --------------------------------------------------------------------------

// A line on the node's console (its standard output), formatted here and handed to the kernel
// in one write: lines of different threads never mix, and no stdio lock or flush is taken per
// line.
inline void console_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void console_line(const char* format, ...) {
  char line[2048];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n > 0 && static_cast<size_t>(n) < sizeof line) {
    vor::io::write_all(STDOUT_FILENO, line, static_cast<size_t>(n));
  } else if (n > 0) {
    std::string long_line(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(long_line.data(), long_line.size(), format, again);
    vor::io::write_all(STDOUT_FILENO, long_line.data(), static_cast<size_t>(n));
  }
  va_end(again);
}

}  // namespace vor
