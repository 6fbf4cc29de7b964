// What the tests reach inside tallies.
#pragma once
#include <cstdint>
#include <string>

namespace tallies {

// Writes the period's report into folder (made when missing) as one file per period.
bool write_text_report(const std::string& folder);

// The name of the report file of the period that started at start (local time).
std::string report_file_name(int64_t start);

}  // namespace tallies
