// cu_module: shared libraries loaded by path, and their exported symbols.
#pragma once
#include "vor_export.h"

VOR_EXTERN_C_BEGIN

typedef struct cu_module {
  void* library; /* the dlopen handle */
  char* path;    /* the path it was loaded from */
} cu_module;

/* Loads a library (a bare file name is looked up in the current folder first); NULL on
   failure, with dlerror() left for the caller's log line. */
VOR_API cu_module* cu_module_open(const char* path);
/* The address of an exported function or data symbol; NULL when missing or for NULL arguments. */
VOR_API void* cu_module_symbol(cu_module* m, const char* name);
/* Unloads the library and frees the record; NULL ignored. */
VOR_API void cu_module_close(cu_module* m);

VOR_EXTERN_C_END
