#include "vor_sem.h"

#include <atomic>
#include <mutex>
#include <new>

#include "cu_sem.h"
#include "vor_kit.h"
#include "vor_sem_guard.h"

namespace {

// One lock for every registered object: its holders may take it again (cu_sem is re-entrant).
// The set of live addresses is the live-handle set every handle kind uses; here it is only
// ever used under the lock.
struct Registry {
  cu_sem lock;
  vor::LiveSet<void> live;
};

std::atomic<Registry*> g_registry{nullptr};
std::mutex g_lifecycle;  // creation and shutdown only; never held around registry work

Registry* create_registry() {
  auto* r = new (std::nothrow) Registry;
  if (!r) return nullptr;
  cu_sem_init(&r->lock);
  return r;
}

void destroy_registry(Registry* r) {
  if (!r) return;
  cu_sem_destroy(&r->lock);
  delete r;
}

Registry* registry() {
  Registry* r = g_registry.load(std::memory_order_acquire);
  if (r) return r;
  std::lock_guard<std::mutex> guard(g_lifecycle);
  r = g_registry.load(std::memory_order_relaxed);
  if (!r) {
    r = create_registry();
    g_registry.store(r, std::memory_order_release);
  }
  return r;
}
}  // namespace

bool vor_sem_Setup(void) { return registry() != nullptr; }

void vor_sem_Shutdown(void) {
  std::lock_guard<std::mutex> guard(g_lifecycle);
  destroy_registry(g_registry.exchange(nullptr, std::memory_order_acq_rel));
}

bool __vor_sem_insert(void* obj) {
  Registry* r = registry();
  if (!r || !obj) return false;
  vor::SemLock held(&r->lock);
  return r->live.add(obj);
}

bool __vor_sem_check(void* obj) {
  Registry* r = registry();
  if (!r || !obj) return false;
  vor::SemLock held(&r->lock);
  return r->live.contains(obj);
}

void __vor_sem_remove(void* obj) {
  Registry* r = registry();
  if (!r || !obj) return;
  vor::SemLock held(&r->lock);
  r->live.remove(obj);
}

bool __vor_sem_lock(void* obj) {
  Registry* r = registry();
  if (!r) return false;
  cu_sem_lock(&r->lock);
  if (r->live.contains(obj)) return true;
  cu_sem_unlock(&r->lock);
  return false;
}

void __vor_sem_unlock(void) {
  Registry* r = registry();
  if (r) cu_sem_unlock(&r->lock);
}
