// Helpers of the string unit that other units of the library share (not exported).
#pragma once
#include "vor_internal.h"
#include <stddef.h>
#include <stdint.h>


namespace cu_internal {

// ASCII-only case folding: never depends on the locale.
constexpr unsigned char ascii_lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }
constexpr unsigned char ascii_upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c; }

// ASCII-only character classes, likewise.
constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Writes n bytes as 2n lowercase hexadecimal digits and a NUL; out holds 2n + 1 characters.
void hex_lower(const unsigned char* data, size_t n, char* out);

// The line reader of the console prompts: reads from in_fd until a line end, Ctrl-C, EOF or
// min(max, 128) reads; echo_fd (-1 for none) gets "*" per kept character when mask is set and
// "\b \b" per erased one. Copies the kept text without trailing white space into buf.
void tty_read_line(int in_fd, int echo_fd, bool mask, char* buf, int32_t max);

}  // namespace cu_internal
