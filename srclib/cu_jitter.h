// cu_jitter: a byte FIFO made of fixed-size ring blocks chained on a cu_list, with a block
// limit. Appending never moves queued bytes; a block leaves the chain as soon as it drains.
// Counts are signed 32-bit; memory comes from the process allocator; there is no lock.
#pragma once
#include "cu_list.h"
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct _cu_jitter_block {
  uint8_t* data;
  int32_t used;
  int32_t capacity;
  int32_t wpos; /* where the next byte goes, 0 .. capacity */
  int32_t rpos; /* where the oldest byte is */
} _cu_jitter_block;

typedef struct cu_jitter {
  cu_list* head;    /* blocks, oldest first */
  cu_list* current; /* node of the block being written (the last) */
  int32_t block_size;
  int32_t block_count;
  int32_t max_blocks;
  int32_t stored;
} cu_jitter;

/* A new empty queue; NULL when a size is <= 0 or memory is short. The third argument is unused. */
VOR_API cu_jitter* cu_jitter_mallocx(int32_t block_size, int32_t max_blocks, void* unused);
/* A queue of 16,384-byte blocks, at most 100,000 of them. */
VOR_API cu_jitter* cu_jitter_malloc(void);
/* Sets up a caller's record; false (record left empty) for a size <= 0 or a NULL record. */
VOR_API bool cu_jitter_init(cu_jitter* q, int32_t block_size, int32_t max_blocks);
/* Appends up to n bytes; answers how many fitted (short at the block limit or without memory). */
VOR_API int32_t cu_jitter_SetData(cu_jitter* q, const void* data, int32_t n);
/* Removes min(n, stored) bytes from the front into buf (NULL buf discards them). */
VOR_API int32_t cu_jitter_GetData(cu_jitter* q, void* buf, int32_t n);
/* Copies min(n, stored) bytes from the front without removing them. */
VOR_API int32_t cu_jitter_PeekData(cu_jitter* q, void* buf, int32_t n);
/* Copies up to n bytes starting offset bytes from the front; 0 when offset >= stored. */
VOR_API int32_t cu_jitter_PeekDatax(cu_jitter* q, void* buf, int32_t offset, int32_t n);
/* Bytes stored; 0 for NULL. */
VOR_API int32_t cu_jitter_GetLen(cu_jitter* q);
/* min(block size x max blocks, 2^31 - 1) - stored; 0 for NULL. */
VOR_API int32_t cu_jitter_GetAvailableLen(cu_jitter* q);
/* Frees every block; the record and its sizes stay. NULL ignored. */
VOR_API void cu_jitter_empty(cu_jitter* q);
/* Same as cu_jitter_empty. */
VOR_API void cu_jitter_destroy(cu_jitter* q);
/* Frees the blocks and the record. NULL ignored. */
VOR_API void cu_jitter_free(cu_jitter* q);

/* A block of capacity bytes; NULL when capacity <= 0 or memory is short. */
VOR_API _cu_jitter_block* _cu_jitter_block_new(int32_t capacity);
/* Frees buffer and record; NULL ignored. */
VOR_API void _cu_jitter_block_free(_cu_jitter_block* b);
/* Forgets the contents: used and both positions 0. */
VOR_API void _cu_jitter_block_reset(_cu_jitter_block* b);
/* All n bytes or nothing: false when they do not fit; true for n <= 0. */
VOR_API bool _cu_jitter_block_SetData(_cu_jitter_block* b, const void* data, int32_t n);
/* Removes min(n, used) bytes into buf (NULL buf discards them). */
VOR_API int32_t _cu_jitter_block_GetData(_cu_jitter_block* b, void* buf, int32_t n);
/* Copies min(n, used) bytes without removing them; a NULL buf copies nothing but answers the count. */
VOR_API int32_t _cu_jitter_block_PeekData(_cu_jitter_block* b, void* buf, int32_t n);
/* Copies the held bytes [from, to) counted from the read position; the count is cut to what is held. */
VOR_API int32_t _cu_jitter_block_PeekData_ext(_cu_jitter_block* b, void* buf, int32_t from, int32_t to);
/* Finds the first NUL: total = bytes before it + the run of NULs there, nuls = that run; false when none. */
VOR_API bool _cu_jitter_block_CalPacketLen(_cu_jitter_block* b, int32_t* total, int32_t* nuls);
/* Bytes held. */
VOR_API int32_t _cu_jitter_block_GetLen(_cu_jitter_block* b);
/* capacity - used. */
VOR_API int32_t _cu_jitter_block_GetAvailableLen(_cu_jitter_block* b);

VOR_EXTERN_C_END
