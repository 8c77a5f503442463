#include "ui/progress_window.h"

#include <gtest/gtest.h>

#include <string>

namespace {

StubState g_sharedState;
volatile LONG g_stopWriters = 0;
volatile LONG g_writes = 0;

DWORD WINAPI WriteUntilStopped(void* text) {
  while (!g_stopWriters) {
    SetStatusText(g_sharedState, static_cast<const std::wstring*>(text)->c_str());
    InterlockedIncrement(&g_writes);
  }
  return 0;
}

}  // namespace

TEST(ProgressWindowTest, CentredByIntegerHalvesOfTheDesktopAtEveryScale) {
  static const struct {
    RECT desktop;
    UINT dpi;
    LONG x;
    LONG y;
  } kCases[] = {
      {{0, 0, 1920, 1080}, 96, 790, 480},
      {{0, 0, 1024, 768}, 96, 342, 324},
      {{0, 0, 1365, 767}, 96, 512, 323},  // odd sizes: halves truncated
      {{0, 0, 300, 100}, 96, -20, -10},   // smaller than the window
      {{0, 0, 1920, 1080}, 120, 748, 465},  // 125%: 425x150
      {{0, 0, 1920, 1080}, 144, 705, 450},  // 150%: 510x180
      {{0, 0, 1920, 1080}, 192, 620, 420},  // 200%: 680x240
      {{0, 0, 3840, 2160}, 168, 1623, 975}, // 175%: 595x210
  };
  for (const auto& c : kCases) {
    const POINT origin = CentredWindowOrigin(c.desktop, c.dpi);
    EXPECT_EQ(origin.x, c.x) << c.desktop.right << "x" << c.desktop.bottom << " at " << c.dpi;
    EXPECT_EQ(origin.y, c.y) << c.desktop.right << "x" << c.desktop.bottom << " at " << c.dpi;
  }
}

// Wine cannot switch high contrast on (SPI_SETHIGHCONTRAST fails, SPI_GETHIGHCONTRAST reports it
// off), but it lets a program change the system colours: the choice is held to those.
TEST(ProgressWindowTest, HighContrastTakesTheUsersColours) {
  const INT elements[] = {COLOR_WINDOW, COLOR_WINDOWTEXT};
  const COLORREF saved[] = {GetSysColor(COLOR_WINDOW), GetSysColor(COLOR_WINDOWTEXT)};
  const COLORREF contrast[] = {RGB(0, 0, 0), RGB(255, 255, 0)};  // a common high-contrast scheme
  ASSERT_TRUE(SetSysColors(2, elements, contrast));
  const WindowColours high = ChooseWindowColours(true);
  const WindowColours normal = ChooseWindowColours(false);
  SetSysColors(2, elements, saved);
  EXPECT_EQ(high.background, RGB(0, 0, 0));
  EXPECT_EQ(high.text, RGB(255, 255, 0));
  EXPECT_EQ(normal.background, RGB(255, 255, 255));  // as always, whatever the system colours
  EXPECT_EQ(normal.text, RGB(0, 0, 0));
}

TEST(ProgressWindowTest, LongStatusTextIsCutToTheLine) {
  static StubState state;
  const std::wstring longText(500, L'x');
  SetStatusText(state, longText.c_str());  // no window: nothing is invalidated
  wchar_t out[StatusText::kCapacityUnits];
  EXPECT_EQ(ReadStatusText(state, out), StatusText::kCapacityUnits - 1);
  EXPECT_EQ(std::wstring(out), std::wstring(StatusText::kCapacityUnits - 1, L'x'));
}

// Writers on other threads replace the text while this thread reads it, as the download's
// notifications do while the window paints: every read must be one whole text that was written.
TEST(ProgressWindowTest, ReaderNeverSeesAMixOfTwoTexts) {
  const std::wstring kLong(199, L'a');
  const std::wstring kShort(199, L'b');  // same length: any interleaving shows as a mix
  StubState& state = g_sharedState;
  SetStatusText(state, kShort.c_str());
  HANDLE writers[] = {
      CreateThread(nullptr, 0, WriteUntilStopped, const_cast<std::wstring*>(&kLong), 0, nullptr),
      CreateThread(nullptr, 0, WriteUntilStopped, const_cast<std::wstring*>(&kShort), 0, nullptr)};
  while (g_writes < 1000) Sleep(1);  // both writers under way
  int torn = 0;
  int reads = 0;
  for (const DWORD start = GetTickCount(); GetTickCount() - start < 300; ++reads) {
    wchar_t out[StatusText::kCapacityUnits];
    const size_t length = ReadStatusText(state, out);
    const std::wstring text(out, length);
    if (text != kLong && text != kShort) ++torn;
  }
  InterlockedExchange(&g_stopWriters, 1);
  WaitForMultipleObjects(2, writers, TRUE, INFINITE);
  CloseHandle(writers[0]);
  CloseHandle(writers[1]);
  EXPECT_EQ(torn, 0) << "of " << reads << " reads during " << g_writes << " writes";
}
