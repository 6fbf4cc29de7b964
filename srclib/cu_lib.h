// cu_lib: NULL-safe string, memory and number helpers, whole-file reads and appends, and the
// two console prompts. Lengths, counts and positions are signed 32-bit. Case folding touches
// the ASCII letters only. New strings come from the process allocator: free them with _cu_free.
#pragma once
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

/* Bytes before the NUL; 0 for NULL. */
VOR_API int32_t cu_strlen(const char* s);
/* Copies src with its NUL; a NULL src makes dst empty; a NULL dst does nothing. */
VOR_API void cu_strcpy(char* dst, const char* src);
/* Copies at most n characters and always a NUL (dst needs n + 1 bytes); answers the count copied, n when src or dst is NULL. */
VOR_API int32_t cu_strncpy(char* dst, const char* src, int32_t n);
/* Appends src and a NUL to dst; nothing when either is NULL. */
VOR_API void cu_strcat(char* dst, const char* src);
/* -1, 0 or 1 comparing unsigned bytes; 0 for the same pointer, -1 when either is NULL. */
VOR_API int32_t cu_strcmp(const char* a, const char* b);
/* ASCII case-insensitive compare; 0 for the same pointer, -1 when either is NULL. */
VOR_API int32_t cu_stricmp(const char* a, const char* b);
/* Compares at most n characters; 0 for the same pointer, -1 when either is NULL or n < 0. */
VOR_API int32_t cu_strncmp(const char* a, const char* b, int32_t n);
/* Case-insensitive compare of at most n characters; 0 for the same pointer, -1 when either is NULL. */
VOR_API int32_t cu_strnicmp(const char* a, const char* b, int32_t n);
/* a[i] - b[i] of the first differing byte among n (unsigned); -1 for NULL a, 1 for NULL b. */
VOR_API int32_t cu_memcmp(const void* a, const void* b, int32_t n);
/* As cu_memcmp on lower-cased bytes. */
VOR_API int32_t cu_memicmp(const void* a, const void* b, int32_t n);

/* First byte equal to c; NULL when absent, when c is NUL or for NULL s. */
VOR_API char* cu_strchr(const char* s, int32_t c);
/* First byte equal to c, both lower-cased; NULL as cu_strchr. */
VOR_API char* cu_strichr(const char* s, int32_t c);
/* First occurrence of needle; haystack for an empty needle; NULL when either is NULL or none. */
VOR_API char* cu_strstr(const char* haystack, const char* needle);
/* Case-insensitive cu_strstr. */
VOR_API char* cu_stristr(const char* haystack, const char* needle);
/* First occurrence that ends within the first n characters; NULL for n <= 0. */
VOR_API char* cu_strnstr(const char* haystack, const char* needle, int32_t n);
/* Case-insensitive cu_strnstr. */
VOR_API char* cu_strnistr(const char* haystack, const char* needle, int32_t n);
/* First occurrence of the plen pattern bytes in the dlen data bytes; data for plen 0; NULL for NULL, negative lengths or plen > dlen. */
VOR_API void* cu_memmem(const void* data, int32_t dlen, const void* pattern, int32_t plen);
/* Case-insensitive cu_memmem. */
VOR_API void* cu_memimem(const void* data, int32_t dlen, const void* pattern, int32_t plen);
/* 0-based position of key in text; -1 when either is NULL or empty or key is absent. */
VOR_API int32_t cu_FindKey(const char* key, const char* text);
/* Binary search of an ascending array; compare(element, key) < 0 when the element sorts first; stores the index found. */
VOR_API bool cu_SortFind(const void* array, int32_t elem_size, int32_t count, const void* key,
                         int (*compare)(const void* element, const void* key), int32_t* index);

/* c is an ASCII lower-case letter. */
VOR_API bool cu_islower(int32_t c);
/* c is an ASCII upper-case letter. */
VOR_API bool cu_isupper(int32_t c);
/* New lower-cased copy of s; NULL for NULL s or no memory. */
VOR_API char* cu_strtolower(const char* s);
/* New upper-cased copy of s; NULL for NULL s or no memory. */
VOR_API char* cu_strtoupper(const char* s);
/* Lowers s in place; NULL ignored. */
VOR_API void cu_strtolower2(char* s);
/* Raises s in place; NULL ignored. */
VOR_API void cu_strtoupper2(char* s);
/* Copies src lowered into dst with a NUL; nothing when either is NULL. */
VOR_API void cu_strtolower3(char* dst, const char* src);
/* Copies src raised into dst with a NUL; nothing when either is NULL. */
VOR_API void cu_strtoupper3(char* dst, const char* src);

