#include "common/strings.h"

#include <gtest/gtest.h>

TEST(FixedStringTest, AppendFailsAndEmptiesWhenTextDoesNotFit) {
  FixedString<6> s;
  EXPECT_TRUE(s.Assign(L"ab"));
  EXPECT_TRUE(s.Append(L"cde"));  // 5 units + terminator fill the buffer exactly
  EXPECT_STREQ(s.c_str(), L"abcde");
  EXPECT_FALSE(s.Append(L"f"));
  EXPECT_STREQ(s.c_str(), L"");
}

TEST(FixedStringTest, AppendSeparatorAddsOneBackslashOnly) {
  PathString s;
  ASSERT_TRUE(s.Assign(L"C:\\T"));
  EXPECT_TRUE(s.AppendSeparator());
  EXPECT_TRUE(s.AppendSeparator());
  EXPECT_STREQ(s.c_str(), L"C:\\T\\");
}

TEST(WidenAppendTest, EveryByteBecomesTheUnitOfTheSameValue) {
  WideString out;
  ASSERT_TRUE(out.Append(L"x="));
  const char bytes[] = {'A', ' ', '&', '\x7f', '\x80', '\xff', '\0', 'z'};
  ASSERT_TRUE(WidenAppend(out, bytes, sizeof(bytes)));
  const wchar_t expected[] = {L'x', L'=', 0x41, 0x20, 0x26, 0x7f, 0x80, 0xff, 0, L'z'};
  ASSERT_EQ(out.length(), 10u);
  for (size_t i = 0; i < out.length(); ++i) EXPECT_EQ(out.c_str()[i], expected[i]) << "unit " << i;
  EXPECT_EQ(out.c_str()[10], 0);
}

TEST(HeapStringTest, GrowsAcrossManyAppendsWithoutLosingUnits) {
  ByteString s;
  for (int i = 0; i < 10000; ++i) ASSERT_TRUE(s.Append("0123456789", 10));
  ASSERT_EQ(s.length(), 100000u);
  for (size_t i = 0; i < s.length(); ++i) ASSERT_EQ(s.c_str()[i], '0' + static_cast<char>(i % 10));
  s.Clear();
  EXPECT_TRUE(s.empty());
  EXPECT_STREQ(s.c_str(), "");
}
