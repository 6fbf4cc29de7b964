// The service layer below cu_service_*: the polling algorithms over a backend of the service
// manager, with the clock, the sleep and the printer injectable so tests can drive them.
#pragma once
#include "vor_internal.h"
#include <stdint.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cu_service_internal {

enum State : int32_t { kStopped = 1, kStartPending = 2, kStopPending = 3, kRunning = 4 };

struct Status {
  int32_t state = kStopped;
  int32_t exit_code = 0;
  uint32_t checkpoint = 0;
  uint32_t wait_hint = 0;
  int32_t pid = 0;
};

struct ServiceDefinition {
  std::string name;
  std::string display_name;
  std::string description;
  std::vector<std::string> argv;
};

// Every operation answers 0 or an errno-style code that the printed lines show as "(%d)".
class Backend {
 public:
  virtual ~Backend() = default;
  virtual int connect() = 0;                     // the manager is reachable
  virtual int open(const std::string& name) = 0;  // the service exists
  virtual int create(const ServiceDefinition& def) = 0;
  virtual int remove(const std::string& name) = 0;
  virtual int start(const std::string& name) = 0;
  virtual int stop(const std::string& name) = 0;
  virtual int query(const std::string& name, Status& out) = 0;
};

struct Env {
  Backend* backend = nullptr;
  std::function<int64_t()> now_ms;
  std::function<void(uint32_t)> sleep_ms;
  std::function<void(const std::string&)> print;
};

bool valid_service_name(const char* name);
// Splits a command line into arguments; nullopt for an unterminated quote or no argument.
std::optional<std::vector<std::string>> split_command_line(const char* cmdline);
// The command line of this program: its path, quoted.
std::optional<std::string> own_command_line();

bool install(Env& env, const ServiceDefinition& def);
bool remove(Env& env, const std::string& name);
bool start(Env& env, const std::string& name);
bool stop(Env& env, const std::string& name);

// The text of a systemd unit for the service; nullopt when a field holds a line end.
std::optional<std::string> systemd_unit_text(const ServiceDefinition& def);
std::unique_ptr<Backend> make_systemd_backend(const std::string& unit_dir, const std::string& systemctl);
std::unique_ptr<Backend> make_simple_backend(const std::string& records_dir);
// systemd where /run/systemd/system exists, else the simple backend; the environment
// variables VOR_SERVICE_BACKEND (simple or systemd), VOR_SERVICE_DIR, VOR_SYSTEMD_UNIT_DIR and
// VOR_SYSTEMCTL override the choice and the places.
std::unique_ptr<Backend> make_default_backend();
Env real_env(Backend* backend);

}  // namespace cu_service_internal
