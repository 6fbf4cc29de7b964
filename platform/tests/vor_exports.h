// The defined names of a shared library's dynamic symbol table, as `nm -D --defined-only` lists
// them, less the sanitizer's own indicators: what a library exports to the process.
#pragma once
#include <stdio.h>

#include <set>
#include <sstream>
#include <string>

namespace vor::test {

inline std::set<std::string> exported_names(const std::string& library) {
  std::set<std::string> names;
  FILE* nm = popen(("nm -D --defined-only '" + library + "'").c_str(), "r");
  if (!nm) return names;
  char line[512];
  while (fgets(line, sizeof line, nm)) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name && name.rfind("__odr_asan", 0) != 0) names.insert(name);
  }
  pclose(nm);
  return names;
}

}  // namespace vor::test
