// quorinctl: installs, removes, starts and stops the daemon's service from the daemon's
// folder. It takes no lock and reads no configuration, so it works while the daemon runs.
#include <stdio.h>
#include <unistd.h>

#include "vor_setup.h"
#include "program_path.h"
#include "service_common.h"

namespace {

constexpr char kDescription[] =
    "提供页面缓存/实时监控/防盗链/负载均衡/流量统计/URL转向/黑名单等服务（http://localhost/）。";

}  // namespace

int main(int argc, char** argv) {
  vor_Setup();
  std::optional<ProgramPath> program = own_program_path();
  if (!program) {
    fputs("[Quorin] GetModuleFileName() fail!\r\n", stdout);
    end_service_switch(false);
  }
  if (program->name.empty() || program->folder.empty()) end_service_switch(false);
  if (chdir(program->folder.c_str()) != 0) {
    fprintf(stderr, "[Quorin] change directory to '%s' fail!\r\n", program->folder.c_str());
    return 1;
  }
  const ServiceSwitch which = parse_service_switch(argc > 1 ? argv[1] : nullptr);
  if (which == ServiceSwitch::kNone || which == ServiceSwitch::kService) return 0;
  end_service_switch(run_service_control(which, program->folder + "quorind", kDescription));
}
