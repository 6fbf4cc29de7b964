// cu_util: threads, process and thread ids, clocks, the process-wide random generator, base64,
// a re-entrant tokenizer, memory figures, the in-process buffer cu_shm, the PID file and leaving
// the console. The lock object cu_sem comes with it.
#pragma once
#include "cu_sem.h"
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>
#include <time.h>

VOR_EXTERN_C_BEGIN

/* A moment since 1970-01-01 00:00:00 UTC; 64-bit seconds so that nothing stops in 2038. */
typedef struct cu_timeval {
  int64_t tv_sec;
  int32_t tv_usec; /* 0 to 999,999 */
} cu_timeval;

/* The function a thread of cu_CreateThread runs. */
typedef void (*cu_thread_func)(void* arg);

/* Starts a detached thread running fn(arg) with the stack size asked for (0 = default); writes its id (the same as cu_GetThisThreadId inside it); false when it cannot start. */
VOR_API bool cu_CreateThread(uint32_t* thread_id, int32_t stack_size, cu_thread_func fn, void* arg);
/* Ends the calling thread. */
VOR_API void cu_ThreadExit(void);
/* The calling thread's system id. */
VOR_API uint32_t cu_GetThisThreadId(void);
/* The process id. */
VOR_API uint32_t cu_GetThisPid(void);

/* Seconds since 1970-01-01 UTC. */
VOR_API int64_t cu_time(void);
/* Milliseconds since 1970-01-01 UTC from the system clock (follows clock changes). */
VOR_API int64_t cu_GetTickCount(void);
/* Microseconds since 1970-01-01 UTC. */
VOR_API int64_t cu_timenow(void);
/* Seconds and microseconds since 1970-01-01 UTC; NULL ignored. */
VOR_API void cu_gettimeofday(cu_timeval* tv);
/* *t converted to local time into out; answers out, NULL on failure or NULL arguments. */
VOR_API struct tm* cu_localtime(const int64_t* t, struct tm* out);
/* *t converted to UTC into out; answers out, NULL on failure or NULL arguments. */
VOR_API struct tm* cu_gmtime(const int64_t* t, struct tm* out);

/* The next value, 0 to 2,147,483,647, of the process-wide generator (not for secrets). */
VOR_API int32_t cu_RandomValue(void);
/* Fills count unguessable characters from 0-9, A-Z and a-z and a NUL (buf holds count + 1). */
VOR_API void cu_RandomStr(char* buf, int32_t count);

/* Creates or truncates path and writes the process id ("%u"); false when it cannot. */
VOR_API bool cu_WritePidFile(const char* path);
/* Detaches from the console: descriptors 0-2 on /dev/null, a new session when possible. */
VOR_API bool cu_SetDaemon(void);
/* Total (capped by the cgroup limit) and available physical memory in bytes; either may be NULL. */
VOR_API bool cu_GetPhyMemSize(uint64_t* total, uint64_t* available);
/* Peak and current resident size of the process in bytes; either may be NULL. */
VOR_API bool cu_GetProcMemSize(uint64_t* peak, uint64_t* current);

/* Base64 of len bytes and a NUL into dst ((len + 2) / 3 * 4 + 1 bytes); the characters written, -1 for NULL or len <= 0. */
VOR_API int32_t cu_base64_encode(char* dst, const void* src, int32_t len);
/* As cu_base64_encode into a new buffer from the C heap (release with free()). */
VOR_API int32_t cu_base64_encode00(char** out, const void* src, int32_t len);
/* Decodes the text, skipping non-alphabet characters, writing at most size bytes (no NUL); the count, -1 for NULL or size <= 0. */
VOR_API int32_t cu_base64_decode(void* dst, const char* src, int32_t size);

/* The next token of text (NULL: continue at *cursor) up to a delimiter, which becomes NUL. */
VOR_API char* cu_strtok(char* text, const char* delims, char** cursor);

/* The in-process buffer with a read and write position. */
typedef struct cu_shm {
  uint32_t size;
  unsigned char* buffer;
  uint32_t position;
  int32_t state; /* -1 not set up, 2 attached, 3 detached */
} cu_shm;

/* A new record set up with a size-byte buffer; NULL for size 0 or no memory. */
VOR_API cu_shm* cu_shm_malloc(uint32_t size);
/* Sets up a record with a size-byte buffer, position 0; false for size 0 or no memory. */
VOR_API bool cu_shm_init(cu_shm* shm, uint32_t size);
/* The same as cu_shm_init; the key is ignored. */
VOR_API bool cu_shm_init_ex(cu_shm* shm, const char* key, uint32_t size);
/* Moves the position (origin 1: from it, 2: from the start, 3: back from the end); false when out of range. */
VOR_API bool cu_shm_seek(cu_shm* shm, uint32_t offset, int32_t origin);
/* Copies up to n bytes in at the position, never past the end; the bytes copied. */
VOR_API uint32_t cu_shm_write(cu_shm* shm, const void* data, uint32_t n);
/* Copies up to n bytes out from the position, never past the end; the bytes copied. */
VOR_API uint32_t cu_shm_read(cu_shm* shm, void* dst, uint32_t n);
/* The position; 0 for NULL. */
VOR_API uint32_t cu_shm_GetPos(cu_shm* shm);
/* The buffer while attached, else NULL. */
VOR_API void* cu_shm_BaseAddr(cu_shm* shm);
/* Attached becomes detached; false in any other state. */
VOR_API bool cu_shm_detach(cu_shm* shm);
/* Ends the record (frees the buffer only when attached); false when it was not set up. */
VOR_API bool cu_shm_destroy(cu_shm* shm);
/* cu_shm_destroy, then frees a record of cu_shm_malloc; NULL ignored. */
VOR_API void cu_shm_free(cu_shm* shm);

VOR_EXTERN_C_END
