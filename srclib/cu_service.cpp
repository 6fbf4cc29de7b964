#include "cu_service.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "cu_lib.h"
#include "cu_malloc.h"
#include "cu_service_internal.h"
#include "cu_util.h"

namespace cu_service_internal {
namespace {

constexpr char kUnit[] = "srclib\\cu_service";
constexpr int64_t kStopTimeoutMs = 30000;
constexpr int32_t kDispatcherStack = 131072;
constexpr size_t kNameMax = 128;

std::string format(const char* fmt, int value) {
  char line[256];
  snprintf(line, sizeof line, fmt, value);
  return line;
}

// The start waits poll a tenth of the wait hint, the stop waits the whole hint; both within 1 to 10 s.
uint32_t start_wait(uint32_t hint) { return std::clamp<uint32_t>(hint / 10, 1000, 10000); }
uint32_t stop_wait(uint32_t hint) { return std::clamp<uint32_t>(hint, 1000, 10000); }

bool open_service(Env& env, const std::string& name) {
  if (int err = env.backend->connect()) {
    env.print(format("OpenSCManager failed (%d)\n", err));
    return false;
  }
  if (int err = env.backend->open(name)) {
    env.print(format("OpenService failed (%d)\n", err));
    return false;
  }
  return true;
}

bool query(Env& env, const std::string& name, Status& status) {
  if (int err = env.backend->query(name, status)) {
    env.print(format("QueryServiceStatusEx failed (%d)\n", err));
    return false;
  }
  return true;
}

// Waits while the service stays in `pending`; false on a failed query or when the checkpoint
// has not moved for longer than the wait hint.
enum class Wait { kLeft, kQueryFailed, kTimedOut };
Wait wait_while(Env& env, const std::string& name, Status& status, int32_t pending) {
  int64_t since = env.now_ms();
  uint32_t checkpoint = status.checkpoint;
  while (status.state == pending) {
    env.sleep_ms(start_wait(status.wait_hint));
    if (!query(env, name, status)) return Wait::kQueryFailed;
    if (status.checkpoint > checkpoint) {
      since = env.now_ms();
      checkpoint = status.checkpoint;
    } else if (env.now_ms() - since > status.wait_hint) {
      return Wait::kTimedOut;
    }
  }
  return Wait::kLeft;
}

}  // namespace

bool valid_service_name(const char* name) {
  if (!name || !*name || strlen(name) > kNameMax) return false;
  for (const char* p = name; *p; ++p) {
    if (!isalnum(static_cast<unsigned char>(*p)) && !strchr("_.@:-", *p)) return false;
  }
  return true;
}

std::optional<std::vector<std::string>> split_command_line(const char* cmdline) {
  if (!cmdline) return std::nullopt;
  std::vector<std::string> args;
  const char* p = cmdline;
  while (true) {
    while (*p == ' ' || *p == '\t') ++p;
    if (!*p) break;
    std::string arg;
    bool quoted = false;
    for (; *p && (quoted || (*p != ' ' && *p != '\t')); ++p) {
      if (*p == '"') {
        quoted = !quoted;
      } else if (quoted && *p == '\\' && (p[1] == '"' || p[1] == '\\')) {
        arg += *++p;
      } else {
        arg += *p;
      }
    }
    if (quoted) return std::nullopt;
    args.push_back(std::move(arg));
  }
  if (args.empty()) return std::nullopt;
  return args;
}

std::optional<std::string> own_command_line() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::nullopt;
  std::string line = "\"";
  for (ssize_t i = 0; i < n; ++i) {
    if (path[i] == '"' || path[i] == '\\') line += '\\';
    line += path[i];
  }
  return line + "\"";
}

bool install(Env& env, const ServiceDefinition& def) {
  if (int err = env.backend->connect()) {
    env.print(format("OpenSCManager failed (%d)\n", err));
    return false;
  }
  if (int err = env.backend->create(def)) {
    env.print(format("CreateService failed (%d)\n", err));
    return false;
  }
  env.print("Service installed successfully\n");
  return true;
}

