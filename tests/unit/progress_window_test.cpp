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

TEST(ProgressWindowTest, CentredByIntegerHalvesOfTheDesktop) {
  static const struct {
    RECT desktop;
    LONG x;
    LONG y;
  } kCases[] = {
      {{0, 0, 1920, 1080}, 790, 480},
      {{0, 0, 1024, 768}, 342, 324},
      {{0, 0, 1365, 767}, 512, 323},  // odd sizes: halves truncated
      {{0, 0, 300, 100}, -20, -10},   // smaller than the window
  };
  for (const auto& c : kCases) {
    const POINT origin = CentredWindowOrigin(c.desktop);
    EXPECT_EQ(origin.x, c.x) << c.desktop.right << "x" << c.desktop.bottom;
    EXPECT_EQ(origin.y, c.y) << c.desktop.right << "x" << c.desktop.bottom;
  }
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
