#include "common/texts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "net/progress_format.h"

namespace {

// The other tests compare English texts: every test starts with the English table, whatever the
// language of the machine that runs them.
class EnglishTexts : public ::testing::Environment {
 public:
  void SetUp() override {
    LoadUserTexts();
    ASSERT_TRUE(LoadTexts(kEnglishLanguage));
  }
};
const auto* const kEnglishTexts = ::testing::AddGlobalTestEnvironment(new EnglishTexts);

// The placeholders of a text, sorted: "%2 ... %1" gives {"%1", "%2"}.
std::vector<std::wstring> Placeholders(const wchar_t* text) {
  std::vector<std::wstring> found;
  for (const wchar_t* p = text; p[0] != 0; ++p) {
    if (p[0] == L'%' && p[1] >= L'1' && p[1] <= L'9') found.push_back(std::wstring(p, 2));
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string Hex(LANGID language) {
  char text[8];
  snprintf(text, sizeof(text), "0x%04X", language);
  return text;
}

TEST(TextsTest, EveryLanguageHasEveryTextWithTheEnglishPlaceholders) {
  static const LANGID kLanguages[] = {
      0x0409,  // English (United States)
      0x0407,  // German
      0x040C,  // French
      0x0C0A,  // Spanish
      0x0410,  // Italian
      0x0416,  // Portuguese (Brazil)
      0x0413,  // Dutch
      0x0415,  // Polish
      0x0419,  // Russian
      0x0411,  // Japanese
      0x0804,  // Chinese (Simplified)
  };
  LANGID available[64];
  const size_t count = AvailableTextLanguages(available, 64);
  std::vector<LANGID> have(available, available + count);
  std::vector<LANGID> want(std::begin(kLanguages), std::end(kLanguages));
  std::sort(have.begin(), have.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(have, want);

  ASSERT_TRUE(LoadTexts(kEnglishLanguage));
  std::vector<std::vector<std::wstring>> english;
  for (unsigned id = 0; id < kTextCount; ++id) english.push_back(Placeholders(Text(static_cast<TextId>(id))));

  for (LANGID language : kLanguages) {
    ASSERT_TRUE(LoadTexts(language)) << Hex(language);
    EXPECT_EQ(LoadedTextLanguage(), language);
    for (unsigned id = 0; id < kTextCount; ++id) {
      const wchar_t* text = Text(static_cast<TextId>(id));
      EXPECT_NE(text[0], 0) << Hex(language) << " text " << id;
      EXPECT_EQ(Placeholders(text), english[id]) << Hex(language) << " text " << id;
    }
    // The longest download status fits the status line in every language.
    DownloadStatus status;
    FormatDownloadStatus(UINT64_MAX, UINT64_MAX, L"\x066B", status);
    EXPECT_GT(status.length(), 30u) << Hex(language);
  }
  EXPECT_FALSE(LoadTexts(MAKELANGID(LANG_SWAHILI, SUBLANG_SWAHILI_KENYA)));
  EXPECT_EQ(Text(TextId::kWindowCaption)[0], 0);  // nothing loaded: empty, never null
  ASSERT_TRUE(LoadTexts(kEnglishLanguage));
  EXPECT_STREQ(Text(TextId::kWindowCaption), L"Installing");
}

TEST(TextsTest, TheUserGetsTheirLanguageElseItsOtherRegionElseEnglish) {
  static const LANGID kAvailable[] = {0x0409, 0x0407, 0x0416, 0x0804, 0x0C0A};
  static const struct {
    const char* name;
    LANGID user;
    LANGID chosen;
  } kCases[] = {
      {"German (Germany)", 0x0407, 0x0407},
      {"German (Switzerland)", 0x0807, 0x0407},
      {"Portuguese (Portugal)", 0x0816, 0x0416},
      {"Spanish (Mexico)", 0x080A, 0x0C0A},
      {"English (United Kingdom)", 0x0809, 0x0409},
      {"Chinese (Singapore), Simplified", 0x1004, 0x0804},
      {"Chinese (Taiwan), Traditional", 0x0404, 0x0409},
      {"Chinese (Hong Kong), Traditional", 0x0C04, 0x0409},
      {"Swahili (Kenya)", 0x0441, 0x0409},
      {"Japanese, no table here", 0x0411, 0x0409},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(ChooseTextLanguage(c.user, kAvailable, std::size(kAvailable)), c.chosen) << c.name;
  }
}

TEST(TextsTest, PlaceholdersAreFilledInTheTextsOrder) {
  static const struct {
    const wchar_t* pattern;
    const wchar_t* filled;
  } kCases[] = {
      {L"received %1 of %2 bytes", L"received 10 of 20 bytes"},
      {L"%2 バイト中 %1 バイト", L"20 バイト中 10 バイト"},
      {L"%1%2%1", L"102010"},
      {L"100% sure, %3 missing, %0 and %", L"100% sure,  missing, %0 and %"},
      {L"", L""},
  };
  for (const auto& c : kCases) {
    WideString out;
    ASSERT_TRUE(AppendFormatted(out, c.pattern, {L"10", L"20"}));
    EXPECT_STREQ(out.c_str(), c.filled);
  }
  FixedString<8> small;  // what does not fit empties the string
  EXPECT_FALSE(AppendFormatted(small, L"%1 of %2", {L"1000", L"2000"}));
  EXPECT_STREQ(small.c_str(), L"");
}

TEST(TextsTest, MegabytesTakeTheUsersDecimalSeparator) {
  DownloadStatus status;
  FormatDownloadStatus(1500000, 1500000, L",", status);
  EXPECT_STREQ(status.c_str(), L"Downloading (1,5 of 1,5 Mb)...");
  FormatDownloadStatus(250000, 2500000, L"\x066B", status);  // the Arabic decimal separator
  EXPECT_STREQ(status.c_str(), L"Downloading (0 of 2\x066B" L"5 Mb)...");
  ASSERT_TRUE(LoadTexts(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)));
  FormatDownloadStatus(1234567, 25000000, L",", status);
  EXPECT_STREQ(status.c_str(), L"Download läuft (1 von 25,0 MB)...");
  ASSERT_TRUE(LoadTexts(kEnglishLanguage));
}

}  // namespace
