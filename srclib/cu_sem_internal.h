// Internal to vorcore: holding a cu_sem for the life of a scope.
#pragma once
#include "vor_internal.h"
#include "cu_sem.h"

namespace cu_internal {

// Enters lock for the scope; a NULL lock or one not set up is not held (nor left).
class SemHold {
 public:
  explicit SemHold(cu_sem* lock) : lock_(lock), held_(cu_sem_lock(lock)) {}
  ~SemHold() {
    if (held_) cu_sem_unlock(lock_);
  }
  SemHold(const SemHold&) = delete;
  SemHold& operator=(const SemHold&) = delete;

 private:
  cu_sem* lock_;
  bool held_;
};

}  // namespace cu_internal
