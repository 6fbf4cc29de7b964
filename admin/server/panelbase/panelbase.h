// panelbase: the admin module that serves every file of the web root: 200 with the whole file,
// 206 for a byte range, 304 when the client's copy is current, 404 when there is no file.
#pragma once
#include "panelhttp.h"
#include "vor_export.h"

VOR_EXTERN_C_BEGIN

/* The admin-module descriptor: a catch-all module (no URL path, file name or extension). */
VOR_API extern vuved_module_desc genernal;

VOR_EXTERN_C_END
