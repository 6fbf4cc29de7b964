// cu_config: an ini file held as its tokens, so that saving writes back every unchanged byte
// (comments and layout included). Groups in square brackets, "key=value" lines (the value is
// everything after '=' to the line end, untrimmed), comments "#", ";", "//" and "/* */".
// Group and key names are case-sensitive. No lock: one thread at a time per object.
#pragma once
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct cu_config cu_config;

/* Reads a file (NULL path: an empty object); NULL when it cannot be opened or memory is short. */
VOR_API cu_config* cu_config_make(const char* path);
/* Parses a text (NULL: empty); NULL when memory is short. */
VOR_API cu_config* cu_config_make1(const char* text);
/* Frees the object; NULL ignored. */
VOR_API void cu_config_free(cu_config* cfg);
/* The whole text, token for token (free with _cu_free); NULL when memory is short. */
VOR_API char* cu_config_ToString(cu_config* cfg);
/* Replaces the file with the text (temporary file, fsync, rename); the old file stays on any failure. */
VOR_API bool cu_config_SaveToFile(cu_config* cfg, const char* path);

/* The value of group/key, valid until that key changes or the object is freed; NULL when missing. */
VOR_API const char* cu_config_GetKey(cu_config* cfg, const char* group, const char* key);
/* True when the group is known. */
VOR_API bool cu_config_IsGroupExist(cu_config* cfg, const char* group);
/* True when the group has the key. */
VOR_API bool cu_config_IsKeyExist(cu_config* cfg, const char* group, const char* key);
/* "true"/"false" (any case) or a decimal number (non-zero is 1); else the default. */
VOR_API uint8_t cu_config_GetKeyBool(cu_config* cfg, const char* group, const char* key, uint8_t def);
/* A signed decimal number clamped to 32 bits; else the default. */
VOR_API int32_t cu_config_GetKeyInt32(cu_config* cfg, const char* group, const char* key, int32_t def);
/* A decimal number (a minus sign is skipped) cut to its low 32 bits; else the default. */
VOR_API uint32_t cu_config_GetKeyUint32(cu_config* cfg, const char* group, const char* key, uint32_t def);
/* A signed decimal number clamped to 64 bits; else the default. */
VOR_API int64_t cu_config_GetKeyInt64(cu_config* cfg, const char* group, const char* key, int64_t def);
/* A decimal number (a minus sign is skipped) up to the largest signed 64-bit value; else the default. */
VOR_API uint64_t cu_config_GetKeyUint64(cu_config* cfg, const char* group, const char* key, uint64_t def);

/* The simple getters load the file, read one key as the typed getter does and free the
   object; the default when the file cannot be loaded. */
/* cu_config_GetKeyBool of a file. */
VOR_API uint8_t cu_config_simple_GetKeyBool(const char* path, const char* group, const char* key, uint8_t def);
/* cu_config_GetKeyInt32 of a file. */
VOR_API int32_t cu_config_simple_GetKeyInt32(const char* path, const char* group, const char* key, int32_t def);
/* cu_config_GetKeyUint32 of a file. */
VOR_API uint32_t cu_config_simple_GetKeyUint32(const char* path, const char* group, const char* key, uint32_t def);
/* cu_config_GetKeyInt64 of a file. */
VOR_API int64_t cu_config_simple_GetKeyInt64(const char* path, const char* group, const char* key, int64_t def);
/* cu_config_GetKeyUint64 of a file. */
VOR_API uint64_t cu_config_simple_GetKeyUint64(const char* path, const char* group, const char* key, uint64_t def);
/* A copy of the value (free with _cu_free); NULL when the file or the key is missing. */
VOR_API char* cu_config_simple_GetKeyString(const char* path, const char* group, const char* key);
/* A copy of text without one surrounding pair of double quotes (free with _cu_free); NULL gives "". */
VOR_API char* __GetProfileString(const char* text);

/* Sets group/key to value, creating both as needed; false for text that would not read back
   as written (CR or LF in the value, a key name that is empty, starts with '#', ';', '/' or
   '[', or holds '=', a blank, CR or LF; a group name holding ']'). */
VOR_API bool cu_config_SetKey(cu_config* cfg, const char* group, const char* key, const char* value);
/* Removes every line of the key in the group, with the line ends that follow. */
VOR_API void cu_config_UnsetKey(cu_config* cfg, const char* group, const char* key);
/* Adds "[group]" at the end when the group is missing; true when it exists afterwards. */
VOR_API bool cu_config_SetGroup(cu_config* cfg, const char* group);
/* Removes the group and all its lines. */
VOR_API void cu_config_UnsetGroup(cu_config* cfg, const char* group);
/* Renames a group in every header; false when the new name is taken or the old one missing. */
VOR_API bool cu_config_RenameGroup(cu_config* cfg, const char* old_name, const char* new_name);

/* Refills the group cursor (descending names). */
VOR_API void cu_config_GroupRewind(cu_config* cfg);
/* Rewinds, then as cu_config_GroupGetNext. */
VOR_API bool cu_config_GroupGetFirst(cu_config* cfg, const char** name);
/* Takes the next group name off the cursor; false when it is empty. name may be NULL. */
VOR_API bool cu_config_GroupGetNext(cu_config* cfg, const char** name);
/* Refills the key cursor with the group's keys (descending names); empty for a missing group. */
VOR_API void cu_config_KeyRewind(cu_config* cfg, const char* group);
/* Rewinds for the group, then as cu_config_KeyGetNext. */
VOR_API bool cu_config_KeyGetFirst(cu_config* cfg, const char* group, const char** name, const char** value);
/* Takes the next key off the cursor; false when it is empty. Outputs may be NULL. */
VOR_API bool cu_config_KeyGetNext(cu_config* cfg, const char** name, const char** value);

VOR_EXTERN_C_END
