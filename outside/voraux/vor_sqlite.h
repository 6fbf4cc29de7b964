// vor_sqlite: one connection to an existing SQLite file and single statements on it, every
// result copied out as text. The caller serialises the statements of one handle.
#pragma once
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct vor_sqlite vor_sqlite;
typedef struct vor_sqlite_result vor_sqlite_result;

/* A handle without a connection; NULL when memory is short. */
VOR_API vor_sqlite* vor_sqlite_make(void);
/* Opens an existing database read-write (never creates one); false for a missing file or one that is no database. */
VOR_API bool vor_sqlite_connect(vor_sqlite* db, const char* path);
/* Runs one statement (trailing blanks and ';' allowed); NULL on any failure, including a broken constraint. */
VOR_API vor_sqlite_result* vor_sqlite_exec(vor_sqlite* db, const char* sql);
/* vor_sqlite_exec of the printf-formatted text. */
VOR_API vor_sqlite_result* vor_sqlite_ExecExt(vor_sqlite* db, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
/* A copy of text with every ' doubled, for use between single quotes ("" for NULL); free it with _cu_free. */
VOR_API char* vor_sqlite_EscapeStr(vor_sqlite* db, const char* text);
/* Rows of a SELECT; rows changed by an INSERT, UPDATE or DELETE; 0 for other statements and NULL. */
VOR_API int32_t vor_sqlite_result_GetNumRows(const vor_sqlite_result* result);
/* The text of one cell (NULL for SQL NULL), valid until the result is freed; false: no such cell. */
VOR_API bool vor_sqlite_result_GetValue(const vor_sqlite_result* result, int32_t column, int32_t row,
                                        const char** text);
/* NULL ignored. */
VOR_API void vor_sqlite_result_free(vor_sqlite_result* result);
/* Closes the connection and frees the handle; NULL ignored. */
VOR_API void vor_sqlite_free(vor_sqlite* db);

VOR_EXTERN_C_END
