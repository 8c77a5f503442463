#include "ui/progress_window.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "common/system_library.h"
#include "ui/window_dpi.h"

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

// Dispatches this thread's messages (paints included) until none has come for a while.
void DispatchPending() {
  for (int quiet = 0; quiet < 3;) {
    MSG message;
    if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      quiet = 0;
      DispatchMessageW(&message);  // the WM_QUIT of a destroyed window is dropped here
    } else {
      ++quiet;
      Sleep(30);
    }
  }
}

RECT ClientRectOf(HWND child, HWND parent) {
  RECT rect = {};
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

bool Inside(const RECT& rect, LONG x, LONG y) { return x >= rect.left && x < rect.right && y >= rect.top && y < rect.bottom; }

void DestroyProgressWindow(StubState& state) {
  if (state.mainWindow) DestroyWindow(state.mainWindow);
  DispatchPending();
  if (state.statusFont) DeleteObject(state.statusFont);
  state.statusFont = nullptr;
}

// Answers of the fake DPI calls, per case.
struct FakeDpi {
  UINT forWindow;
  UINT forMonitor;
  UINT forSystem;
};
FakeDpi g_fakeDpi;
int g_monitorAsked = 0;

UINT FakeForWindow(HWND) { return g_fakeDpi.forWindow; }
UINT FakeForMonitor(HWND) {
  ++g_monitorAsked;
  return g_fakeDpi.forMonitor;
}
UINT FakeForSystem() { return g_fakeDpi.forSystem; }

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

// Moved to a monitor of another scale, the window is resized and its children move and grow: the
// strips where they stood before must be painted with the background. With a private DC (CS_OWNDC)
// the children's old rectangles stayed excluded from every later paint, and the old bar stayed on
// screen there.
TEST(ProgressWindowTest, PaintsWhereTheChildrenStoodBeforeAScaleChange) {
  static StubState state;
  CreateProgressWindow(state, GetModuleHandleW(nullptr));
  ASSERT_NE(state.mainWindow, nullptr);
  ASSERT_NE(state.progressBar, nullptr);
  SetStatusText(state, L"Downloading (5 of 25.0 Mb)...");
  SendMessageW(state.progressBar, PBM_SETPOS, 120, 0);  // a filled bar: never the background colour
  DispatchPending();
  const RECT oldBar = ClientRectOf(state.progressBar, state.mainWindow);

  // As Windows sends it: the new DPI twice in wParam, the suggested window rectangle in lParam.
  const UINT oldDpi = DpiOfWindow(state.mainWindow);
  const UINT newDpi = oldDpi * 3 / 2;
  RECT window;
  GetWindowRect(state.mainWindow, &window);
  RECT suggested = {window.left, window.top, window.left + MulDiv(window.right - window.left, 3, 2),
                    window.top + MulDiv(window.bottom - window.top, 3, 2)};
  SendMessageW(state.mainWindow, WM_DPICHANGED, MAKEWPARAM(newDpi, newDpi), reinterpret_cast<LPARAM>(&suggested));
  DispatchPending();
  const RECT newBar = ClientRectOf(state.progressBar, state.mainWindow);
  const RECT newLine = ClientRectOf(state.statusLine, state.mainWindow);
  ASSERT_GT(newBar.left, oldBar.left);
  ASSERT_GT(newBar.top, oldBar.top);

  // A cache DC of the client area: no clipping of the window's own, whatever its class style.
  HDC dc = GetDCEx(state.mainWindow, nullptr, DCX_CACHE);
  ASSERT_NE(dc, nullptr);
  const COLORREF corner = GetPixel(dc, 2, 2);  // painted in any case: shows that the reading works
  int checked = 0;
  int unpainted = 0;
  COLORREF seen = 0;
  for (LONG y = oldBar.top; y < oldBar.bottom; ++y) {
    for (LONG x = oldBar.left; x < oldBar.right; ++x) {
      if (Inside(newBar, x, y) || Inside(newLine, x, y)) continue;
      ++checked;
      const COLORREF pixel = GetPixel(dc, x, y);
      if (pixel != RGB(255, 255, 255)) {
        if (!unpainted++) seen = pixel;
      }
    }
  }
  ReleaseDC(state.mainWindow, dc);
  DestroyProgressWindow(state);
  EXPECT_EQ(corner, RGB(255, 255, 255));
  EXPECT_GT(checked, 100);
  EXPECT_EQ(unpainted, 0) << "of " << checked << " pixels of the old bar's strips not repainted, e.g. colour 0x"
                          << std::hex << seen;
}

// Without GetDpiForWindow (Windows 8.1, Windows 10 before 1607), a window on a monitor of another
// scale than the system's takes the monitor's DPI; the system's comes last.
TEST(WindowDpiTest, NewWindowTakesTheFirstScaleThatAnswers) {
  static const struct {
    const char* name;
    FakeDpi dpi;
    LONG width;  // of the window, 340 at 96 DPI
    bool monitorAsked;
  } kCases[] = {
      {"window's DPI first", {192, 144, 96}, 680, false},
      {"monitor's without the window's", {0, 144, 96}, 510, true},
      {"system's without both", {0, 0, 120}, 425, true},
      {"96 when nothing answers", {0, 0, 0}, 340, true},
  };
  const DpiCalls fakes = {FakeForWindow, FakeForMonitor, FakeForSystem};
  SetDpiCalls(&fakes);
  for (const auto& c : kCases) {
    g_fakeDpi = c.dpi;
    g_monitorAsked = 0;
    static StubState state;
    state = StubState{};
    CreateProgressWindow(state, GetModuleHandleW(nullptr));
    RECT window = {};
    GetWindowRect(state.mainWindow, &window);
    const RECT bar = ClientRectOf(state.progressBar, state.mainWindow);
    DestroyProgressWindow(state);
    EXPECT_EQ(window.right - window.left, c.width) << c.name;
    EXPECT_EQ(bar.right - bar.left, MulDiv(260, c.width, 340)) << c.name;
    EXPECT_EQ(g_monitorAsked > 0, c.monitorAsked) << c.name;
  }
  SetDpiCalls(nullptr);
}

// The monitor's DPI through shcore answers what the window's does (Wine has both), from the shcore
// of the system directory.
TEST(WindowDpiTest, MonitorDpiComesFromTheSystemFoldersShcore) {
  static StubState state;
  CreateProgressWindow(state, GetModuleHandleW(nullptr));
  ASSERT_NE(state.mainWindow, nullptr);
  const DpiCalls system = SystemDpiCalls();
  const UINT forMonitor = system.forMonitor(state.mainWindow);
  const UINT forWindow = system.forWindow(state.mainWindow);
  DestroyProgressWindow(state);
  EXPECT_NE(forMonitor, 0u);
  EXPECT_EQ(forMonitor, forWindow);

  HMODULE shcore = GetModuleHandleW(L"shcore.dll");
  ASSERT_NE(shcore, nullptr);
  wchar_t loaded[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(shcore, loaded, MAX_PATH), 0u);
  PathString expected;
  ASSERT_TRUE(ComposeSystemFilePath(expected, L"shcore.dll"));
  EXPECT_EQ(lstrcmpiW(loaded, expected.c_str()), 0);
}
