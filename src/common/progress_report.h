// How the download and install stages tell how far they are without knowing who listens, and learn
// that the run was cancelled: the driver binds a report to the progress window (ReportToWindow),
// the headless benchmark to nothing.
#pragma once

#include <windows.h>

// What a stage holds that must be let go of at once when the session ends: the window calls
// `release(owner)` from inside WM_ENDSESSION, on the UI thread, nested in one of the stage's own
// waits, because the process may be ended as soon as that message returns. It runs at most once;
// afterwards the run is cancelled, and the stage must not use what was released. The stage fills
// the slot while it holds something and empties it before it lets go itself.
struct ReleaseSlot {
  void* owner;
  void (*release)(void* owner);
};

struct ProgressReport {
  void* listener;
  // Replaces the status line with `text`. Called on the UI thread or on a notification thread of the
  // HTTP library; never waits for the UI thread. May be null: nobody listens.
  void (*status)(void* listener, const wchar_t* text);
  // Moves the progress bar to `position` (0 to 130), under the same terms. May be null.
  void (*position)(void* listener, int position);
  // Tells the listener whether the user may cancel from now on (false: the installer runs, which has
  // its own Cancel). Called on the UI thread. May be null.
  void (*cancellable)(void* listener, bool cancellable);
  // Set (manual reset) once the run is cancelled: the stage's waits watch it and end at once, and the
  // stage then ends without starting anything new. Null: nobody cancels.
  HANDLE cancel;
  // Where the stage puts what it must let go of when the session ends. May be null.
  ReleaseSlot* release;
};

inline void ReportStatus(const ProgressReport& report, const wchar_t* text) {
  if (report.status) report.status(report.listener, text);
}

inline void ReportPosition(const ProgressReport& report, int position) {
  if (report.position) report.position(report.listener, position);
}

inline void ReportCancellable(const ProgressReport& report, bool cancellable) {
  if (report.cancellable) report.cancellable(report.listener, cancellable);
}

// Whether the run was cancelled (the report's event is set).
inline bool Cancelled(const ProgressReport& report) {
  return report.cancel && WaitForSingleObject(report.cancel, 0) == WAIT_OBJECT_0;
}

// Puts `owner` and `release` into the report's slot, if it has one; null `release` empties it.
inline void HoldForRelease(const ProgressReport& report, void* owner, void (*release)(void*)) {
  if (report.release) *report.release = ReleaseSlot{release ? owner : nullptr, release};
}
