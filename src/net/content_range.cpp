#include "net/content_range.h"

namespace {

bool IsBlank(wchar_t unit) { return unit == L' ' || unit == L'\t'; }

// Reads decimal digits at `at` into `number`; false when there are none or the value reaches 2^32.
bool ReadNumber(const wchar_t* value, size_t length, size_t& at, uint32_t& number) {
  const size_t start = at;
  uint64_t n = 0;
  while (at < length && value[at] >= L'0' && value[at] <= L'9') {
    n = n * 10 + static_cast<uint64_t>(value[at] - L'0');
    if (n > 0xFFFFFFFFull) return false;
    ++at;
  }
  number = static_cast<uint32_t>(n);
  return at > start;
}

}  // namespace

bool ParseContentRange(const wchar_t* value, size_t length, ContentRange& range) {
  size_t at = 0;
  while (at < length && IsBlank(value[at])) ++at;
  while (length > at && IsBlank(value[length - 1])) --length;
  static constexpr wchar_t kUnit[] = L"bytes";
  for (size_t i = 0; kUnit[i] != 0; ++i, ++at) {
    if (at >= length || (value[at] | 0x20) != kUnit[i]) return false;
  }
  if (at >= length || !IsBlank(value[at])) return false;
  while (at < length && IsBlank(value[at])) ++at;
  ContentRange parsed;
  if (!ReadNumber(value, length, at, parsed.first) || at >= length || value[at++] != L'-' ||
      !ReadNumber(value, length, at, parsed.last) || at >= length || value[at++] != L'/' ||
      !ReadNumber(value, length, at, parsed.total) || at != length) {
    return false;
  }
  if (parsed.first > parsed.last || parsed.last >= parsed.total) return false;
  range = parsed;
  return true;
}
