// The install stage: runs the downloaded package with the system's msiexec, records where it put its
// executables, and removes the package.
#pragma once

#include <windows.h>

#include "common/progress_report.h"
#include "common/stub_state.h"
#include "install/install_log.h"

constexpr wchar_t kInstallLogFileName[] = L"velko-installer.log";

// The installer's command line, in units, terminator included.
using InstallCommandLine = FixedString<5000>;

// Composes "msiexec /i <package> /norestart /Larv <log>" into `commandLine`, each path in double
// quotes when it holds a blank or a tab and as it is otherwise. Returns false (and leaves the line
// empty) when it does not fit.
bool ComposeInstallCommandLine(InstallCommandLine& commandLine, const wchar_t* packagePath,
                               const wchar_t* logPath);

enum class InstallResult {
  kDone,          // the installer ran (whether or not it installed the package)
  kNoTempFolder,  // the log's path could not be composed: nothing was started
  kNotStarted,    // msiexec could not be started; GetLastError() right after the call tells why
};

// Reports "Installing..." as the status, runs <system folder>\msiexec.exe on `state.packagePath` with a verbose log
// in the run's folder (`state.runFolder`) and waits for it, dispatching window messages meanwhile (a
// WM_QUIT does not end the wait). `package` (may be INVALID_HANDLE_VALUE) is the package held open
// so that nothing can change it: it is closed once the installer has ended. Then scans the log
// (ScanInstallLog into HKCU\`keyPath`) and deletes it; a log that cannot be opened is left in
// place. The installer's exit code is not looked at: the result is kDone whether or not the
// installation succeeded. Always deletes the package file at the end. When the log's path cannot be
// composed nothing is installed: kNoTempFolder, and the package is deleted. When msiexec cannot be
// started: kNotStarted, with the reason in GetLastError().
InstallResult RunPackageInstall(StubState& state, const ProgressReport& report, HANDLE package,
                                const wchar_t* keyPath = kDownloadIdsKeyPath);
