// The daemon's use of the framework set-up and of the bigbox, kept in one place until the
// event layer provides vor_Setup and vor_bigbox_make.
#pragma once
#include <stdint.h>

struct vor_bigbox;

struct BigboxSettings {
  int32_t threads = 0;
  int32_t connections = 0;
};

// What the framework set-up does for a process before anything else: descriptors 0-2 open
// (on /dev/null when closed), SIGPIPE ignored, RLIMIT_NOFILE raised towards its hard limit.
void daemon_framework_setup();
// Makes the process's bigbox; false when it cannot be made. *out may stay NULL while the
// process has no event layer: the settings are kept and can be read back.
bool daemon_make_bigbox(int32_t threads, int32_t connections, struct vor_bigbox** out);
BigboxSettings daemon_bigbox_settings();
