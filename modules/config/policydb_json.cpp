// JSON members written as text into a wtb, every value a JSON string.
#include "policydb.h"

#include <cinttypes>
#include <cstdio>
#include <new>
#include <string>

namespace {

// The escape of one byte, or nullptr when the byte is written as it is.
const char* named_escape(unsigned char c) {
  switch (c) {
    case '\b': return "\\b";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\f': return "\\f";
    case '\r': return "\\r";
    case '"': return "\\\"";
    case '/': return "\\/";
    case '\\': return "\\\\";
    default: return nullptr;
  }
}

// JSON forbids raw control characters in strings.
bool is_other_control(unsigned char c) { return c < 0x20; }

void append_escaped(std::string& out, const char* text) {
  for (const char* p = text; *p; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (const char* e = named_escape(c)) {
      out += e;
    } else if (is_other_control(c)) {
      char code[7];
      snprintf(code, sizeof code, "\\u%04x", c);
      out += code;
    } else {
      out += static_cast<char>(c);
    }
  }
}

void insert_member(wtb* buffer, const char* name, const char* value, bool escape) {
  if (!buffer) return;
  std::string member = "\"";
  member += name ? name : "";
  member += "\":\"";
  if (escape) {
    append_escaped(member, value ? value : "");
  } else {
    member += value;
  }
  member += '"';
  wtb_InsertString(buffer, member.c_str());
}

}  // namespace

void json_StringValue(wtb* buffer, const char* name, const char* value) {
  try {
    insert_member(buffer, name, value, true);
  } catch (const std::bad_alloc&) {
    // Nothing inserted: the reply goes out without this member.
  }
}

void json_Int32Value(wtb* buffer, const char* name, int32_t value) {
  char text[16];
  snprintf(text, sizeof text, "%d", value);
  try {
    insert_member(buffer, name, text, false);
  } catch (const std::bad_alloc&) {
  }
}

void json_Int64Value(wtb* buffer, const char* name, int64_t value) {
  char text[24];
  snprintf(text, sizeof text, "%" PRId64, value);
  try {
    insert_member(buffer, name, text, false);
  } catch (const std::bad_alloc&) {
  }
}

int32_t json_FormatString(char* out, const char* text, int32_t limit) {
  if (!out) return 0;
  int32_t written = 0;
  if (text) {
    for (int32_t i = 0; i < limit && text[i]; ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (const char* e = named_escape(c)) {
        out[written++] = e[0];
        out[written++] = e[1];
      } else {
        // Two bytes per character is all the caller's buffer holds: a control character that
        // has no two-byte escape becomes '?' rather than invalid JSON.
        out[written++] = is_other_control(c) ? '?' : static_cast<char>(c);
      }
    }
  }
  out[written] = '\0';
  return written;
}
