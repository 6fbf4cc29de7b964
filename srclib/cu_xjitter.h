// cu_xjitter: a byte FIFO of ring blocks with 64-bit counts, embedded in its owner's record.
// Blocks are single allocations (header + data) from the pool the record names, or from the
// process allocator when it names none. No lock: the owner serialises access.
#pragma once
#include "cu_xmem.h"
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* One block: this header, then capacity data bytes in the same allocation. */
typedef struct cu_xjitter_block {
  uint8_t* data;
  uint64_t used;
  uint64_t capacity;
  uint64_t write_pos;
  uint64_t read_pos;
  struct cu_xjitter_block* prev;
  struct cu_xjitter_block* next;
} cu_xjitter_block;

/* The queue record, embedded by its owner; never copy it while it holds blocks. */
typedef struct cu_xjitter {
  cu_xjitter_block* head;
  cu_xjitter_block* current;
  uint64_t block_size;
  uint64_t block_count;
  uint64_t max_blocks;
  uint64_t stored;
  cu_xmem* pool;
} cu_xjitter;

/* Sets every field: empty, with the sizes and the pool (NULL: process allocator) as passed. */
VOR_API void cu_xjitter_init(cu_xjitter* q, cu_xmem* pool, uint64_t block_size, uint64_t max_blocks);
/* Appends up to n bytes within block size x max blocks; answers how many were appended. */
VOR_API uint64_t cu_xjitter_SetData(cu_xjitter* q, const void* data, uint64_t n);
/* Removes up to n bytes from the front into buf (NULL discards them); answers the count. */
VOR_API uint64_t cu_xjitter_GetData(cu_xjitter* q, void* buf, uint64_t n);
/* Copies up to n bytes from the front without removing them; answers the count. */
VOR_API uint64_t cu_xjitter_PeekData(cu_xjitter* q, void* buf, uint64_t n);
/* Copies up to n bytes that start offset bytes from the front; 0 when offset >= stored. */
VOR_API uint64_t cu_xjitter_PeekDatax(cu_xjitter* q, void* buf, uint64_t offset, uint64_t n);
/* Bytes stored; 0 for NULL. */
VOR_API uint64_t cu_xjitter_GetLen(cu_xjitter* q);
/* Bytes that may still be appended; 0 for NULL. */
VOR_API uint64_t cu_xjitter_GetAvailableLen(cu_xjitter* q);
/* Returns every block to its pool; sizes and pool stay, so the record is usable at once. */
VOR_API void cu_xjitter_empty(cu_xjitter* q);
/* Same as cu_xjitter_empty. */
VOR_API void cu_xjitter_destroy(cu_xjitter* q);

/* A block of capacity data bytes from pool (NULL: process allocator); NULL when memory is short. */
VOR_API cu_xjitter_block* cu_xjitter_block_new(cu_xmem* pool, uint64_t capacity);
/* Returns a block to the pool it came from; NULL ignored. */
VOR_API void cu_xjitter_block_free(cu_xjitter_block* b, cu_xmem* pool);
/* Forgets the contents: used and both positions 0. */
VOR_API void cu_xjitter_block_reset(cu_xjitter_block* b);
/* Appends all n bytes or none; false when they do not fit. */
VOR_API bool cu_xjitter_block_SetData(cu_xjitter_block* b, const void* data, uint64_t n);
/* Removes up to n bytes into buf (NULL discards them); answers the count. */
VOR_API uint64_t cu_xjitter_block_GetData(cu_xjitter_block* b, void* buf, uint64_t n);
/* Copies up to n bytes without removing them (NULL buf copies nothing); answers the count. */
VOR_API uint64_t cu_xjitter_block_PeekData(cu_xjitter_block* b, void* buf, uint64_t n);
/* Copies the held bytes from offset from up to offset to (both from the read position); answers the count. */
VOR_API uint64_t cu_xjitter_block_PeekData_ext(cu_xjitter_block* b, void* buf, uint64_t from, uint64_t to);
/* Bytes held. */
VOR_API uint64_t cu_xjitter_block_GetLen(cu_xjitter_block* b);
/* Free room: capacity - used. */
VOR_API uint64_t cu_xjitter_block_GetAvailableLen(cu_xjitter_block* b);

VOR_EXTERN_C_END

#ifdef __cplusplus
namespace vor {

// Holds a cu_xjitter for C++ owners. The record's blocks belong to it alone, so a copy
// (which would free them twice) is refused at compile time; the blocks go back on destruction.
class XJitter {
 public:
  XJitter(cu_xmem* pool, uint64_t block_size, uint64_t max_blocks) {
    cu_xjitter_init(&queue_, pool, block_size, max_blocks);
  }
  ~XJitter() { cu_xjitter_empty(&queue_); }
  XJitter(const XJitter&) = delete;
  XJitter& operator=(const XJitter&) = delete;

  cu_xjitter* get() { return &queue_; }

 private:
  cu_xjitter queue_;
};

}  // namespace vor
#endif
