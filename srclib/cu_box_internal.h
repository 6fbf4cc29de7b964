// What the thread-owned box needs of a cu_box beyond its exported interface. Internal to vorcore.
#pragma once
#include "vor_internal.h"
#include <stdint.h>

#include "cu_box.h"

// fn(arg) runs at the end of every pass on the loop thread, without the box lock.
void cu_box_set_pass_hook(cu_box* box, void (*fn)(void*), void* arg);
// The loop keeps running with nothing registered, until it is broken.
void cu_box_set_keep_alive(cu_box* box, bool on);
// Makes the loop's wait return now.
void cu_box_wake(cu_box* box);
// True on the thread running the box's loop while it runs.
bool cu_box_in_loop_thread(cu_box* box);
// The clock of the box's timers (tests); NULL restores the monotonic clock.
void cu_box_set_clock(cu_box* box, int64_t (*now_ms)());
