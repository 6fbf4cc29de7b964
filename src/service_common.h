// What the daemon's service switches and the service tool share: the service identity, the
// installed command line and the end of a service-control switch.
#pragma once
#include <string>

inline constexpr char kServiceName[] = "Quorind";
inline constexpr char kServiceDisplayName[] = "Quorin Zazudaza Bigbox Server";

enum class ServiceSwitch { kNone, kInstall, kUninstall, kStart, kStop, kService };

// The switch named by a first argument, without regard to case; NULL is kNone.
ServiceSwitch parse_service_switch(const char* arg);
// The program quoted, so a folder with blanks stays one word, then " -service".
std::string service_command_line(const std::string& program);
// Runs an install, uninstall, start or stop; true when it succeeded.
bool run_service_control(ServiceSwitch which, const std::string& program, const char* description);
// "Press ENTER key to exit!", one character (or EOF) from standard input, then the end of the
// process: 0 when the operation succeeded, 1 when not.
[[noreturn]] void end_service_switch(bool ok);
