// cu_service: installs, removes, starts and stops a service of the system's service manager
// (systemd where it runs, else a simple supervisor of our own), and runs a program as that
// service. Installing, deleting, starting and stopping print plain English lines on standard
// output; failures of the service machinery go to syslog under the service name. Service
// names match [A-Za-z0-9_.@:-]+. A command line is split like a shell word list: blanks part
// arguments, double quotes group them, and inside quotes "\" escapes '"' and '\'.
#pragma once
#include "vor_export.h"
#include <stdbool.h>

VOR_EXTERN_C_BEGIN

typedef void (*cu_service_stop_fn)(void* arg);

/* Installs this very program (its path quoted) with no description; false on failure. */
VOR_API bool cu_service_install(const char* name, const char* display_name);
/* Installs the given command line with no description; false on failure. */
VOR_API bool cu_service_installx(const char* cmdline, const char* name, const char* display_name);
/* Installs the given command line and description (NULL for none); false on failure. */
VOR_API bool cu_service_installxx(const char* cmdline, const char* name, const char* display_name,
                                  const char* description);
/* Removes the service; false on failure. */
VOR_API bool cu_service_delete(const char* name);
/* Starts the service and waits for it to run; true only when it runs. */
VOR_API bool cu_service_start(const char* name);
/* Stops the service and waits; true when it is stopped (also when it already was). */
VOR_API bool cu_service_stop(const char* name);
/* Runs this program as the service: with a service manager (NOTIFY_SOCKET set) the program
   reports its readiness itself and a stop arrives as SIGTERM; without one the failure goes to
   syslog and stop(arg) runs on a thread of its own (no callback: the process ends with 0).
   False when no thread could be started. */
VOR_API bool cu_service_mainx(const char* name, cu_service_stop_fn stop, void* arg);
/* cu_service_mainx without a callback. */
VOR_API bool cu_service_main(const char* name);

VOR_EXTERN_C_END
