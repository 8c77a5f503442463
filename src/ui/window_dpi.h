// The display scale (DPI) of the progress window, from the newest call this Windows has.
//
// GetDpiForWindow and GetDpiForSystem came with Windows 10 1607, GetDpiForMonitor (shcore.dll) with
// Windows 8.1; all three are looked up at run time. Without GetDpiForWindow a window on a monitor of
// another scale than the system's must still get that monitor's DPI, so the monitor's is asked before
// the system's.
#pragma once

#include <windows.h>

// The calls the DPI is taken from, each answering 0 where this Windows lacks it or it fails. Tests
// put fakes in their place (SetDpiCalls); the stub uses the system's.
struct DpiCalls {
  UINT (*forWindow)(HWND window);   // GetDpiForWindow
  UINT (*forMonitor)(HWND window);  // GetDpiForMonitor (effective DPI) of the window's nearest monitor
  UINT (*forSystem)();              // GetDpiForSystem, else the screen's LOGPIXELSX
};

// The system's calls. The monitor's loads shcore.dll from the system directory on its first use
// (never from the program's folder), and only where GetDpiForWindow is missing.
DpiCalls SystemDpiCalls();

// Makes every later DpiOfWindow and SystemDpi use `calls`; null puts the system's back. UI thread.
void SetDpiCalls(const DpiCalls* calls);

// The DPI of `window`: the window's, else its monitor's, else the system's, else 96.
UINT DpiOfWindow(HWND window);

// The system DPI (the scale of the primary monitor when the user signed in), else 96.
UINT SystemDpi();

// The system's message font (the font of message boxes, lfMessageFont of SPI_GETNONCLIENTMETRICS)
// for `dpi`: from SystemParametersInfoForDpi (Windows 10 1607 and later), else from
// SystemParametersInfo, which gives it for the system DPI, scaled (MulDiv(height, dpi, SystemDpi)).
// False, `font` untouched, when neither answers. Its face is the one the user's language needs
// (Windows links the faces that hold the other scripts' glyphs to it).
bool MessageFontForDpi(UINT dpi, LOGFONTW& font);
