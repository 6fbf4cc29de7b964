// Key-value stores of the disk-cache index: one SQLite file per store, safe under kill -9.
// Every call may come from any thread at once, puts and deletes also while other threads walk
// the store; each thread walks with its own cursor. vor_kv_* reads a store read-only, once.
#pragma once
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct vor_kv2 vor_kv2;
typedef struct vor_kv vor_kv;

/* Opens the store at path, creating a missing one; cache_mib sizes its page cache. Both txn
   values give the same crash-safe store; options and flags are accepted as given. NULL for a
   file that is not a store or one damaged by an unclean close. */
VOR_API vor_kv2* vor_kv2_open_ext(const char* path, bool txn, bool txn_sync, int32_t options, int32_t cache_mib,
                                  int32_t flags);
/* Adds or replaces; true once committed. flags must be 0. */
VOR_API bool vor_kv2_put(vor_kv2* store, int32_t flags, const void* key, int32_t key_len, const void* value,
                         int32_t value_len);
/* Copies at most *value_len bytes of the value and sets *value_len to the bytes copied; false when absent. */
VOR_API bool vor_kv2_get(vor_kv2* store, int32_t flags, const void* key, int32_t key_len, void* value,
                         int32_t* value_len);
/* True when a record was removed. */
VOR_API bool vor_kv2_del(vor_kv2* store, int32_t flags, const void* key, int32_t key_len);
/* Starts (or restarts) the calling thread's walk of the store in key order. */
VOR_API bool vor_kv2_Foreach_Rewind(vor_kv2* store, int32_t flags);
/* The next record of the calling thread's walk: a record present throughout comes once, one
   deleted before it is reached never, a rewritten one with its current value. Copies at most
   key_len bytes of the key (no NUL) and *value_len bytes of the value, setting *value_len to
   the bytes copied; false at the end. */
VOR_API bool vor_kv2_Foreach_GetNext(vor_kv2* store, void* key, int32_t key_len, void* value, int32_t* value_len);
/* Ends the calling thread's walk. */
VOR_API void vor_kv2_Foreach_Cancel(vor_kv2* store);
/* Records held; buckets (the 256-byte records the page cache holds, at least 65,536); bytes of
   the store's files. All three answer all ones for a NULL or closed store. */
VOR_API uint64_t vor_kv2_count(vor_kv2* store);
VOR_API uint64_t vor_kv2_nbuckets(vor_kv2* store);
VOR_API uint64_t vor_kv2_size(vor_kv2* store);
/* Copies the log into the store as far as readers allow, without waiting for writers. */
VOR_API bool vor_kv2_flush(vor_kv2* store);
/* Copies the whole log into the store, syncs it and empties the log. */
VOR_API bool vor_kv2_checkpoint(vor_kv2* store, int32_t mode, int32_t flags);
/* Gives free pages back to the file system, a step at a time. */
VOR_API bool vor_kv2_defrag(vor_kv2* store);
/* Removes every record. */
VOR_API bool vor_kv2_clear(vor_kv2* store);
/* Waits for calls in progress, puts every acknowledged record on disk and closes the files;
   the handle stays valid for the life of the process and answers as a closed store. */
VOR_API void vor_kv2_halfclose(vor_kv2* store);
/* The same, then frees the handle. */
VOR_API void vor_kv2_close(vor_kv2* store);

/* Opens a store read-only; NULL for a missing file or one that is not a store. */
VOR_API vor_kv* vor_kv_open_ext(const char* path, bool txn, bool txn_sync, int32_t options, int32_t cache_mib,
                                int32_t flags);
VOR_API bool vor_kv_Foreach_Rewind(vor_kv* store, int32_t flags);
VOR_API bool vor_kv_Foreach_GetNext(vor_kv* store, void* key, int32_t key_len, void* value, int32_t* value_len);
VOR_API void vor_kv_close(vor_kv* store);

VOR_EXTERN_C_END
