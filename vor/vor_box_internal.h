// Set-up of the thread-owned boxes and in-events that own their arguments. Internal to vorcore.
#pragma once
#include "vor_internal.h"
#include "vor_box.h"

// Makes the process-wide box registry when missing (cheap afterwards).
void vor_box__xmem_init(void);

namespace vor::box {

// vor_box_AddInEvent for arguments the in-event owns: an in-event that never runs (its box is
// freed first, or the post fails) is handed to release(box, text, a1..a8) instead, exactly once;
// one that runs is never released. So the arguments always reach fn or release. NULL release:
// vor_box_AddInEvent. On a failed post release runs inside this call, which then answers false.
bool add_inevent_with_release(vor_box* box, const char* text, vor_box_inevent_fn fn, vor_box_inevent_fn release,
                              void* a1, void* a2, void* a3, void* a4, void* a5, void* a6, void* a7, void* a8);

}  // namespace vor::box
