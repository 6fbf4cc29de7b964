// vor_uri: a URI reference parsed into its components (decoded, the path normalised so it
// never climbs above its root), written back as text, resolved or relativised against a base.
// Every text handed out as new is freed by the caller with _cu_free.
#pragma once
#include "vor_export.h"
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* Every text is owned by the record, NULL when the component is absent. */
typedef struct vor_uri {
  char* scheme;
  char* opaque;    /* the part after "scheme:" when no '/' follows */
  char* authority; /* a registry-based authority (not a valid server) */
  char* host;      /* an IPv6 literal without its brackets */
  char* user;
  int32_t port;    /* 0 = none */
  char port_string[12];
  char* path;      /* decoded and normalised */
  char* path_raw;  /* path escaped again */
  char* query;     /* decoded */
  char* fragment;  /* decoded */
  int32_t flags;   /* 2: components kept as written */
  char* query_raw; /* as written */
} vor_uri;

/* A new record holding the parsed text; NULL for NULL, memory short or a text that is no URI reference. */
VOR_API vor_uri* vor_uri_malloc(const char* text);
/* As vor_uri_malloc; a non-zero raw keeps every component as written. */
VOR_API vor_uri* vor_uri_mallocx(const char* text, int32_t raw);
/* Frees every component and the record; NULL ignored. */
VOR_API void vor_uri_free(vor_uri* uri);
/* Frees every component (port 0, port_string empty); the flags stay. NULL ignored. */
VOR_API void vor_uri_cleanall(vor_uri* uri);
/* A new record with copies of every component; NULL for NULL or memory short. */
VOR_API vor_uri* vor_uri_clone(const vor_uri* uri);

/* The scheme, or NULL. */
VOR_API const char* vor_uri_GetScheme(const vor_uri* uri);
/* The host, or NULL. */
VOR_API const char* vor_uri_GetHost(const vor_uri* uri);
/* The user information, or NULL. */
VOR_API const char* vor_uri_GetUser(const vor_uri* uri);
/* The decoded, normalised path, or NULL. */
VOR_API const char* vor_uri_GetPath(const vor_uri* uri);
/* The path escaped, or NULL. */
VOR_API const char* vor_uri_GetPathRaw(const vor_uri* uri);
/* The decoded query, or NULL. */
VOR_API const char* vor_uri_GetQuery(const vor_uri* uri);
/* The query as written, or NULL. */
VOR_API const char* vor_uri_GetQueryRaw(const vor_uri* uri);
/* The decoded fragment, or NULL. */
VOR_API const char* vor_uri_GetFragment(const vor_uri* uri);
/* The low 16 bits of the port; 0 for NULL. */
VOR_API uint16_t vor_uri_GetPort(const vor_uri* uri);
/* The port in decimal; NULL for NULL. */
VOR_API const char* vor_uri_GetPortString(const vor_uri* uri);
/* The URI written as text (new); NULL for NULL or memory short. */
VOR_API char* vor_uri_GetURIString(const vor_uri* uri);
/* The escaped path and "?query" as for a request line (new); NULL for NULL or memory short. */
VOR_API char* vor_uri_GetURIRequest(const vor_uri* uri);
/* Normalises a path in place (no "." segments, ".." resolved, never above the root); 0, or -1 for NULL. */
VOR_API int32_t vor_uri_NormalizeURIPath(char* path);
/* The reference resolved against the base (new), or NULL. */
VOR_API char* vor_uri_BuildURI(const char* reference, const char* base);
/* A relative reference leading from the base to the URI (new), or NULL. */
VOR_API char* vor_uri_BuildRelativeURI(const char* uri, const char* base);
/* The text made usable as a URI (new), or NULL. */
VOR_API char* vor_uri_CanonicPath(const char* text);
/* A file path turned into a URI text (new), or NULL. */
VOR_API char* vor_uri_PathToURI(const char* text);
/* Dumps the components on the standard output; nothing for NULL. */
VOR_API void vor_uri_print(const vor_uri* uri);

VOR_EXTERN_C_END
