#include "service_common.h"

#include <stdio.h>
#include <unistd.h>

#include "cu_lib.h"
#include "cu_service.h"

ServiceSwitch parse_service_switch(const char* arg) {
  if (!arg) return ServiceSwitch::kNone;
  struct Spelling {
    const char* text;
    ServiceSwitch which;
  };
  static const Spelling kSpellings[] = {
      {"-install", ServiceSwitch::kInstall}, {"-uninstall", ServiceSwitch::kUninstall},
      {"-start", ServiceSwitch::kStart},     {"-stop", ServiceSwitch::kStop},
      {"-service", ServiceSwitch::kService}, {"-services", ServiceSwitch::kService},
      {"service", ServiceSwitch::kService},  {"services", ServiceSwitch::kService},
  };
  for (const Spelling& s : kSpellings) {
    if (cu_stricmp(arg, s.text) == 0) return s.which;
  }
  return ServiceSwitch::kNone;
}

std::string service_command_line(const std::string& program) {
  std::string line = "\"";
  for (char c : program) {
    if (c == '"' || c == '\\') line += '\\';
    line += c;
  }
  return line + "\" -service";
}

bool run_service_control(ServiceSwitch which, const std::string& program, const char* description) {
  switch (which) {
    case ServiceSwitch::kInstall:
      return cu_service_installxx(service_command_line(program).c_str(), kServiceName, kServiceDisplayName,
                                  description);
    case ServiceSwitch::kUninstall: {
      const bool stopped = cu_service_stop(kServiceName);
      const bool deleted = cu_service_delete(kServiceName);
      return stopped && deleted;
    }
    case ServiceSwitch::kStart:
      return cu_service_start(kServiceName);
    case ServiceSwitch::kStop:
      return cu_service_stop(kServiceName);
    default:
      return false;
  }
}

void end_service_switch(bool ok) {
  fputs("Press ENTER key to exit!", stdout);
  fflush(stdout);
  getchar();
  fflush(nullptr);
  _exit(ok ? 0 : 1);
}
