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

// The Windows Installer service's mutex: it exists while an installation runs its execute sequence,
// and msiexec ends with 1618 (ERROR_INSTALL_ALREADY_RUNNING) when it cannot start for that reason.
constexpr wchar_t kInstallerServiceMutex[] = L"Global\\_MSIExecute";

// How long the install stage waits for another installation to finish, before each start of the
// installer, before starting it anyway.
constexpr DWORD kInstallerBusyWaitMs = 10 * 60 * 1000;

// How often msiexec is started at most: once, and once more after it said another installation
// was in progress.
constexpr int kInstallerStarts = 2;

enum class InstallResult {
  kInstalled,            // msiexec ended with 0: the folders were recorded
  kRestartNeeded,        // 3010 or 1641: installed and recorded; a restart finishes the installation
  kNotInstalled,         // any other exit code: msiexec has told the user; nothing was recorded
  kAnotherInstallation,  // 1618 at its last start: another installation is still in progress
  kNoTempFolder,         // the log's path could not be composed: nothing was started
  kNotStarted,           // msiexec could not be started; GetLastError() right after the call tells why
  kCancelled,            // the run was cancelled before msiexec started: nothing was installed
};

// Runs <system folder>\msiexec.exe on `state.packagePath` with a verbose log in the run's folder
// (`state.runFolder`) and waits for it, dispatching window messages meanwhile (a WM_QUIT does not
// end the wait). Before each start, while another installation holds the installer service's mutex,
// it waits with the status "Waiting for another installation to finish..." for at most
// `busyWaitMs`, then reports "Installing..." and starts msiexec. A start that ends with 1618 is
// followed by one more (kInstallerStarts in all). `package` (may be INVALID_HANDLE_VALUE) is the
// package held open so that nothing can change it: it is closed once the last start has ended.
// Only an installation that succeeded (0, 3010, 1641) has its log scanned (ScanInstallLog into
// HKCU\`keyPath`): after a failed or cancelled one the files the log lists were rolled back. A log
// that cannot be opened is left in place; otherwise the log is deleted. Always deletes the package
// file at the end. When the log's path cannot be composed nothing is installed: kNoTempFolder, and
// the package is deleted. When msiexec cannot be started: kNotStarted, with the reason in
// GetLastError(). Until msiexec starts, the user may cancel (the report's cancellable(true), its
// cancel and its release slot holding `package`): a cancel ends the wait at once, and nothing is
// started (kCancelled). Right before each start the report is told cancellable(false).
InstallResult RunPackageInstall(StubState& state, const ProgressReport& report, HANDLE package,
                                const wchar_t* keyPath = kDownloadIdsKeyPath,
                                DWORD busyWaitMs = kInstallerBusyWaitMs);
