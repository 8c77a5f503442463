#include "ui/progress_window.h"

#include <commctrl.h>

#include "common/texts.h"
#include "common/run_folder.h"
#include "ui/window_dpi.h"

namespace {

constexpr wchar_t kClassName[] = L"progresswindow";
// Sizes at 96 DPI (100%), scaled to the window's DPI: MulDiv(size, dpi, 96).
constexpr int kBaseDpi = 96;
constexpr int kWindowWidth = 340;
constexpr int kWindowHeight = 120;
constexpr RECT kBarRect = {20, 20, 280, 37};
constexpr int kTextX = 20;
constexpr int kTextY = 44;
// The status line's font height where the system's message font cannot be read (pixels at 96 DPI).
constexpr int kFallbackFontHeight = 12;

// Posted to the main window when the status text changed: the UI thread puts it into the status
// line (a notification thread must not wait for the UI thread, as a sent WM_SETTEXT would).
constexpr UINT kStatusChanged = WM_APP + 1;

StubState* StateOf(HWND window) {
  return reinterpret_cast<StubState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

int Scale(int size, UINT dpi) { return MulDiv(size, static_cast<int>(dpi), kBaseDpi); }

RECT ScaledRect(const RECT& rect, UINT dpi) {
  return RECT{Scale(rect.left, dpi), Scale(rect.top, dpi), Scale(rect.right, dpi), Scale(rect.bottom, dpi)};
}

bool HighContrast() {
  HIGHCONTRASTW contrast = {};
  contrast.cbSize = sizeof(contrast);
  return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(contrast), &contrast, 0) &&
         (contrast.dwFlags & HCF_HIGHCONTRASTON);
}

HBRUSH BackgroundBrush(bool highContrast) {
  return highContrast ? GetSysColorBrush(COLOR_WINDOW) : static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
}

// Lays out the bar and the status line for `dpi`, with the system's message font for that DPI (a
// face that Windows links to the other scripts' fonts, so that Japanese or Chinese texts get real
// glyphs). The status line runs from its origin to the right edge of the client area, where a long
// text is clipped.
void LayOut(HWND window, StubState& state, UINT dpi) {
  const RECT bar = ScaledRect(kBarRect, dpi);
  if (state.progressBar) MoveWindow(state.progressBar, bar.left, bar.top, bar.right - bar.left, bar.bottom - bar.top, TRUE);
  LOGFONTW face = {};
  if (!MessageFontForDpi(dpi, face)) {
    face.lfHeight = -Scale(kFallbackFontHeight, dpi);
    face.lfCharSet = DEFAULT_CHARSET;
  }
  HFONT font = CreateFontIndirectW(&face);
  RECT client;
  GetClientRect(window, &client);
  const int x = Scale(kTextX, dpi);
  const int y = Scale(kTextY, dpi);
  if (state.statusLine) {
    MoveWindow(state.statusLine, x, y, client.right > x ? client.right - x : 0, client.bottom > y ? client.bottom - y : 0,
               TRUE);
    SendMessageW(state.statusLine, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  }
  if (state.statusFont) DeleteObject(state.statusFont);
  state.statusFont = font;
}

void Paint(HWND window, StubState& state) {
  RECT area;
  GetClientRect(window, &area);
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  // The bar and the status line paint themselves.
  const HWND children[] = {state.progressBar, state.statusLine};
  for (HWND child : children) {
    RECT rect;
    if (child && GetWindowRect(child, &rect)) {
      MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
      ExcludeClipRect(dc, rect.left, rect.top, rect.right, rect.bottom);
    }
  }
  FillRect(dc, &area, BackgroundBrush(HighContrast()));
  EndPaint(window, &paint);
}

// Closing the window: asks whether to cancel, once at a time, while the run may be cancelled; a Yes
// cancels it. The run (a transfer) goes on while the question is open.
void AskToCancel(HWND window, StubState& state) {
  if (!state.cancellable || state.cancelled || state.askingToCancel) return;
  state.askingToCancel = true;
  const int answer =
      MessageBoxW(window, Text(TextId::kCancelQuestion), Text(TextId::kWindowCaption), MB_YESNO | MB_ICONQUESTION);
  state.askingToCancel = false;
  // The run may have moved on while the question was open, but never past a stage: what the answer
  // finds is what holds now.
  if (answer == IDYES && state.cancellable && !state.cancelled) CancelRun(state);
}

// Puts the current status text into the status line (on the UI thread).
void ShowStatusText(StubState& state) {
  wchar_t text[StatusText::kCapacityUnits];
  ReadStatusText(state, text);
  if (state.statusLine) SetWindowTextW(state.statusLine, text);
}

}  // namespace

WindowColours ChooseWindowColours(bool highContrast) {
  if (highContrast) return WindowColours{GetSysColor(COLOR_WINDOW), GetSysColor(COLOR_WINDOWTEXT)};
  return WindowColours{RGB(255, 255, 255), RGB(0, 0, 0)};
}

POINT CentredWindowOrigin(const RECT& desktop, UINT dpi) {
  return POINT{(desktop.right - desktop.left) / 2 - Scale(kWindowWidth, dpi) / 2,
               (desktop.bottom - desktop.top) / 2 - Scale(kWindowHeight, dpi) / 2};
}

void CreateProgressWindow(StubState& state, HINSTANCE instance) {
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  // No CS_OWNDC: the paint excludes the children's rectangles from the clipping region, and a
  // private DC would keep every exclusion for all later paints (after a change of scale, the strips
  // where the children stood before would never be painted again).
  windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
  windowClass.lpfnWndProc = ProgressWndProc;
  windowClass.hInstance = instance;
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_SCROLLBAR + 1);
  windowClass.lpszClassName = kClassName;
  RegisterClassExW(&windowClass);

