// The program's own path, name and folder, as both programs compute them at start.
#pragma once
#include <optional>
#include <string>

struct ProgramPath {
  std::string full;    // the program file, slashes only
  std::string name;    // the file part cut before its last dot
  std::string folder;  // up to and including the last '/'
};

// Name and folder of a program path; backslashes become slashes.
ProgramPath split_program_path(std::string full);
// This program's path from /proc/self/exe; nullopt when it cannot be read.
std::optional<ProgramPath> own_program_path();
