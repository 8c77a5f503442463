#include "net/content_range.h"

namespace {

// Walks the value unit by unit; every step stops at its end.
struct Cursor {
  const wchar_t* units;
  size_t length;
  size_t at;

  bool AtEnd() const { return at == length; }

  // Skips spaces and tabs; returns how many.
  size_t SkipBlanks() {
    const size_t start = at;
    while (at < length && (units[at] == L' ' || units[at] == L'\t')) ++at;
    return at - start;
  }

  // Takes `unit` if it comes next.
  bool Take(wchar_t unit) {
    if (at == length || units[at] != unit) return false;
    ++at;
    return true;
  }

  // Takes the lower-case ASCII `word` in any letter case.
  bool TakeWordAnyCase(const char* word) {
    size_t k = at;
    for (; *word != 0; ++word, ++k) {
      if (k == length) return false;
      wchar_t unit = units[k];
      if (unit >= L'A' && unit <= L'Z') unit = static_cast<wchar_t>(unit - L'A' + L'a');
      if (unit != static_cast<wchar_t>(*word)) return false;
    }
    at = k;
    return true;
  }

  // Takes one or more decimal digits whose value is below 2^32.
  bool TakeNumber(uint32_t& number) {
    const size_t start = at;
    uint64_t value = 0;
    for (; at < length && units[at] >= L'0' && units[at] <= L'9'; ++at) {
      value = value * 10 + static_cast<uint64_t>(units[at] - L'0');
      if (value > UINT32_MAX) return false;
    }
    number = static_cast<uint32_t>(value);
    return at > start;
  }
};

}  // namespace

bool ParseContentRange(const wchar_t* value, size_t length, ContentRange& range) {
  Cursor cursor = {value, length, 0};
  ContentRange parsed;
  cursor.SkipBlanks();
  if (!cursor.TakeWordAnyCase("bytes") || cursor.SkipBlanks() == 0 || !cursor.TakeNumber(parsed.first) ||
      !cursor.Take(L'-') || !cursor.TakeNumber(parsed.last) || !cursor.Take(L'/') ||
      !cursor.TakeNumber(parsed.total)) {
    return false;
  }
  cursor.SkipBlanks();
  if (!cursor.AtEnd() || parsed.first > parsed.last || parsed.last >= parsed.total) return false;
  range = parsed;
  return true;
}