  RECT desktop;
  GetClientRect(GetDesktopWindow(), &desktop);
  UINT dpi = SystemDpi();
  const POINT origin = CentredWindowOrigin(desktop, dpi);

  state.mainWindow = CreateWindowExW(WS_EX_WINDOWEDGE | WS_EX_CLIENTEDGE, kClassName, Text(TextId::kWindowCaption),
                                     WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, origin.x,
                                     origin.y, Scale(kWindowWidth, dpi), Scale(kWindowHeight, dpi), nullptr, nullptr,
                                     instance, &state);
  if (!state.mainWindow) return;
  // On a monitor of another scale than the system's, the window takes that monitor's size.
  const UINT windowDpi = DpiOfWindow(state.mainWindow);
  if (windowDpi != dpi) {
    dpi = windowDpi;
    const POINT moved = CentredWindowOrigin(desktop, dpi);
    SetWindowPos(state.mainWindow, nullptr, moved.x, moved.y, Scale(kWindowWidth, dpi), Scale(kWindowHeight, dpi),
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  state.progressBar = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, state.mainWindow,
                                      nullptr, instance, nullptr);
  if (state.progressBar) SendMessageW(state.progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, kProgressRangeMax));
  // The status line is a static control, so that screen readers find its text (and hear of changes).
  wchar_t text[StatusText::kCapacityUnits];
  ReadStatusText(state, text);
  state.statusLine = CreateWindowExW(0, L"STATIC", text, WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, 0,
                                     0, 0, state.mainWindow, nullptr, instance, nullptr);
  LayOut(state.mainWindow, state, dpi);
  SetCancellable(state, state.cancellable);
  UpdateWindow(state.mainWindow);
}