bool remove(Env& env, const std::string& name) {
  if (!open_service(env, name)) return false;
  if (int err = env.backend->remove(name)) {
    env.print(format("DeleteService failed (%d)\n", err));
    return false;
  }
  env.print("Service deleted successfully\n");
  return true;
}

bool start(Env& env, const std::string& name) {
  Status status;
  if (!open_service(env, name) || !query(env, name, status)) return false;
  if (status.state != kStopped && status.state != kStopPending) {
    env.print("Cannot start the service because it is already running\n");
    return false;
  }
  switch (wait_while(env, name, status, kStopPending)) {
    case Wait::kQueryFailed:
      return false;
    case Wait::kTimedOut:
      env.print("Timeout waiting for service to stop\n");
      return false;
    case Wait::kLeft:
      break;
  }
  if (int err = env.backend->start(name)) {
    env.print(format("StartService failed (%d)\n", err));
    return false;
  }
  env.print("Service start pending...\n");
  if (query(env, name, status)) wait_while(env, name, status, kStartPending);
  if (status.state == kRunning) {
    env.print("Service started successfully.\n");
    return true;
  }
  env.print("Service not started. \n");
  env.print(format("  Current State: %d\n", status.state));
  env.print(format("  Exit Code: %d\n", status.exit_code));
  env.print(format("  Check Point: %d\n", static_cast<int>(status.checkpoint)));
  env.print(format("  Wait Hint: %d\n", static_cast<int>(status.wait_hint)));
  return false;
}

// The services of this layer have no dependents, so the stop goes to the service at once.
bool stop(Env& env, const std::string& name) {
  const int64_t begin = env.now_ms();
  Status status;
  if (!open_service(env, name) || !query(env, name, status)) return false;
  if (status.state == kStopped) {
    env.print("Service is already stopped.\n");
    return true;
  }
  while (status.state == kStopPending) {
    env.print("Service stop pending...\n");
    env.sleep_ms(stop_wait(status.wait_hint));
    if (!query(env, name, status)) return false;
    if (status.state == kStopped) {
      env.print("Service stopped successfully.\n");
      return true;
    }
    if (env.now_ms() - begin > kStopTimeoutMs) {
      env.print("Service stop timed out.\n");
      return false;
    }
  }
  if (int err = env.backend->stop(name)) {
    env.print(format("ControlService failed (%d)\n", err));
    return false;
  }
  while (status.state != kStopped) {
    env.sleep_ms(stop_wait(status.wait_hint));
    if (!query(env, name, status)) return false;
    if (status.state != kStopped && env.now_ms() - begin > kStopTimeoutMs) {
      env.print("Wait timed out\n");
      return false;
    }
  }
  env.print("Service stopped successfully\n");
  return true;
}

std::unique_ptr<Backend> make_default_backend() {
  const char* choice = getenv("VOR_SERVICE_BACKEND");
  const bool systemd = choice ? strcmp(choice, "systemd") == 0 : access("/run/systemd/system", F_OK) == 0;
  if (systemd) {
    const char* dir = getenv("VOR_SYSTEMD_UNIT_DIR");
    const char* ctl = getenv("VOR_SYSTEMCTL");
    return make_systemd_backend(dir && *dir ? dir : "/etc/systemd/system", ctl && *ctl ? ctl : "systemctl");
  }
  if (const char* dir = getenv("VOR_SERVICE_DIR"); dir && *dir) return make_simple_backend(dir);
  if (geteuid() == 0) return make_simple_backend("/var/lib/quorin/services");
  const char* home = getenv("HOME");
  if (home && *home) return make_simple_backend(std::string(home) + "/.local/state/quorin/services");
  return make_simple_backend("/tmp/quorin-services-" + std::to_string(geteuid()));
}

Env real_env(Backend* backend) {
  Env env;
  env.backend = backend;
  env.now_ms = [] { return cu_GetTickCount(); };
  env.sleep_ms = cu_sleep;
  env.print = [](const std::string& line) {
    fputs(line.c_str(), stdout);
    fflush(stdout);
  };
  return env;
}

