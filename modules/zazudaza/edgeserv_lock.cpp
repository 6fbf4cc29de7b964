// The context lock and the calling thread's depth of it. Slots, hooks, notices and location
// look-ups run at depth 0: a close is decided under the lock and carried out after it.
#include <stdio.h>
#include <stdlib.h>

#include "edgeserv_internal.h"

namespace edge {
namespace {
thread_local int t_depth = 0;
}  // namespace

CtxLock::CtxLock(edgeserv_ctx* ctx) : sem_(ctx ? ctx->lock : nullptr) { lock(); }

void CtxLock::lock() {
  if (held_ || !cu_sem_lock(sem_)) return;
  held_ = true;
  ++t_depth;
}

void CtxLock::unlock() {
  if (!held_) return;
  held_ = false;
  --t_depth;
  cu_sem_unlock(sem_);
  if (t_depth == 0) run_deferred_releases();
}

int lock_depth() { return t_depth; }

void expect_unlocked() {
#ifndef NDEBUG
  if (t_depth != 0) {
    fputs("edgeserv: a slot or callback was about to run with the context lock held\n", stderr);
    abort();
  }
#endif
}

}  // namespace edge
