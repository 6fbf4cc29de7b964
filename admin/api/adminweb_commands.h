// The command table's rows: each family's commands, their handlers and close delays.
#pragma once
#include <span>

#include "adminweb_internal.h"

namespace vor::adminweb {

constexpr int32_t kDelay = 500;  // the close delay of nearly every command

struct Command {
  const char* cmd;
  void (*run)(const Request& r);  // writes exactly one reply
  int32_t delay;                  // 0: the family's
};

struct Family {
  const char* type;
  std::span<const Command> commands;  // in test order
  int32_t delay;                      // also for a cmd the family does not know
};

// Every family that is served, in test order; a type not listed answers 11.
std::span<const Family> families();
const Family* find_family(const char* type);

// The rows of each mechanism's own file.
std::span<const Command> sign_commands();
std::span<const Command> user_commands();

}  // namespace vor::adminweb