namespace {

// Unit state of the running service.
std::mutex g_lock;
char g_service_name[kNameMax + 1] = "svcname";

struct Dispatch {
  cu_service_stop_fn stop;
  void* arg;
};

// Failures of the service machinery: one error line in syslog under the service name.
void report_event(const char* function, int error) {
  char ident[kNameMax + 1];
  {
    std::lock_guard<std::mutex> guard(g_lock);
    memcpy(ident, g_service_name, sizeof ident);
  }
  openlog(ident, LOG_PID, LOG_DAEMON);
  syslog(LOG_ERR, "%s failed with %d", function, error);
  closelog();
}

// Without a service manager the dispatcher fails at once and the program's stop path runs.
void dispatcher_thread(void* arg) {
  Dispatch* record = static_cast<Dispatch*>(arg);
  report_event("StartServiceCtrlDispatcher", ENOTCONN);
  if (!record->stop) {
    fflush(nullptr);
    _exit(0);
  }
  record->stop(record->arg);
  _cu_free(record, kUnit, __LINE__);
}

template <typename Op>
bool with_backend(const char* name, Op op) {
  if (!valid_service_name(name)) {
    printf("OpenService failed (%d)\n", EINVAL);
    fflush(stdout);
    return false;
  }
  std::unique_ptr<Backend> backend = make_default_backend();
  Env env = real_env(backend.get());
  return op(env, std::string(name));
}

bool install_cmdline(const char* cmdline, const char* name, const char* display_name, const char* description) {
  if (!display_name) return false;
  std::optional<std::vector<std::string>> argv = split_command_line(cmdline);
  return with_backend(name, [&](Env& env, const std::string& n) {
    if (!argv) {
      env.print(format("CreateService failed (%d)\n", EINVAL));
      return false;
    }
    ServiceDefinition def{n, display_name, description ? description : "", *argv};
    return install(env, def);
  });
}

}  // namespace
}  // namespace cu_service_internal

using namespace cu_service_internal;

bool cu_service_install(const char* name, const char* display_name) {
  std::optional<std::string> cmdline = own_command_line();
  if (!cmdline) {
    printf("Cannot install service (%d)\n", errno);
    fflush(stdout);
    return false;
  }
  return install_cmdline(cmdline->c_str(), name, display_name, nullptr);
}

bool cu_service_installx(const char* cmdline, const char* name, const char* display_name) {
  return install_cmdline(cmdline, name, display_name, nullptr);
}

bool cu_service_installxx(const char* cmdline, const char* name, const char* display_name, const char* description) {
  return install_cmdline(cmdline, name, display_name, description);
}

bool cu_service_delete(const char* name) {
  return with_backend(name, [](Env& env, const std::string& n) { return remove(env, n); });
}

bool cu_service_start(const char* name) {
  return with_backend(name, [](Env& env, const std::string& n) { return start(env, n); });
}

bool cu_service_stop(const char* name) {
  return with_backend(name, [](Env& env, const std::string& n) { return stop(env, n); });
}

bool cu_service_mainx(const char* name, cu_service_stop_fn stop_fn, void* arg) {
  if (!name) return false;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    snprintf(g_service_name, sizeof g_service_name, "%s", name);
  }
  const char* notify = getenv("NOTIFY_SOCKET");
  if (notify && *notify) return true;
  Dispatch* record = static_cast<Dispatch*>(_cu_malloc(sizeof(Dispatch), kUnit, __LINE__));
  if (!record) return false;
  *record = {stop_fn, arg};
  uint32_t thread_id = 0;
  if (!cu_CreateThread(&thread_id, kDispatcherStack, dispatcher_thread, record)) {
    fputs("warn: cu_service_main()->CreateThread() error!", stdout);
    fflush(stdout);
    _cu_free(record, kUnit, __LINE__);
    return false;
  }
  return true;
}

bool cu_service_main(const char* name) { return cu_service_mainx(name, nullptr, nullptr); }
