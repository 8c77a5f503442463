#include "ui/progress_window.h"

#include <commctrl.h>

namespace {

constexpr wchar_t kClassName[] = L"progresswindow";
constexpr wchar_t kCaption[] = L"Installing";
constexpr int kWindowWidth = 340;
constexpr int kWindowHeight = 120;
constexpr RECT kBarRect = {20, 20, 280, 37};
constexpr int kTextX = 20;
constexpr int kTextY = 44;

StubState* StateOf(HWND window) {
  return reinterpret_cast<StubState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void Paint(HWND window, StubState& state) {
  RECT area;
  GetWindowRect(window, &area);
  OffsetRect(&area, -area.left, -area.top);

  HFONT font = CreateFontW(14, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, 0,
                           VARIABLE_PITCH, L"Segoe UI");
  HBRUSH white = CreateSolidBrush(RGB(255, 255, 255));

  // Take the text first: a notification thread may replace it while we draw.
  wchar_t text[StatusText::kCapacityUnits];
  const size_t length = ReadStatusText(state, text);

  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  ExcludeClipRect(dc, kBarRect.left, kBarRect.top, kBarRect.right, kBarRect.bottom);
  HGDIOBJ previousFont = SelectObject(dc, font);
  FillRect(dc, &area, white);
  TextOutW(dc, kTextX, kTextY, text, static_cast<int>(length));
  SelectObject(dc, previousFont);
  EndPaint(window, &paint);
  DeleteObject(font);
  DeleteObject(white);
}

}  // namespace

POINT CentredWindowOrigin(const RECT& desktop) {
  return POINT{(desktop.right - desktop.left) / 2 - kWindowWidth / 2,
               (desktop.bottom - desktop.top) / 2 - kWindowHeight / 2};
}

void CreateProgressWindow(StubState& state, HINSTANCE instance) {
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS | CS_OWNDC;
  windowClass.lpfnWndProc = ProgressWndProc;
  windowClass.hInstance = instance;
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_SCROLLBAR + 1);
  windowClass.lpszClassName = kClassName;
  RegisterClassExW(&windowClass);

  RECT desktop;
  GetClientRect(GetDesktopWindow(), &desktop);
  const POINT origin = CentredWindowOrigin(desktop);

  state.mainWindow = CreateWindowExW(WS_EX_WINDOWEDGE | WS_EX_CLIENTEDGE, kClassName, kCaption,
                                     WS_VISIBLE, origin.x, origin.y, kWindowWidth, kWindowHeight,
                                     nullptr, nullptr, instance, &state);
  if (!state.mainWindow) return;
  state.progressBar = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, kBarRect.left,
                                      kBarRect.top, kBarRect.right - kBarRect.left,
                                      kBarRect.bottom - kBarRect.top, state.mainWindow, nullptr,
                                      instance, nullptr);
  if (state.progressBar) SendMessageW(state.progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, kProgressRangeMax));
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
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      if (StubState* state = StateOf(window)) {
        // The run goes on without a window: updates must not reach a destroyed handle.
        state->progressBar = nullptr;
        state->mainWindow = nullptr;
      }
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void CopyStatusText(StubState& state, const wchar_t* text) {
  AcquireSRWLockExclusive(&state.statusText.lock);
  CopyCut(state.statusText.units, StatusText::kCapacityUnits, text);
  ReleaseSRWLockExclusive(&state.statusText.lock);
}

void SetStatusText(StubState& state, const wchar_t* text) {
  CopyStatusText(state, text);
  // A null window here would invalidate every window on the desktop.
  if (HWND window = state.mainWindow) InvalidateRect(window, nullptr, FALSE);
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
