// Where a cache file lives: <disk>/<class>/<digit folders>/<MD5 of the key>[.<extension>]. The
// folder number comes from a 31-multiplier hash of the key text over the folder count the
// directory depth sets; each decimal digit of it is one folder level.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "cu_file.h"
#include "cu_md5.h"
#include "policydb.h"
#include "reqgate_internal.h"
#include "seams.h"

namespace vor::reqgate {

uint32_t folder_count(uint32_t depth) {
  switch (depth & 0xFF) {
    case 0:
    case 1:
      return 10;
    case 2:
      return 100;
    case 3:
      return 1000;
    case 5:
      return 100000;
    case 6:
    case 7:
    case 8:
      return 1000000;
    default:
      return 10000;
  }
}

uint32_t folder_number(std::string_view key, uint32_t count) {
  uint32_t h = 0;
  for (const char c : key) h = h * 31u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(c)));
  // |h| of the signed value, without overflow at INT_MIN: unsigned negation.
  const uint32_t magnitude = (h & 0x80000000u) ? 0u - h : h;
  return magnitude % count;
}

std::string folder_digits(std::string_view key) {
  return std::to_string(folder_number(key, folder_count(policydb_system_get_DiskCacheDirectoryDepth())));
}

const char* class_folder(uint8_t kind) {
  switch (kind) {
    case kIntelligent:
    case kPublic:
      return "public";
    case kMember:
      return "member";
    case kVisitor:
      return "visitor";
    default:
      return nullptr;
  }
}

namespace {

// Appends a part with '\' turned into '/', then a '/' unless it already ends in one.
void append_part(std::string& out, std::string_view part) {
  for (const char c : part) out += c == '\\' ? '/' : c;
  if (out.empty() || out.back() != '/') out += '/';
}

}  // namespace

std::string join_path(std::string_view disk_path, std::string_view class_name, std::string_view digits,
                      std::string_view name, std::string_view extension) {
  std::string out;
  append_part(out, disk_path);
  append_part(out, class_name);
  for (const char d : digits) append_part(out, std::string_view(&d, 1));
  out += name;
  if (!extension.empty()) {
    out += '.';
    out += extension;
  }
  if (!out.empty() && out.back() == '/') out.pop_back();
  return out;
}

std::string file_name(std::string_view key) {
  char name[33];
  cu_md5_encode(name, std::string(key).c_str());
  return std::string(name, 32);
}

std::string cache_path_at(uint8_t kind, std::string_view disk_path, std::string_view digits,
                          std::string_view name) {
  const char* folder = class_folder(kind);
  if (!folder) return {};
  return join_path(disk_path, folder, digits, name, settings().disk_file_extension);
}

std::string cache_path(uint8_t kind, std::string_view disk_path, std::string_view key) {
  return cache_path_at(kind, disk_path, folder_digits(key), file_name(key));
}

namespace {

bool made_of(const char* text, const char* allowed) {
  return *text && text[std::strspn(text, allowed)] == '\0';
}

}  // namespace

std::string record_file_path(uint8_t kind, std::string_view name, const char* record, size_t record_size) {
  char disk[kShortValueSize];
  char folder[kShortValueSize];
  if (!index_value(record, "dn", disk, sizeof disk, record_size) ||
      !index_value(record, "pt", folder, sizeof folder, record_size)) {
    return {};
  }
  // Hexadecimal disk numbers (nine digits at most: no overflow) and decimal folder digits only.
  if (!made_of(disk, "0123456789abcdefABCDEF") || !made_of(folder, "0123456789")) return {};
  const unsigned long long number = std::strtoull(disk, nullptr, 16);
  char disk_path[1024];
  if (number > INT32_MAX ||
      !seams::disk_calls().disk_path(static_cast<uint32_t>(number), disk_path, sizeof disk_path)) {
    return {};
  }
  return cache_path_at(kind, disk_path, folder, name);
}

int make_dirs(const std::string& path) {
  const size_t end = path.find_last_of('/');
  if (end == std::string::npos) return 0;
  int error = 0;
  for (size_t at = path.find('/', 1); at != std::string::npos && at <= end; at = path.find('/', at + 1)) {
    // False for a level that exists: nothing to do.
    if (!cu_dir1_make(path.substr(0, at).c_str()) && errno != EEXIST && error == 0) error = errno;
  }
  return error;
}

}  // namespace vor::reqgate
