// reqgate: the request filter, the web-cache sub-module "filter" of the edge server. Content
// codings lent to other deliverables, the plug-in questions on a response by its sid, the hooks
// other modules hand in.
#pragma once
#include "http_parser.h"
#include "vor_export.h"
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* Encodes a text body for a client (request NULL: gzip); true when *out holds the coded body
   (out NULL: freed at once) and the head says so. */
VOR_API uint8_t reqgate_plugin__EncodeContent(http_parser* request, http_parser* response, const char* body,
                                              uint32_t len, char** out, uint32_t* out_len);
/* Decodes (or de-chunks) a body; true when *out holds the result and the head says so. */
VOR_API uint8_t reqgate_plugin__DecodeContent(http_parser* ignored, http_parser* response, const char* body,
                                              uint32_t len, char** out, uint32_t* out_len);
/* Frees an output of either operation; NULL ignored. */
VOR_API void reqgate_plugin__EncodeMemFree(char* buffer);
/* The same as reqgate_plugin__EncodeMemFree. */
VOR_API void reqgate_plugin__DecodeMemFree(char* buffer);

VOR_EXTERN_C_END
