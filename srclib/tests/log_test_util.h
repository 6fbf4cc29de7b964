// Helpers shared by the log tests: a splitter and a checker of the levelled line layout.
#pragma once
#include <cctype>
#include <string>
#include <vector>

// Splits at "\r\n"; a trailing piece without a line end is kept as the last element.
inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
    lines.push_back(text.substr(at, end - at));
  }
  if (at < text.size()) lines.push_back(text.substr(at));
  return lines;
}

// "YYYY-MM-DD hh:mm:ss " (the year may have more digits); answers the prefix length or 0.
inline size_t time_prefix_length(const std::string& line) {
  size_t i = 0;
  while (i < line.size() && isdigit(static_cast<unsigned char>(line[i]))) ++i;
  if (i < 4) return 0;
  const char* shape = "-dd-dd dd:dd:dd ";
  for (const char* s = shape; *s; ++s, ++i) {
    if (i >= line.size()) return 0;
    if (*s == 'd' ? !isdigit(static_cast<unsigned char>(line[i])) : line[i] != *s) return 0;
  }
  return i;
}
