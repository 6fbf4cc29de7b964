#include "vor_sem.h"

#include <atomic>
#include <mutex>
#include <new>

#include "cu_sem.h"
#include "cu_xhash.h"
#include "vor_kit.h"

namespace {

constexpr int64_t kBuckets = 10240;

// One lock for every registered object: its holders may take it again (cu_sem is re-entrant).
// The set is keyed by the object's address; each address is held at most once.
struct Registry {
  cu_sem lock;
  cu_i64hash* live = nullptr;
};

int64_t key_of(const void* obj) { return static_cast<int64_t>(reinterpret_cast<intptr_t>(obj)); }

bool is_live(Registry* r, const void* obj) { return obj && cu_i64hash_find(r->live, key_of(obj), nullptr); }

std::atomic<Registry*> g_registry{nullptr};
std::mutex g_lifecycle;  // creation and shutdown only; never held around registry work

Registry* create_registry() {
  auto* r = new (std::nothrow) Registry;
  if (!r) return nullptr;
  r->live = cu_i64hash_malloc(kBuckets);
  if (!r->live) {
    delete r;
    return nullptr;
  }
  cu_sem_init(&r->lock);
  return r;
}

void destroy_registry(Registry* r) {
  if (!r) return;
  cu_i64hash_free(r->live);
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
  return is_live(r, obj) || cu_i64hash_insert(r->live, key_of(obj), obj);
}

bool __vor_sem_check(void* obj) {
  Registry* r = registry();
  if (!r || !obj) return false;
  vor::SemLock held(&r->lock);
  return is_live(r, obj);
}

void __vor_sem_remove(void* obj) {
  Registry* r = registry();
  if (!r || !obj) return;
  vor::SemLock held(&r->lock);
  cu_i64hash_delete(r->live, key_of(obj));
}

bool __vor_sem_lock(void* obj) {
  Registry* r = registry();
  if (!r) return false;
  cu_sem_lock(&r->lock);
  if (is_live(r, obj)) return true;
  cu_sem_unlock(&r->lock);
  return false;
}

void __vor_sem_unlock(void) {
  Registry* r = registry();
  if (r) cu_sem_unlock(&r->lock);
}
