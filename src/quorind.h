// The daemon's own functions, shared by its source files.
#pragma once
#include <stdint.h>

#include "cu_daemon.h"

inline constexpr char kDaemonUnit[] = "src\\quorind";
inline constexpr int kExitFailure = 1;

// Start-up: paths, lock, switches, PID file, log, configuration, lock object, bigbox, modules.
int quorind_start(int argc, char** argv);
// Ends the process once: later callers wait, a call during the module walk waits for its end.
// Module exits in load order, PID file removed, lock closed, then the process ends with code.
void quorind_shutdown(daemon_ctx* ctx, int code);
// Writes the process id as unsigned decimal, no line end; false when the file cannot be opened.
bool quorind_write_pid(uint32_t pid, const char* path);
// The service stop path: "[Quorin] stop service!", then shutdown with code 0.
void quorind_service_stop(void* arg);

// Loads the modules named in group "modules" into ctx->modules; always 0.
int quorind_load_modules(daemon_ctx* ctx);
// One step of the exit walk.
void quorind_exit_module(void* desc, void* ctx);
// Makes the bigbox from group "system"; 0 when made, -1 when not.
int quorind_make_bigbox(daemon_ctx* ctx);
