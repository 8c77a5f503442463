// ParseContentRange. Input: the header value as UTF-16LE units, handed over without a terminator in
// a buffer of exactly its length.
//
// Oracle: a slow reference parser over strings (trim the blanks, split at the first '-' and '/',
// compare the numbers as digit strings, never as machine integers), and a round trip: an accepted
// range written back as "bytes FIRST-LAST/TOTAL" parses to itself. A refused value leaves the range
// as it was.
#include <string.h>

#include <memory>

#include "../harness.h"
#include "net/content_range.h"

namespace {

bool IsBlank(wchar_t unit) { return unit == L' ' || unit == L'\t'; }

// The decimal number `digits` (one or more ASCII digits) if it is below 2^32.
bool SmallNumber(const std::wstring& digits, uint32_t& number) {
  if (digits.empty()) return false;
  for (wchar_t unit : digits) {
    if (unit < L'0' || unit > L'9') return false;
  }
  const size_t firstNonZero = digits.find_first_not_of(L'0');
  const std::wstring significant = firstNonZero == std::wstring::npos ? L"0" : digits.substr(firstNonZero);
  if (significant.size() > 10 || (significant.size() == 10 && significant > L"4294967295")) return false;
  number = static_cast<uint32_t>(std::stoull(significant));
  return true;
}

bool ReferenceParse(std::wstring text, ContentRange& range) {
  while (!text.empty() && IsBlank(text.front())) text.erase(0, 1);
  while (!text.empty() && IsBlank(text.back())) text.pop_back();
  if (text.size() < 5) return false;
  for (size_t i = 0; i < 5; ++i) {
    wchar_t unit = text[i];
    if (unit >= L'A' && unit <= L'Z') unit += L'a' - L'A';
    if (unit != L"bytes"[i]) return false;
  }
  std::wstring rest = text.substr(5);
  if (rest.empty() || !IsBlank(rest.front())) return false;
  while (IsBlank(rest.front())) rest.erase(0, 1);
  const size_t dash = rest.find(L'-');
  if (dash == std::wstring::npos) return false;
  const size_t slash = rest.find(L'/', dash);
  if (slash == std::wstring::npos) return false;
  ContentRange parsed;
  if (!SmallNumber(rest.substr(0, dash), parsed.first) ||
      !SmallNumber(rest.substr(dash + 1, slash - dash - 1), parsed.last) ||
      !SmallNumber(rest.substr(slash + 1), parsed.total)) {
    return false;
  }
  if (parsed.first > parsed.last || parsed.last >= parsed.total) return false;
  range = parsed;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring units = Utf16Units(std::string(reinterpret_cast<const char*>(data), size));
  const std::unique_ptr<wchar_t[]> value(new wchar_t[units.size()]);
  memcpy(value.get(), units.data(), units.size() * sizeof(wchar_t));

  ContentRange range = {0xA5A5A5A5, 0x5A5A5A5A, 0x12345678};
  const bool parsed = ParseContentRange(value.get(), units.size(), range);
  ContentRange expected = {0xA5A5A5A5, 0x5A5A5A5A, 0x12345678};
  FUZZ_CHECK(parsed == ReferenceParse(units, expected));
  FUZZ_CHECK(range.first == expected.first && range.last == expected.last && range.total == expected.total);
  if (!parsed) return 0;

  const std::wstring written = L"bytes " + std::to_wstring(range.first) + L"-" + std::to_wstring(range.last) +
                               L"/" + std::to_wstring(range.total);
  ContentRange again = {};
  FUZZ_CHECK(ParseContentRange(written.data(), written.size(), again));
  FUZZ_CHECK(again.first == range.first && again.last == range.last && again.total == range.total);
  return 0;
}
