// vor_http_table: one parsed HTTP message: start line, header fields (names without regard
// to case, "Set-Cookie" may repeat) and form parameters (names with case), written back out
// as a head text or a form string. Every string handed out belongs to the table.
#pragma once
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct vor_http_table vor_http_table;

/* A new empty table (status value -1); NULL when memory is short. */
VOR_API vor_http_table* vor_http_table_make(void);
/* Frees every string, field and form; status value -1. */
VOR_API void vor_http_table_clean(vor_http_table* t);
/* Cleans and frees the table; NULL ignored. */
VOR_API void vor_http_table_free(vor_http_table* t);
/* A new table with the method, status, request target, fields and forms of t (moves t's cursors to the end). */
VOR_API vor_http_table* vor_http_table_clone(vor_http_table* t);

/* The method, or NULL. */
VOR_API const char* vor_http_table_GetMethod(vor_http_table* t);
/* Replaces the method with a copy; false for NULL arguments, CR or LF, or memory short. */
VOR_API bool vor_http_table_SetMethod(vor_http_table* t, const char* text);
/* Frees the method. */
VOR_API void vor_http_table_UnsetMethod(vor_http_table* t);
/* The request target, or NULL. */
VOR_API const char* vor_http_table_GetRequest(vor_http_table* t);
/* Replaces the request target with a copy; false for NULL arguments, CR or LF, or memory short. */
VOR_API bool vor_http_table_SetRequest(vor_http_table* t, const char* text);
/* Frees the request target. */
VOR_API void vor_http_table_UnsetRequest(vor_http_table* t);
/* The status text, or NULL. */
VOR_API const char* vor_http_table_GetStatus(vor_http_table* t);
/* The status value; -1 for a NULL table. */
VOR_API int32_t vor_http_table_GetStatusValue(vor_http_table* t);
/* Status text = a copy, status value = its leading integer; false for NULL arguments, CR or LF, or memory short. */
VOR_API bool vor_http_table_SetStatus(vor_http_table* t, const char* text);
/* Frees the status text; status value 0. */
VOR_API void vor_http_table_UnsetStatus(vor_http_table* t);

/* The value of the first field of that name, or NULL. */
VOR_API const char* vor_http_table_GetField(vor_http_table* t, const char* name);
/* The value of the n-th (from 0) field of that name, or NULL. */
VOR_API const char* vor_http_table_GetNthField(vor_http_table* t, int32_t n, const char* name);
/* Replaces the first field of that name (Set-Cookie: appends); false for NULL arguments, CR or LF, or memory short. */
VOR_API bool vor_http_table_SetField(vor_http_table* t, const char* name, const char* value);
/* Removes the first field of that name. */
VOR_API void vor_http_table_UnsetField(vor_http_table* t, const char* name);
/* Removes every field; field cursor 0. */
VOR_API void vor_http_table_ZeroField(vor_http_table* t);
/* Field cursor 0. */
VOR_API void vor_http_table_RewindField(vor_http_table* t);
/* The field at the cursor (either out may be NULL), cursor moved on; false at the end. */
VOR_API bool vor_http_table_GetNextField(vor_http_table* t, const char** name, const char** value);

/* The escaped value of the first parameter of that name, or NULL. */
VOR_API const char* vor_http_table_GetForm(vor_http_table* t, const char* name);
/* The decoded value of the first parameter of that name, or NULL. */
VOR_API const char* vor_http_table_GetFormRaw(vor_http_table* t, const char* name);
/* The escaped value of the n-th parameter of that name, or NULL. */
VOR_API const char* vor_http_table_GetNthForm(vor_http_table* t, int32_t n, const char* name);
/* The decoded value of the n-th parameter of that name, or NULL. */
VOR_API const char* vor_http_table_GetNthFormRaw(vor_http_table* t, int32_t n, const char* name);
/* Appends a parameter from its decoded value; false for NULL arguments or memory short. */
VOR_API bool vor_http_table_SetForm(vor_http_table* t, const char* name, const char* value);
/* Removes the first parameter of that name. */
VOR_API void vor_http_table_UnsetForm(vor_http_table* t, const char* name);
/* Removes every parameter; form cursor and form length 0. */
VOR_API void vor_http_table_ZeroForm(vor_http_table* t);
/* Form cursor 0. */
VOR_API void vor_http_table_RewindForm(vor_http_table* t);
/* The parameter at the cursor (any out may be NULL), cursor moved on; false at the end. */
VOR_API bool vor_http_table_GetNextForm(vor_http_table* t, const char** name, const char** escaped,
                                        const char** decoded);
/* The length of the form string, 0 when there are no parameters. */
VOR_API int32_t vor_http_table_GetFormStrLen(vor_http_table* t);

/* A new table from a head text; NULL, with a console message, when it is malformed. */
VOR_API vor_http_table* vor_http_table_ParseHeaderStr(const char* text);
/* A new table holding the parameters of a query string or urlencoded body; NULL with a message on error. */
VOR_API vor_http_table* vor_http_table_ParseFormStr(const char* text);
/* A new head text (free with _cu_free), or NULL. */
VOR_API char* vor_http_table_GetHeaderStr(vor_http_table* t);
/* A new form string (free with _cu_free), or NULL. */
VOR_API char* vor_http_table_GetFormStr(vor_http_table* t);

VOR_EXTERN_C_END
