#include "program_path.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>

ProgramPath split_program_path(std::string full) {
  std::replace(full.begin(), full.end(), '\\', '/');
  ProgramPath path;
  const size_t slash = full.rfind('/');
  path.folder = slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
  const std::string file = slash == std::string::npos ? full : full.substr(slash + 1);
  const size_t dot = file.rfind('.');
  path.name = dot == std::string::npos ? file : file.substr(0, dot);
  path.full = std::move(full);
  return path;
}

std::optional<ProgramPath> own_program_path() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::nullopt;
  return split_program_path(std::string(buf, static_cast<size_t>(n)));
}
