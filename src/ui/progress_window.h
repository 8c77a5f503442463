// The one window of the stub: caption "Installing" (in the user's language), a progress bar and a
// status line below it.
#pragma once

#include <windows.h>

#include "common/progress_report.h"
#include "common/stub_state.h"

// Progress bar scale.
constexpr int kProgressRangeMax = 130;

// Registers the class, creates the window (centred on the desktop) and its bar, sets the bar's range
// and paints the window once. The handles go into `state`; a window or bar that could not be created
// stays null and later updates skip it.
void CreateProgressWindow(StubState& state, HINSTANCE instance);

LRESULT CALLBACK ProgressWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Replaces the status text with `text` (cut to 199 units if longer) and posts the window a note of
// it: the status line shows it when the UI thread next dispatches messages. Safe on any thread;
// never waits for the UI thread.
void SetStatusText(StubState& state, const wchar_t* text);

// Replaces the status line without invalidating (used before the window exists).
void CopyStatusText(StubState& state, const wchar_t* text);

// Copies the current status line into `out` (200 units) and returns its length in units.
size_t ReadStatusText(StubState& state, wchar_t* out);

// Moves the bar to `position` at once (PBM_SETPOS sent to the bar). For the UI thread.
void SetProgressPosition(const StubState& state, int position);

// Moves the bar to `position` when the UI thread next dispatches messages (PBM_SETPOS posted). Safe
// on any thread; never waits for the UI thread.
void PostProgressPosition(const StubState& state, int position);

// Top-left corner of the progress window, of its size at `dpi` (340x120 at 96 DPI, scaled), centred
// in a desktop client rectangle.
POINT CentredWindowOrigin(const RECT& desktop, UINT dpi);

// A report that shows a stage's status in the window's status line (SetStatusText) and moves its
// bar (PostProgressPosition): safe on any thread, never waiting for the UI thread.
ProgressReport ReportToWindow(StubState& state);

// The window's background and text colours: the user's window and text colours while high contrast
// is on (the window asks SPI_GETHIGHCONTRAST at each paint), white and black otherwise.
struct WindowColours {
  COLORREF background;
  COLORREF text;
};
WindowColours ChooseWindowColours(bool highContrast);
