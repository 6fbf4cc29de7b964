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
std::span<const Command> scache_commands();
std::span<const Command> fcache_commands();
std::span<const Command> icache_commands();
std::span<const Command> rcache_commands();
std::span<const Command> thiscache_commands();
std::span<const Command> allcache_commands();
std::span<const Command> protect_commands();
std::span<const Command> permit_commands();
std::span<const Command> rewrite_commands();
std::span<const Command> black_commands();
std::span<const Command> white_commands();

// The purge commands of the cache families.
void purge_scache(const Request& r);
void purge_clean_fcache(const Request& r);
void purge_clean_icache(const Request& r);
void purge_fresh_fcache(const Request& r);
void purge_fresh_icache(const Request& r);
void purge_fresh_rcache(const Request& r);

}  // namespace vor::adminweb
