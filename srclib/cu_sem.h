// cu_sem: the re-entrant lock object of every module. Operations on a lock that is not
// set up (state other than 1) do nothing and answer false.
#pragma once
#include "vor_export.h"
#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct cu_sem {
  pthread_mutex_t cs; /* recursive mutex */
  int32_t state;      /* 1 when set up, -1 before set-up and after destroy */
} cu_sem;

/* A new lock from the process allocator, set up; NULL when memory is short. */
VOR_API cu_sem* cu_sem_malloc(void);
/* Sets up a lock that lives inside another record (again each time); false only for NULL. */
VOR_API bool cu_sem_init(cu_sem* sem);
/* The same operation under its second name. */
VOR_API bool cu_sem_init_ex(cu_sem* sem);
/* Enters the lock when it is set up; false (and nothing done) otherwise or for NULL. */
VOR_API bool cu_sem_lock(cu_sem* sem);
/* Leaves the lock when it is set up; false otherwise or for NULL. */
VOR_API bool cu_sem_unlock(cu_sem* sem);
/* Tears the lock down (state -1); false when it was not set up. */
VOR_API bool cu_sem_destroy(cu_sem* sem);
/* Tears the lock down when set up, then frees a lock made by cu_sem_malloc; NULL ignored. */
VOR_API void cu_sem_free(cu_sem* sem);

VOR_EXTERN_C_END
