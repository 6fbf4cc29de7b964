// Inside vorcore only: the live-handle lock held for a scope, released early before a user
// callback runs (callbacks may free the very object).
#pragma once
#include "vor_internal.h"
#include "vor_sem.h"

class VorSemGuard {
 public:
  explicit VorSemGuard(void* obj) : held_(__vor_sem_lock(obj)) {}
  ~VorSemGuard() { release(); }
  VorSemGuard(const VorSemGuard&) = delete;
  VorSemGuard& operator=(const VorSemGuard&) = delete;

  // True when the object was live and the lock is held.
  explicit operator bool() const { return held_; }
  // Takes the lock again after a callback; false (lock free) when the object went away meanwhile.
  bool relock(void* obj) {
    release();
    held_ = __vor_sem_lock(obj);
    return held_;
  }
  void release() {
    if (held_) __vor_sem_unlock();
    held_ = false;
  }

 private:
  bool held_;
};
