// The one process-wide record of a run. Zero at start; lives until the process ends.
#pragma once

#include <windows.h>

#include "common/progress_report.h"
#include "common/strings.h"

static_assert(kPathCapacityUnits == MAX_PATH, "a PathString holds any path the system hands out");

// The status line under the progress bar. Written by the UI thread and by the HTTP library's
// notification threads, read by the paint code: every access goes through `lock`, so a paint always
// shows one whole text that some writer wrote. A zero-filled SRWLOCK is an unlocked one.
struct StatusText {
  static constexpr size_t kCapacityUnits = 200;  // terminator included
  SRWLOCK lock;
  wchar_t units[kCapacityUnits];
};

// The identifier: at most 99 bytes of 8-bit text followed by a NUL byte.
constexpr size_t kDownloadIdCapacityBytes = 100;

struct StubState {
  PathString runFolder;    // the run's private folder in the temp folder, with its final backslash
  PathString packagePath;  // in the run's folder
  StatusText statusText;
  HWND progressBar;
  HWND mainWindow;
  HWND statusLine;   // the status line, a static control: what assistive technology reads
  HFONT statusFont;  // its font, for the window's current DPI
  char downloadId[kDownloadIdCapacityBytes];

  // Closing the window and ending the session. UI thread only (the event is waited on anywhere).
  bool cancellable;     // closing asks whether to cancel: during the transfers and the wait for another
                        // installation, while the run can still stop cleanly; otherwise it is refused
  bool askingToCancel;  // the question is open
  bool cancelled;       // the run was cancelled (the user's Yes, or the session ended): nothing more
                        // starts, nothing is installed, the run ends without a further box
  HANDLE cancelEvent;   // manual reset, set with `cancelled`: ends the stages' waits at once
  ReleaseSlot release;  // what the current stage holds, let go of at once when the session ends
};

// Length in bytes of the identifier up to its first NUL byte.
inline size_t DownloadIdLength(const StubState& state) {
  return TextLength(state.downloadId);
}
