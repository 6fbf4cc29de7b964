// adminweb: the admin API module of the admin web server. It answers the management commands at
// the URL path "/quorin/zazudaza.quo" with JSON text replies; its one export is its descriptor.
#pragma once
#include "panelhttp.h"
#include "vor_export.h"

VOR_EXTERN_C_BEGIN

/* The admin module descriptor (version 342, URL path "/quorin/zazudaza.quo"). */
VOR_API extern vuved_module_desc zazudaza;

VOR_EXTERN_C_END
