// The end of a process whose unit pool cannot be created: the unit's line goes to standard
// output and to "xmem.log", and the process exits with code -1. Internal to vorcore.
#pragma once

// line is the unit's whole text, such as
// "cu_xfile_xmem -> cu_xfile__xmem_init() -> cu_xmem_init_ext(xfile struct) -> return NULL -> exit!\r\n".
[[noreturn]] void cu_pool__init_failed(const char* line);