/* New copy of s; NULL for NULL s or no memory. */
VOR_API char* cu_strdup(const char* s);
/* New n + 1 bytes: at most n characters of s and a NUL; NULL for NULL s, n < 0 or no memory. */
VOR_API char* cu_strndup(const char* s, int32_t n);
/* New concatenation of the two texts; NULL when any is NULL or memory is short. */
VOR_API char* cu_strdup2(const char* s1, const char* s2);
/* The same for three texts. */
VOR_API char* cu_strdup3(const char* s1, const char* s2, const char* s3);
/* The same for four texts. */
VOR_API char* cu_strdup4(const char* s1, const char* s2, const char* s3, const char* s4);
/* The same for five texts. */
VOR_API char* cu_strdup5(const char* s1, const char* s2, const char* s3, const char* s4, const char* s5);
/* New n + 1 bytes: the n data bytes and a NUL; NULL for NULL data, n < 0 or no memory. */
VOR_API char* cu_memdup(const void* data, int32_t n);
/* New string of the first n characters of s reversed; NULL for NULL s, an empty result or no memory. */
VOR_API char* cu_strreverse(const char* s, int32_t n);
/* New string of the part after the last '/' or '\'; NULL for NULL or empty path, a trailing separator or no memory. */
VOR_API char* cu_GetFilenameFromPath(const char* path);

/* Replaces old_len characters at pos with new_len bytes, moving the rest (NUL included); the caller guarantees room. */
VOR_API void cu_strreplace(char* text, int32_t pos, int32_t old_len, const char* new_bytes, int32_t new_len);
/* cu_strreplace with the new text's length (0 for NULL). */
VOR_API void cu_strreplace1(char* text, int32_t pos, int32_t old_len, const char* new_text);
/* Replaces bytes [start, end) (clamped to data_len) with new_len bytes; the new length is data_len + new_len - (end - start). */
VOR_API void cu_memreplace(void* data, int32_t data_len, int32_t start, int32_t end, const void* new_bytes,
                           int32_t new_len);

/* strtoll: saturates on overflow, 0 without digits; end (when given) points after the digits. */
VOR_API int64_t cu_strtoll(const char* s, char** end, int32_t radix);
/* As cu_strtoll, saturated to 32 bits. */
VOR_API int32_t cu_strtol(const char* s, char** end, int32_t radix);
/* Decimal 64-bit value of s. */
VOR_API int64_t cu_atoll(const char* s);
/* The same as cu_atoll. */
VOR_API int64_t cu_str_to_longlong(const char* s);
/* Decimal 32-bit value of s, saturated. */
VOR_API int32_t cu_atol(const char* s);
/* Writes v in radix 2..36 ('-' only in radix 10, else the unsigned bits) and a NUL; answers buf, NULL for a bad radix. */
VOR_API char* cu_lltostr(int64_t v, char* buf, int32_t radix);
/* The same for 32 bits. */
VOR_API char* cu_ltostr(int32_t v, char* buf, int32_t radix);
/* cu_lltostr in radix 10. */
VOR_API char* cu_longlong_to_str(int64_t v, char* buf);
/* Parses a dotted IPv4 address, first group most significant; out is written only on success. */
VOR_API bool cu_IP_to_32bits(uint32_t* out, const char* text);
/* The two bytes at p start a GB2312 double-byte character. */
VOR_API bool cu_isGB2312(const void* p);

/* A file-status query succeeds for path (file or folder). */
VOR_API bool cu_ISFileExists(const char* path);
/* 0 when the file was removed, -1 otherwise. */
VOR_API int32_t cu_DeleteFile(const char* path);
/* Appends n bytes to path (created when missing); true when all were written or there was nothing to write. */
VOR_API bool cu_AppendFile(const char* path, const void* data, int32_t n);
/* Reads at most n bytes of the file (no NUL added); the count read, -1 when it cannot be opened. */
VOR_API int32_t cu_GetFileContent(const char* path, void* buf, int32_t n);
/* Reads at most size - 1 bytes and a NUL; false when it cannot be opened or size <= 0. */
VOR_API bool cu_GetTextFileContent(const char* path, char* buf, int32_t size);

/* Writes the prompt and reads a line (at most min(max, 128) characters) from standard input. */
VOR_API void cu_TTY_GetLoginName(const char* prompt, char* buf, int32_t max);
/* Prompts for the password and reads it from the terminal without echo; answers fflush(stdout). */
VOR_API int32_t cu_TTY_GetPassword(char* buf, int32_t max);
/* Suspends the calling thread for ms milliseconds. */
VOR_API void cu_sleep(uint32_t ms);

VOR_EXTERN_C_END
