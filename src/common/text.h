// Small text helpers shared by the stages. Plain C++ over units and bytes: no platform calls, so
// the parsers built on them also build natively (for the fuzzers).
#pragma once

#include <stddef.h>
#include <stdint.h>

// Length in units of a zero-terminated text.
template <typename T>
inline size_t TextLength(const T* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// True when both zero-terminated texts hold the same units.
bool SameText(const wchar_t* a, const wchar_t* b);

// True when `text` begins with every unit of `prefix` (case-sensitive). Both zero-terminated; a text
// shorter than the prefix does not begin with it.
bool StartsWith(const wchar_t* text, const wchar_t* prefix);

// Position of the first occurrence of the `needleLength` bytes of `needle` in text[from, length),
// or `length` when there is none. Bytes compare exactly; the earliest occurrence wins.
size_t FindBytes(const char* text, size_t length, size_t from, const char* needle, size_t needleLength);

// Copies `text` into `out` (`capacity` units, terminator included), cut to capacity - 1 units when
// longer, and terminates it. Returns the number of units copied.
size_t CopyCut(wchar_t* out, size_t capacity, const wchar_t* text);

// Appends the decimal digits of `value` to `out`, any string type with Append(units, count).
// Returns what that Append returns.
template <typename String>
bool AppendDecimal(String& out, uint32_t value) {
  wchar_t digits[10];
  size_t count = 0;
  do {
    digits[sizeof(digits) / sizeof(digits[0]) - 1 - count++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  return out.Append(digits + sizeof(digits) / sizeof(digits[0]) - count, count);
}

// Reads `length` units of `text` as a plain decimal number: one or more digits (leading zeros
// allowed), nothing else, no sign, no blanks. Returns false, leaving `value` as it was, for anything
// else and for a number above 2^64 - 1 (never wrapped).
template <typename T>
bool ParseDecimal64(const T* text, size_t length, uint64_t& value) {
  if (length == 0) return false;
  uint64_t result = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (result > (UINT64_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  value = result;
  return true;
}
