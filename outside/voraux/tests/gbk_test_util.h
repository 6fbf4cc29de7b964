// GBK texts for the tests, made and read back by the iconv command-line tool.
#pragma once
#include "vor_tempdir.h"

#include <string>

namespace vor::test {

inline std::string to_gbk(const std::string& utf8) {
  TempDir dir;
  write_file(dir.file("in"), utf8);
  return shell_output("iconv -f UTF-8 -t GBK '" + dir.file("in") + "'");
}

inline std::string iconv_from_gbk(const std::string& gbk) {
  TempDir dir;
  write_file(dir.file("in"), gbk);
  return shell_output("iconv -f GBK -t UTF-8 '" + dir.file("in") + "'");
}

}  // namespace vor::test