LRESULT CALLBACK ProgressWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_NCCREATE: {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
      break;
    }
    case WM_PAINT:
      if (StubState* state = StateOf(window)) {
        Paint(window, *state);
        return 0;
      }
      break;
    case WM_ERASEBKGND:
      return 0;  // the paint covers the whole area
    case WM_CTLCOLORSTATIC: {
      const bool highContrast = HighContrast();
      const WindowColours colours = ChooseWindowColours(highContrast);
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, colours.text);
      SetBkColor(dc, colours.background);
      SetBkMode(dc, OPAQUE);
      return reinterpret_cast<LRESULT>(BackgroundBrush(highContrast));
    }
    case kStatusChanged:
      if (StubState* state = StateOf(window)) ShowStatusText(*state);
      return 0;
    case WM_DPICHANGED:
      // Moved to a monitor of another scale: the suggested rectangle, then the bar and the font.
      if (StubState* state = StateOf(window)) {
        const auto* suggested = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        LayOut(window, *state, HIWORD(wParam));
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
      }
      return 0;
    case WM_SYSCOLORCHANGE:
    case WM_SETTINGCHANGE:
      // High contrast switched on or off: paint again in the colours that now hold.
      RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
      break;
    case WM_CLOSE:
      // The close box, Alt+F4 and the taskbar's Close (SC_CLOSE) all come here. The window is
      // never destroyed while the run goes on: closing cancels the run, or is refused.
      if (StubState* state = StateOf(window)) AskToCancel(window, *state);
      return 0;
    case WM_KEYDOWN:
      if (wParam == VK_ESCAPE) {
        if (StubState* state = StateOf(window)) AskToCancel(window, *state);
        return 0;
      }
      break;
    case WM_ENDSESSION:
      if (wParam) {
        if (StubState* state = StateOf(window)) EndRunForSession(*state);
      }
      return 0;
    case WM_DESTROY:
      if (StubState* state = StateOf(window)) {
        // The run goes on without a window: updates must not reach a destroyed handle.
        state->progressBar = nullptr;
        state->statusLine = nullptr;
        state->mainWindow = nullptr;
      }
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void SetCancellable(StubState& state, bool cancellable) {
  state.cancellable = cancellable && state.cancelEvent;
  if (!state.mainWindow) return;
  if (HMENU menu = GetSystemMenu(state.mainWindow, FALSE)) {
    EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | (state.cancellable ? MF_ENABLED : MF_GRAYED));
  }
}

void CancelRun(StubState& state) {
  state.cancelled = true;
  if (state.cancelEvent) SetEvent(state.cancelEvent);
  if (state.mainWindow) ShowWindow(state.mainWindow, SW_HIDE);
}

void EndRunForSession(StubState& state) {
  // Also after the user's Yes: the run may still be on its way out when the session ends.
  if (!state.cancellable) return;
  if (!state.cancelled) CancelRun(state);
  // A question still open is answered No for the user: the run is cancelled already.
  if (state.askingToCancel && state.mainWindow) {
    // The question is the window's last active popup: answered No, its modal loop ends.
    const HWND question = GetLastActivePopup(state.mainWindow);
    if (question != state.mainWindow) PostMessageW(question, WM_COMMAND, IDNO, 0);
  }
  const ReleaseSlot held = state.release;
  state.release = ReleaseSlot{};
  if (held.release) held.release(held.owner);
  RemoveRunFolder(state.runFolder);
}

void CopyStatusText(StubState& state, const wchar_t* text) {
  AcquireSRWLockExclusive(&state.statusText.lock);
  CopyCut(state.statusText.units, StatusText::kCapacityUnits, text);
  ReleaseSRWLockExclusive(&state.statusText.lock);
}

void SetStatusText(StubState& state, const wchar_t* text) {
  CopyStatusText(state, text);
  if (HWND window = state.mainWindow) PostMessageW(window, kStatusChanged, 0, 0);
}

size_t ReadStatusText(StubState& state, wchar_t* out) {
  AcquireSRWLockShared(&state.statusText.lock);
  const size_t length = CopyCut(out, StatusText::kCapacityUnits, state.statusText.units);
  ReleaseSRWLockShared(&state.statusText.lock);
  return length;
}

void SetProgressPosition(const StubState& state, int position) {
  if (HWND bar = state.progressBar) SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void PostProgressPosition(const StubState& state, int position) {
  if (HWND bar = state.progressBar) PostMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

namespace {

void ShowStatus(void* state, const wchar_t* text) { SetStatusText(*static_cast<StubState*>(state), text); }

void ShowPosition(void* state, int position) { PostProgressPosition(*static_cast<StubState*>(state), position); }

void AllowCancel(void* state, bool cancellable) { SetCancellable(*static_cast<StubState*>(state), cancellable); }

}  // namespace

ProgressReport ReportToWindow(StubState& state) {
  return ProgressReport{&state, ShowStatus, ShowPosition, AllowCancel, state.cancelEvent, &state.release};
}
