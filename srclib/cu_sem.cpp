#include "cu_sem.h"

#include "cu_malloc.h"

namespace {
constexpr char kUnit[] = "srclib\\cu_util";
constexpr int32_t kReady = 1;
constexpr int32_t kDown = -1;

bool is_ready(const cu_sem* sem) { return sem && sem->state == kReady; }
}  // namespace

bool cu_sem_init(cu_sem* sem) {
  if (!sem) return false;
  sem->state = kDown;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&sem->cs, &attr);
  pthread_mutexattr_destroy(&attr);
  sem->state = kReady;
  return true;
}

bool cu_sem_init_ex(cu_sem* sem) { return cu_sem_init(sem); }

cu_sem* cu_sem_malloc(void) {
  auto* sem = static_cast<cu_sem*>(_cu_malloc(sizeof(cu_sem), kUnit, __LINE__));
  if (sem) cu_sem_init(sem);
  return sem;
}

bool cu_sem_lock(cu_sem* sem) {
  if (!is_ready(sem)) return false;
  pthread_mutex_lock(&sem->cs);
  return true;
}

bool cu_sem_unlock(cu_sem* sem) {
  if (!is_ready(sem)) return false;
  pthread_mutex_unlock(&sem->cs);
  return true;
}

bool cu_sem_destroy(cu_sem* sem) {
  if (!is_ready(sem)) return false;
  sem->state = kDown;
  pthread_mutex_destroy(&sem->cs);
  return true;
}

void cu_sem_free(cu_sem* sem) {
  if (!sem) return;
  cu_sem_destroy(sem);
  _cu_free(sem, kUnit, __LINE__);
}
