// The one window of the stub: caption "Installing" (in the user's language), a progress bar and a
// status line below it. It has a close box and may be minimised; closing it (the close box, Alt+F4, Escape, the taskbar's
// Close) while the run may be cancelled asks whether to cancel the download (state.cancellable); at
// other times the close box is greyed and closing is refused.
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
// bar (PostProgressPosition), safe on any thread, never waiting for the UI thread; that turns the
// window's closing on and off (SetCancellable); and that carries the run's cancel event and release
// slot.
ProgressReport ReportToWindow(StubState& state);

// Whether closing the window may cancel the run from now on (`state.cancellable`); the close box is
// greyed while it may not. Never true without a cancel event. For the UI thread.
void SetCancellable(StubState& state, bool cancellable);

// Cancels the run: `state.cancelled` and its event set, the window hidden at once (the run still
// cleans up before the process ends). For the UI thread.
void CancelRun(StubState& state);

// The session ends (WM_ENDSESSION) during a run that may be cancelled: cancels it, lets go of what
// the current stage holds (its release slot: the request closed, the package file closed) and removes
// the run's folder with the partial package, all before returning, since the process may be ended
// as soon as the message returns. Nothing when the run may not be cancelled (the installer runs).
void EndRunForSession(StubState& state);

// The window's background and text colours: the user's window and text colours while high contrast
// is on (the window asks SPI_GETHIGHCONTRAST at each paint), white and black otherwise.
struct WindowColours {
  COLORREF background;
  COLORREF text;
};
WindowColours ChooseWindowColours(bool highContrast);
