// Set-up of the thread-owned boxes for the framework. Internal to vorcore.
#pragma once

// Makes the process-wide box registry when missing (cheap afterwards).
void vor_box__xmem_init(void);
