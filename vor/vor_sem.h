// The live-handle registry: one process-wide set of object addresses under one re-entrant
// lock. Objects that late callbacks or stale handles may reach are registered while alive;
// their operations run under the registry lock after checking that the object is registered.
#pragma once
#include "vor_export.h"
#include <stdbool.h>

VOR_EXTERN_C_BEGIN

/* Creates the registry when missing; false when it cannot be created. */
VOR_API bool vor_sem_Setup(void);
/* Frees the registry (registered objects are not touched); the next call creates a new one. */
VOR_API void vor_sem_Shutdown(void);
/* Registers the pointer; true when registered afterwards, false for NULL or no memory. */
VOR_API bool __vor_sem_insert(void* obj);
/* True when the pointer is registered. */
VOR_API bool __vor_sem_check(void* obj);
/* Unregisters the pointer. */
VOR_API void __vor_sem_remove(void* obj);
/* True with the registry lock held by the caller when the pointer is registered; false with the lock free otherwise. */
VOR_API bool __vor_sem_lock(void* obj);
/* Releases the lock taken by a successful __vor_sem_lock. */
VOR_API void __vor_sem_unlock(void);

VOR_EXTERN_C_END
