// Content-Range values, well-formed and not. Built twice: for Windows (run under Wine, with the other
// unit tests) and natively by fuzz/CMakeLists.txt (under the sanitizers).
#include "net/content_range.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr size_t kWhole = static_cast<size_t>(-1);  // the whole value, as long as it is

TEST(ParseContentRangeTest, TableOfValues) {
  static const struct {
    const char* name;
    std::wstring value;
    bool parsed;
    ContentRange range;        // when parsed
    size_t length = kWhole;    // units handed to the parser
  } kCases[] = {
      {"plain", L"bytes 0-9/10", true, {0, 9, 10}},
      {"one byte", L"bytes 0-0/1", true, {0, 0, 1}},
      {"a middle range", L"bytes 100-199/1000", true, {100, 199, 1000}},
      {"largest numbers", L"bytes 4294967293-4294967294/4294967295", true,
       {4294967293u, 4294967294u, 4294967295u}},
      {"leading zeros", L"bytes 007-010/00000000000000000000100", true, {7, 10, 100}},
      {"unit in capitals", L"BYTES 5-6/7", true, {5, 6, 7}},
      {"unit in mixed case", L"bYtEs 5-6/7", true, {5, 6, 7}},
      {"blanks around and between", L" \t bytes \t 5-6/7\t ", true, {5, 6, 7}},
      {"only the given units count", L"bytes 0-9/100", true, {0, 9, 10}, 12},
      {"what follows the given units is not read", L"bytes 0-9/10 and more", true, {0, 9, 10}, 12},

      {"empty", L"", false, {}},
      {"blanks only", L"  ", false, {}},
      {"unit only", L"bytes ", false, {}},
      {"no blank after the unit", L"bytes5-6/7", false, {}},
      {"equals sign after the unit", L"bytes=5-6/7", false, {}},
      {"other unit", L"items 5-6/7", false, {}},
      {"unit cut short", L"byte 5-6/7", false, {}},
      {"unit cut short by the length", L"bytes 5-6/7", false, {}, 4},
      {"non-ASCII letter that folds to s", L"byte\x017F 5-6/7", false, {}},
      {"blank inside the range", L"bytes 5 -6/7", false, {}},
      {"blank after the dash", L"bytes 5- 6/7", false, {}},
      {"blank before the slash", L"bytes 5-6 /7", false, {}},
      {"blank after the slash", L"bytes 5-6/ 7", false, {}},
      {"plus sign", L"bytes +5-6/7", false, {}},
      {"minus sign", L"bytes -5-6/7", false, {}},
      {"hex digits", L"bytes 0x5-6/7", false, {}},
      {"fullwidth digit", L"bytes \xFF15-6/7", false, {}},
      {"no total", L"bytes 5-6", false, {}},
      {"no last", L"bytes 5/7", false, {}},
      {"nothing after the slash", L"bytes 5-6/", false, {}},
      {"trailing text", L"bytes 5-6/7x", false, {}},
      {"second total", L"bytes 5-6/7/8", false, {}},
      {"line end after the value", L"bytes 5-6/7\r\n", false, {}},
      {"zero unit inside the length", std::wstring(L"bytes 5-6/7\0", 12), false, {}},
      {"zero unit after the unit", std::wstring(L"bytes\0 5-6/7", 12), false, {}},
      {"first after last", L"bytes 6-5/7", false, {}},
      {"last equal to the total", L"bytes 5-7/7", false, {}},
      {"last beyond the total", L"bytes 5-8/7", false, {}},
      {"empty total", L"bytes 0-0/0", false, {}},

      {"total of 2^32", L"bytes 0-1/4294967296", false, {}},
      {"first and last of 2^32", L"bytes 4294967296-4294967297/4294967298", false, {}},
      {"2^64 + 1, which wraps to 1 in 64 bits", L"bytes 0-0/18446744073709551617", false, {}},
      {"thirty digits", L"bytes 0-1/999999999999999999999999999999", false, {}},

      {"unknown total", L"bytes 0-9/*", false, {}},
      {"unsatisfied range", L"bytes */1000", false, {}},
      {"both unknown", L"bytes */*", false, {}},
  };
  for (const auto& c : kCases) {
    const size_t length = c.length == kWhole ? c.value.size() : c.length;
    ContentRange range = {11, 22, 33};
    EXPECT_EQ(ParseContentRange(c.value.data(), length, range), c.parsed) << c.name;
    const ContentRange expected = c.parsed ? c.range : ContentRange{11, 22, 33};  // unchanged on refusal
    EXPECT_EQ(range.first, expected.first) << c.name;
    EXPECT_EQ(range.last, expected.last) << c.name;
    EXPECT_EQ(range.total, expected.total) << c.name;
  }
}

}  // namespace
