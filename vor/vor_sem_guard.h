// Inside vorcore only: the live-handle check. A handle that a late callback or a stale caller
// may still pass in is registered while its object lives, and every operation on it is
// admitted only after the check. The set of live handles is vor::LiveSet<T> everywhere; two
// lock rules sit on it:
//  - VorSemGuard: the process-wide registry of vor_sem.h, whose one lock also guards the
//    registered objects (the http request, server and proxy objects);
//  - LiveSet::Hold alone: for objects with locks of their own (boxes, bigboxes), so that busy
//    paths share no process-wide lock.
#pragma once
#include "vor_internal.h"

#include <mutex>
#include <new>
#include <shared_mutex>
#include <unordered_set>
#include <utility>

#include "vor_sem.h"

// The registry lock held for a scope while the object is registered; released early before a
// user callback runs (callbacks may free the very object).
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

namespace vor {

// The live handles of one kind. remove() waits until every Hold taken on the set has ended, so
// an object found live stays live for the length of a Hold: free it only after remove().
template <class T>
class LiveSet {
 public:
  // Admits one operation on a handle: true while the handle was found live (or trusted).
  class Hold {
   public:
    Hold() = default;
    explicit operator bool() const { return admitted_; }
    // Refuses the operation after all (the object is live but closing, say).
    void refuse() {
      admitted_ = false;
      lock_ = {};
    }

   private:
    friend class LiveSet;
    std::shared_lock<std::shared_mutex> lock_;
    bool admitted_ = false;
  };

  // A Hold on obj. A trusted caller (one of the object's own threads, which it outlives) is
  // admitted without the set's lock.
  Hold hold(const T* obj, bool trusted = false) {
    Hold h;
    if (!obj) return h;
    if (trusted) {
      h.admitted_ = true;
      return h;
    }
    h.lock_ = std::shared_lock<std::shared_mutex>(mutex_);
    h.admitted_ = live_.count(obj) != 0;
    if (!h.admitted_) h.lock_ = {};
    return h;
  }

  // Registers obj; false without memory.
  bool add(const T* obj) {
    std::unique_lock<std::shared_mutex> guard(mutex_);
    try {
      live_.insert(obj);
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }

  // Unregisters obj once every Hold on the set has ended; false when it was not registered.
  bool remove(const T* obj) {
    std::unique_lock<std::shared_mutex> guard(mutex_);
    return live_.erase(obj) != 0;
  }

  bool contains(const T* obj) {
    std::shared_lock<std::shared_mutex> guard(mutex_);
    return obj && live_.count(obj) != 0;
  }

 private:
  std::shared_mutex mutex_;
  std::unordered_set<const T*> live_;
};

}  // namespace vor
