// How the download and install stages tell how far they are without knowing who listens: the driver
// binds a report to the progress window (ReportToWindow), the headless benchmark to nothing.
#pragma once

struct ProgressReport {
  void* listener;
  // Replaces the status line with `text`. Called on the UI thread or on a notification thread of the
  // HTTP library; never waits for the UI thread. May be null: nobody listens.
  void (*status)(void* listener, const wchar_t* text);
  // Moves the progress bar to `position` (0 to 130), under the same terms. May be null.
  void (*position)(void* listener, int position);
};

inline void ReportStatus(const ProgressReport& report, const wchar_t* text) {
  if (report.status) report.status(report.listener, text);
}

inline void ReportPosition(const ProgressReport& report, int position) {
  if (report.position) report.position(report.listener, position);
}
