// vor_proto: one command packet of the cluster link. A command word, then name="content"
// parameters, each followed by the packing separator, then one NUL; at most 10,240 bytes.
// The object keeps the position of every element so that edits are made in place.
#pragma once
#include "vor_export.h"
#include <stdbool.h>
#include <stdint.h>

VOR_EXTERN_C_BEGIN

typedef struct vor_proto vor_proto;

/* A new empty object; NULL when memory is short. */
VOR_API vor_proto* vor_proto_new(void);
/* Frees the object and all its buffers; NULL ignored. */
VOR_API void vor_proto_free(vor_proto* p);
/* Starts a new packet holding only the command; false for an invalid command. */
VOR_API bool vor_proto_PackCmd(vor_proto* p, const char* cmd);
/* Appends name="content" (quotes doubled); false when it cannot be packed. */
VOR_API bool vor_proto_PackPara(vor_proto* p, const char* name, const char* content);
/* Replaces the command in place, moving every parameter. */
VOR_API bool vor_proto_ModifyCmd(vor_proto* p, const char* cmd);
/* Replaces the content of the named parameter in place. */
VOR_API bool vor_proto_ModifyPara(vor_proto* p, const char* name, const char* content);
/* Removes the named parameter and the separators after it. */
VOR_API bool vor_proto_DeletePara(vor_proto* p, const char* name);
/* Parses one received packet (its last byte NUL, 1..10,240 bytes); false leaves no packet. */
VOR_API bool vor_proto_ParsePacket(vor_proto* p, const char* text, int32_t len);
/* The syntax test of vor_proto_ParsePacket without storing anything; p is not used. */
VOR_API bool vor_proto_CheckPacket(vor_proto* p, const char* text, int32_t len);
/* The packet text and its length with the NUL; false (and an emptied packet) when there is none. */
VOR_API bool vor_proto_GetPacket(vor_proto* p, char** text, int32_t* len);
/* As vor_proto_GetPacket, but answers the packet text pointer (NULL for a NULL object). */
VOR_API char* vorx_proto_GetPacket(vor_proto* p, char** text, int32_t* len);
/* The packet length with its NUL; 0 (and an emptied packet) when there is none. */
VOR_API int32_t vorx_proto_GetPacketLen(vor_proto* p);
/* The command inside the object and its length, without copying. */
VOR_API bool vorx_proto_GetCmd(vor_proto* p, char** cmd, int32_t* len);
/* Copies at most size - 1 bytes of the command and a NUL; a NULL buffer copies nothing. */
VOR_API bool vor_proto_GetCmd(vor_proto* p, char* buf, int32_t size);
/* The content of the named parameter inside the object and its length, without copying. */
VOR_API bool vorx_proto_GetPara(vor_proto* p, const char* name, char** content, int32_t* len);
/* Copies at most size - 1 bytes of the named content and a NUL; a NULL buffer copies nothing. */
VOR_API bool vor_proto_GetPara(vor_proto* p, const char* name, char* buf, int32_t size);
/* The number of parameters; 0 for a NULL object. */
VOR_API int32_t vor_proto_NumPara(vor_proto* p);
/* Sets the parameter cursor back to 0. */
VOR_API void vor_proto_rewind(vor_proto* p);
/* Parameter 0 through pointers into the object (each out may be NULL); cursor := 1. */
VOR_API bool vorx_proto_GetFirst(vor_proto* p, char** name, int32_t* name_len, char** content,
                                 int32_t* content_len);
/* Copies parameter 0 (at most size - 1 bytes and a NUL each; NULL buffers skipped); cursor := 1. */
VOR_API bool vor_proto_GetFirst(vor_proto* p, char* name, int32_t name_size, char* content,
                                int32_t content_size);
/* The parameter at the cursor through pointers into the object; cursor + 1. */
VOR_API bool vorx_proto_GetNext(vor_proto* p, char** name, int32_t* name_len, char** content,
                                int32_t* content_len);
/* Copies the parameter at the cursor as vor_proto_GetFirst does; cursor + 1. */
VOR_API bool vor_proto_GetNext(vor_proto* p, char* name, int32_t name_size, char* content,
                               int32_t content_size);
/* A new object holding the same packet; NULL when it cannot be made. */
VOR_API vor_proto* vor_proto_clone(vor_proto* p);
/* The process-wide packing separator: 0 LF, 1 CR LF (start value), 2 ';', 4 blank, 8 '&'. */
VOR_API void vorx_proto_SetSpace(int32_t value);
/* Packs up to 3,840 bytes, base64-encoded, as the parameter "__custom_switch_data__". */
VOR_API bool vorx_proto_PackCustomData(vor_proto* p, const void* data, int32_t len);
/* Decodes "__custom_switch_data__" into buf (min(size, decoded) bytes, no NUL) and gives the count. */
VOR_API bool vorx_proto_GetCustomData(vor_proto* p, void* buf, int32_t size, int32_t* len);
/* Writes a dump of the object to the standard output. */
VOR_API void vor_proto_print(vor_proto* p);

VOR_EXTERN_C_END
