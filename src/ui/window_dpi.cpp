#include "ui/window_dpi.h"

#include "common/system_library.h"

namespace {

constexpr UINT kBaseDpi = 96;

using DpiForWindowFunction = UINT(WINAPI*)(HWND);
using DpiForSystemFunction = UINT(WINAPI*)();
using ParametersForDpiFunction = BOOL(WINAPI*)(UINT, UINT, void*, UINT, UINT);
// HRESULT GetDpiForMonitor(HMONITOR, MONITOR_DPI_TYPE, UINT* dpiX, UINT* dpiY), shellscalingapi.h.
using DpiForMonitorFunction = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
constexpr int kEffectiveDpi = 0;  // MDT_EFFECTIVE_DPI

template <typename Function>
Function Lookup(HMODULE module, const char* name) {
  return module ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

template <typename Function>
Function User32Function(const char* name) {
  return Lookup<Function>(GetModuleHandleW(L"user32.dll"), name);
}

UINT RealDpiForWindow(HWND window) {
  const auto forWindow = User32Function<DpiForWindowFunction>("GetDpiForWindow");
  return forWindow ? forWindow(window) : 0;
}

// shcore.dll stays loaded once looked up; only the UI thread asks.
bool g_shcoreLookedUp = false;
DpiForMonitorFunction g_dpiForMonitor = nullptr;

UINT RealDpiForMonitor(HWND window) {
  if (!g_shcoreLookedUp) {
    g_shcoreLookedUp = true;
    g_dpiForMonitor = Lookup<DpiForMonitorFunction>(LoadSystemLibrary(L"shcore.dll"), "GetDpiForMonitor");
  }
  HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST);
  UINT x = 0;
  UINT y = 0;
  if (!g_dpiForMonitor || !monitor || FAILED(g_dpiForMonitor(monitor, kEffectiveDpi, &x, &y))) return 0;
  return x;
}

UINT RealDpiForSystem() {
  if (const auto forSystem = User32Function<DpiForSystemFunction>("GetDpiForSystem")) {
    if (const UINT dpi = forSystem()) return dpi;
  }
  HDC screen = GetDC(nullptr);
  const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 0;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : 0;
}

constexpr DpiCalls kSystemCalls = {RealDpiForWindow, RealDpiForMonitor, RealDpiForSystem};
DpiCalls g_calls = kSystemCalls;

}  // namespace

DpiCalls SystemDpiCalls() { return kSystemCalls; }

void SetDpiCalls(const DpiCalls* calls) { g_calls = calls ? *calls : kSystemCalls; }

UINT SystemDpi() {
  const UINT dpi = g_calls.forSystem();
  return dpi ? dpi : kBaseDpi;
}

bool MessageFontForDpi(UINT dpi, LOGFONTW& font) {
  NONCLIENTMETRICSW metrics = {};
  metrics.cbSize = sizeof(metrics);
  if (const auto forDpi = User32Function<ParametersForDpiFunction>("SystemParametersInfoForDpi")) {
    if (forDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi)) {
      font = metrics.lfMessageFont;
      return true;
    }
  }
  if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) return false;
  font = metrics.lfMessageFont;
  font.lfHeight = MulDiv(font.lfHeight, static_cast<int>(dpi), static_cast<int>(SystemDpi()));
  return true;
}

UINT DpiOfWindow(HWND window) {
  if (const UINT dpi = g_calls.forWindow(window)) return dpi;
  if (const UINT dpi = g_calls.forMonitor(window)) return dpi;
  return SystemDpi();
}
