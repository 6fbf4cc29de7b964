// vor_afile: file operations run on worker threads (thread-owned boxes of an HDD and an SSD
// group) so that socket threads never block on a disk. The caller fills a vor_afile record;
// the layer queues a copy, runs it on the one worker that holds the file's earlier operations,
// and reports completion on the caller's box (or on the worker when the record names no box).
#pragma once
#include "cu_xfile.h"
#include "vor_box.h"
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* Operation types (the record's type field). */
enum { VOR_AFILE_READ = 0, VOR_AFILE_WRITE = 1, VOR_AFILE_FLUSH = 2, VOR_AFILE_CANCEL = 3, VOR_AFILE_CLOSE = 4,
       VOR_AFILE_EVENT = 5 };

struct vor_afile;
/* Completion: (copy of the operation, user data, arguments 1 to 4); the copy lives only during the call. */
typedef void (*vor_afile_fn)(struct vor_afile* op, void* ud, void* a1, void* a2, void* a3, void* a4);

/* One file operation; callers zero it before filling it. */
typedef struct vor_afile {
  cu_xfile* file;        /* the handle; also the key that keeps one file's operations in order */
  vor_box* box;          /* the box whose thread runs the completion; NULL: the worker runs it */
  uint8_t type;          /* VOR_AFILE_READ ... VOR_AFILE_EVENT */
  int64_t offset;        /* file position of a read or write */
  void* buffer;          /* data of a read or write */
  int32_t length;        /* bytes to read or write, 0 or more */
  uint8_t cancelled;     /* set by the layer on copies overtaken by a cancel */
  int32_t result;        /* bytes read or written, -1 on failure (flush too); 0 otherwise and when cancelled */
  int32_t error;         /* errno of a failed read, write or flush; 0 otherwise */
  vor_afile_fn callback; /* may be NULL: no completion is reported */
  void* ud;
  void* a1;
  void* a2;
  void* a3;
  void* a4;
} vor_afile;

/* Starts the workers once: ssd SSD workers, then hdd HDD workers (4 HDD when both are 0). */
VOR_API void vor_afile_setupx(int32_t hdd, int32_t ssd);
/* vor_afile_setupx(n, 0). */
VOR_API void vor_afile_setup(int32_t n);

/* Each submit queues a copy of op and answers true (its completion will come), or false
   (nothing queued) for a bad record, no worker or no memory. prefer_ssd picks the SSD group
   for a file that has nothing queued; a file with queued operations stays on its worker. */
/* Reads length bytes at offset into buffer. */
VOR_API bool vor_afile_readx(const vor_afile* op, uint8_t prefer_ssd);
/* Writes length bytes of buffer at offset. */
VOR_API bool vor_afile_writex(const vor_afile* op, uint8_t prefer_ssd);
/* Commits the file's data to the disk. */
VOR_API bool vor_afile_flushx(const vor_afile* op, uint8_t prefer_ssd);
/* Marks the file's queued copies cancelled, then completes after them; nothing queued, no callback: true at once. */
VOR_API bool vor_afile_cancelx(const vor_afile* op, uint8_t prefer_ssd);
/* Closes the file after its earlier operations (the handle is freed). */
VOR_API bool vor_afile_closex(const vor_afile* op, uint8_t prefer_ssd);
/* Completes after the file's earlier operations, doing nothing else. */
VOR_API bool vor_afile_eventx(const vor_afile* op, uint8_t prefer_ssd);
/* vor_afile_readx without the SSD preference. */
VOR_API bool vor_afile_read(const vor_afile* op);
/* vor_afile_writex without the SSD preference. */
VOR_API bool vor_afile_write(const vor_afile* op);
/* vor_afile_flushx without the SSD preference. */
VOR_API bool vor_afile_flush(const vor_afile* op);
/* vor_afile_cancelx without the SSD preference. */
VOR_API bool vor_afile_cancel(const vor_afile* op);
/* vor_afile_closex without the SSD preference. */
VOR_API bool vor_afile_close(const vor_afile* op);
/* vor_afile_eventx without the SSD preference. */
VOR_API bool vor_afile_event(const vor_afile* op);

/* Prints the files with queued operations and each worker's queue length to the console. */
VOR_API void vor_afile_debug(void);
/* Files with queued operations (0 before set-up). */
VOR_API int32_t vor_filter_nfiles(void);

VOR_EXTERN_C_END
