// vor_parse_pool: cuts the byte stream of one cluster-link connection into command packets
// at NUL bytes. A ring of two maximal packets holds the bytes being searched; what does not
// fit waits, in stream order, in an overflow queue.
#pragma once
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct vor_parse_pool vor_parse_pool;

/* A new pool with an empty ring and queue; NULL when memory is short. */
VOR_API vor_parse_pool* vor_parse_pool_malloc(void);
/* Frees the queue, the ring and the record; NULL ignored. */
VOR_API void vor_parse_pool_free(vor_parse_pool* pool);
/* Appends the bytes to the stream, all or nothing; false when the overflow queue lacks room. */
VOR_API bool vor_parse_pool_input(vor_parse_pool* pool, const void* bytes, int32_t len);
/* The next packet and one NUL into buf, *len = its bytes + 1; false (*len 0) when none is complete. */
VOR_API bool vor_parse_pool_get(vor_parse_pool* pool, void* buf, int32_t size, int32_t* len);
/* Bytes buffered in the ring and the queue. */
VOR_API int32_t vor_parse_pool_GetLen(vor_parse_pool* pool);
/* Free room of the ring and the queue. */
VOR_API int32_t vor_parse_pool_GetAvailableLen(vor_parse_pool* pool);

VOR_EXTERN_C_END
