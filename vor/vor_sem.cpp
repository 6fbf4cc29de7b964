#include "vor_sem.h"

#include <atomic>
#include <mutex>
#include <new>
#include <unordered_set>

#include "cu_sem.h"

namespace {

// One lock for every registered object: its holders may take it again (cu_sem is re-entrant).
struct Registry {
  Registry() { cu_sem_init(&lock); }
  ~Registry() { cu_sem_destroy(&lock); }
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  cu_sem lock;
  std::unordered_set<const void*> live;
};

std::atomic<Registry*> g_registry{nullptr};
std::mutex g_lifecycle;  // creation and shutdown only; never held around registry work

Registry* registry() {
  Registry* r = g_registry.load(std::memory_order_acquire);
  if (r) return r;
  std::lock_guard<std::mutex> guard(g_lifecycle);
  r = g_registry.load(std::memory_order_relaxed);
  if (!r) {
    r = new (std::nothrow) Registry;
    if (r) {
      try {
        r->live.reserve(10240);
      } catch (const std::bad_alloc&) {
        delete r;
        return nullptr;
      }
    }
    g_registry.store(r, std::memory_order_release);
  }
  return r;
}

class Held {
 public:
  explicit Held(Registry* r) : r_(r) { cu_sem_lock(&r_->lock); }
  ~Held() { cu_sem_unlock(&r_->lock); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

 private:
  Registry* r_;
};
}  // namespace

bool vor_sem_Setup(void) { return registry() != nullptr; }

void vor_sem_Shutdown(void) {
  std::lock_guard<std::mutex> guard(g_lifecycle);
  delete g_registry.exchange(nullptr, std::memory_order_acq_rel);
}

bool __vor_sem_insert(void* obj) {
  Registry* r = registry();
  if (!r || !obj) return false;
  Held held(r);
  try {
    r->live.insert(obj);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool __vor_sem_check(void* obj) {
  Registry* r = registry();
  if (!r || !obj) return false;
  Held held(r);
  return r->live.count(obj) != 0;
}

void __vor_sem_remove(void* obj) {
  Registry* r = registry();
  if (!r || !obj) return;
  Held held(r);
  r->live.erase(obj);
}

bool __vor_sem_lock(void* obj) {
  Registry* r = registry();
  if (!r) return false;
  cu_sem_lock(&r->lock);
  if (obj && r->live.count(obj) != 0) return true;
  cu_sem_unlock(&r->lock);
  return false;
}

void __vor_sem_unlock(void) {
  Registry* r = registry();
  if (r) cu_sem_unlock(&r->lock);
}
