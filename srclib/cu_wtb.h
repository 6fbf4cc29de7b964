// wtb: a growable text buffer with a cursor, edited like a line editor's buffer. CR LF counts
// as one line break; positions are byte indexes (the gap before that byte), lines and columns
// count from 0. Used to build reply texts one piece after another.
#pragma once
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct wtb wtb;

/* A new buffer holding the first capacity bytes of text (NULL: empty); capacity <= 0 means 16,383; NULL when memory is short. */
VOR_API wtb* wtb_make(const char* text, int32_t capacity);
/* Makes record (wtb_sizeof bytes) a wtb over the caller's NUL-terminated buffer, which never grows; NULL on bad arguments. */
VOR_API wtb* wtb_make_StaticInit(void* record, char* buffer, int32_t size);
/* The size of the wtb record in bytes. */
VOR_API int32_t wtb_sizeof(void);
/* Frees the buffer and the record of a wtb from wtb_make; NULL ignored. */
VOR_API void wtb_free(wtb* w);
/* Empties the text and gives it a fresh 16,384-byte buffer. */
VOR_API void wtb_clear(wtb* w);

/* The text, NUL-terminated, valid until the next change; "" for NULL. */
VOR_API const char* wtb_GetTextString(wtb* w);
/* Length of the text. */
VOR_API int32_t wtb_GetTextLength(wtb* w);
/* The cursor. */
VOR_API int32_t wtb_GetPos(wtb* w);
/* Start of the cursor's line. */
VOR_API int32_t wtb_GetLineStart(wtb* w);
/* End of the cursor's line: the index of its line break, or the text length on the last line. */
VOR_API int32_t wtb_GetLineEnd(wtb* w);
/* Length of the cursor's line without its line break. */
VOR_API int32_t wtb_GetLineLength(wtb* w);
/* The text from the start of the cursor's line. */
VOR_API const char* wtb_GetLineString(wtb* w);
/* The cursor's column. */
VOR_API int32_t wtb_GetColNumber(wtb* w);
/* The cursor's line number (LF bytes before it); normalises the cursor. */
VOR_API int32_t wtb_GetLineNumber(wtb* w);
/* LF bytes in the whole text (the number of the last line); normalises the cursor. */
VOR_API int32_t wtb_CalNumOfLines(wtb* w);
/* True when the cursor is at 0 or just after a LF. */
VOR_API bool wtb_IsStartOfLine(wtb* w);
/* True when the cursor is at a LF, a CR LF pair or the text end. */
VOR_API bool wtb_IsEndOfLine(wtb* w);
/* True when the cursor is at the text end. */
VOR_API bool wtb_IsEndOfText(wtb* w);
/* True when no line break follows the cursor's line; normalises the cursor when false. */
VOR_API bool wtb_IsLastLine(wtb* w);

/* Index of the next word's first character (extra: more word characters; in_line: stop at a line break). */
VOR_API int32_t wtb_GetNextWordStart(wtb* w, const char* extra, uint8_t in_line);
/* Index after the next word's last character. */
VOR_API int32_t wtb_GetNextWordEnd(wtb* w, const char* extra, uint8_t in_line);
/* Length of the next word. */
VOR_API int32_t wtb_GetNextWordLength(wtb* w, const char* extra, uint8_t in_line);
/* Index after the previous word's last character. */
VOR_API int32_t wtb_GetPrevWordEnd(wtb* w, const char* extra, uint8_t in_line);
/* Index of the previous word's first character. */
VOR_API int32_t wtb_GetPrevWordStart(wtb* w, const char* extra, uint8_t in_line);
/* Length of the previous word. */
VOR_API int32_t wtb_GetPrevWordLength(wtb* w, const char* extra, uint8_t in_line);

/* Moves the cursor to pos, normalised; answers the position set. */
VOR_API int32_t wtb_SetPos(wtb* w, int32_t pos);
/* Back by one byte, or two over a CR LF pair. */
VOR_API void wtb_MoveLeft(wtb* w);
/* Forward by one byte, or two over a CR LF pair. */
VOR_API void wtb_MoveRight(wtb* w);
/* To the start of the cursor's line; answers it. */
VOR_API int32_t wtb_MoveStartOfLine(wtb* w);
/* To the end of the cursor's line; answers it. */
VOR_API int32_t wtb_MoveEndOfLine(wtb* w);
/* To the same column of the previous line, or its end when shorter. */
VOR_API void wtb_MoveUp(wtb* w);
/* To the same column of the next line, or its end when shorter. */
VOR_API void wtb_MoveDown(wtb* w);
/* Up until the cursor stops changing. */
VOR_API void wtb_MoveUpToFirstLine(wtb* w);
/* Down until the cursor stops changing. */
VOR_API void wtb_MoveDownToLastLine(wtb* w);
/* Cursor to 0. */
VOR_API void wtb_MoveToStartOfText(wtb* w);
/* Cursor to the text end; answers the length. */
VOR_API int32_t wtb_MoveToEndOfText(wtb* w);
/* Cursor to the start of line n (or the last line); answers the line reached. */
VOR_API int32_t wtb_SetLineNumber(wtb* w, int32_t n);
/* Cursor to column col of its line, or the line end; answers the column set. */
VOR_API int32_t wtb_SetColNumber(wtb* w, int32_t col);

/* Inserts the low byte of c at the cursor (8: backspace; 0: refused); false when refused or growth fails. */
VOR_API bool wtb_InsertChar(wtb* w, int32_t c);
/* Inserts s at the cursor and moves past it; false for NULL or when growth fails. */
VOR_API bool wtb_InsertString(wtb* w, const char* s);
/* Replaces count bytes at the cursor by s and moves past it; false when fewer bytes follow or growth fails. */
VOR_API bool wtb_ReplaceString(wtb* w, int32_t count, const char* s);
/* Removes the byte (or CR LF pair) before the cursor; answers the new cursor. */
VOR_API int32_t wtb_BackSpace(wtb* w);
/* Removes the byte (or CR LF pair) at the cursor. */
VOR_API void wtb_DeleteChar(wtb* w);
/* Removes the cursor's line together with one line break. */
VOR_API void wtb_DeleteLine(wtb* w);

VOR_EXTERN_C_END
