#include "install/package_install.h"

#include "common/run_folder.h"
#include "common/system_library.h"
#include "common/message_wait.h"
#include "common/texts.h"

namespace {


// How often the installer service's mutex is looked at while another installation runs.
constexpr DWORD kBusyPollMs = 500;

bool HasBlankOrTab(const wchar_t* text) {
  for (; *text != 0; ++text) {
    if (*text == L' ' || *text == L'\t') return true;
  }
  return false;
}

bool AppendPathArgument(InstallCommandLine& commandLine, const wchar_t* path) {
  if (!HasBlankOrTab(path)) return commandLine.Append(path);
  return commandLine.Append(L"\"") && commandLine.Append(path) && commandLine.Append(L"\"");
}

// Starts the system's msiexec with `commandLine`. The full path keeps a msiexec.exe planted next to
// the stub (in the user's downloads folder) from running in its place. Returns the process handle,
// or null when no process was started (GetLastError() then tells why).
HANDLE StartInstaller(InstallCommandLine& commandLine) {
  PathString application;
  if (!ComposeSystemFilePath(application, L"msiexec.exe")) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return nullptr;
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  startup.wShowWindow = SW_HIDE;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

// True while the installer service's mutex exists, that is while an installation runs its execute
// sequence. The mutex is only opened to see that it is there, never waited on: owning it would hold
// up that installation. One that exists but may not be opened by this user counts as there.
bool InstallerServiceBusy() {
  const HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kInstallerServiceMutex);
  if (mutex) {
    CloseHandle(mutex);
    return true;
  }
  return GetLastError() == ERROR_ACCESS_DENIED;
}

// Waits while another installation runs, for at most `limitMs`, keeping the window alive and the
// status line saying so. Returns at once when none runs.
// A cancelled run ends the wait at once.
void WaitWhileInstallerBusy(const ProgressReport& report, DWORD limitMs) {
  if (!InstallerServiceBusy()) return;
  ReportStatus(report, Text(TextId::kWaitingStatus));
  const DWORD start = GetTickCount();
  for (;;) {
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= limitMs) return;
    const DWORD left = limitMs - elapsed;
    if (WaitUnlessCancelled(nullptr, left < kBusyPollMs ? left : kBusyPollMs, report.cancel) ==
        WaitEnd::kCancelled) {
      return;
    }
    if (!InstallerServiceBusy()) return;
  }
}

// msiexec's exit code as the stage's outcome: 0, 3010 and 1641 mean installed.
InstallResult OutcomeOf(DWORD exitCode) {
  switch (exitCode) {
    case ERROR_SUCCESS:
      return InstallResult::kInstalled;
    case ERROR_SUCCESS_REBOOT_REQUIRED:   // 3010
    case ERROR_SUCCESS_REBOOT_INITIATED:  // 1641
      return InstallResult::kRestartNeeded;
    case ERROR_INSTALL_ALREADY_RUNNING:   // 1618
      return InstallResult::kAnotherInstallation;
    default:
      return InstallResult::kNotInstalled;
  }
}

// The held package's release (ReleaseSlot), when the session ends while the stage waits for another
// installation.
void ReleaseHeldPackage(void* owner) {
  HANDLE& package = *static_cast<HANDLE*>(owner);
  if (package != INVALID_HANDLE_VALUE) CloseHandle(package);
  package = INVALID_HANDLE_VALUE;
}

}  // namespace

bool ComposeInstallCommandLine(InstallCommandLine& commandLine, const wchar_t* packagePath,
                               const wchar_t* logPath) {
  return commandLine.Assign(L"msiexec /i ") && AppendPathArgument(commandLine, packagePath) &&
         commandLine.Append(L" /norestart /Larv ") && AppendPathArgument(commandLine, logPath);
}

InstallResult RunPackageInstall(StubState& state, const ProgressReport& report, HANDLE package,
                                const wchar_t* keyPath, DWORD busyWaitMs, DWORD* exitCode) {
  InstallResult result = InstallResult::kNotStarted;
  DWORD lastExitCode = 0;
  DWORD startError = ERROR_FILENAME_EXCED_RANGE;  // the command line did not fit
  PathString logPath;
  InstallCommandLine commandLine;
  if (!ComposeRunFilePath(logPath, state.runFolder, kInstallLogFileName)) {
    result = InstallResult::kNoTempFolder;
  } else if (ComposeInstallCommandLine(commandLine, state.packagePath.c_str(), logPath.c_str())) {
    // The run's folder is new: no log of an earlier run can be taken for this run's. A start that
    // ended with 1618 leaves a log of its own, which the next start overwrites.
    HoldForRelease(report, &package, ReleaseHeldPackage);
    for (int start = 1; start <= kInstallerStarts; ++start) {
      // Until msiexec runs, the user may still cancel; from then on the installer's own Cancel does.
      ReportCancellable(report, true);
      WaitWhileInstallerBusy(report, busyWaitMs);
      if (Cancelled(report)) {
        result = InstallResult::kCancelled;
        break;
      }
      ReportCancellable(report, false);
      ReportStatus(report, Text(TextId::kInstallingStatus));
      const HANDLE installer = StartInstaller(commandLine);
      if (!installer) {
        // An application control policy, a missing or damaged msiexec: the user is told why.
        startError = GetLastError();
        result = InstallResult::kNotStarted;
        break;
      }
      // An exit code that cannot be read (the wait failed) counts as an installation that failed.
      DWORD code = 0;
      const bool ended = WaitDispatchingMessages(installer, INFINITE) && GetExitCodeProcess(installer, &code);
      CloseHandle(installer);
      lastExitCode = ended ? code : 0;
      result = ended ? OutcomeOf(code) : InstallResult::kNotInstalled;
      if (result != InstallResult::kAnotherInstallation) break;
    }
    HoldForRelease(report, nullptr, nullptr);
    // Only a successful installation's log is read: after a failed or cancelled one, the files it
    // lists were rolled back.
    if (result == InstallResult::kInstalled || result == InstallResult::kRestartNeeded) {
      const HANDLE log = CreateFileW(logPath.c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
      if (log != INVALID_HANDLE_VALUE) {
        ScanInstallLog(state, log, keyPath);
        CloseHandle(log);
        DeleteFileW(logPath.c_str());
      }
    } else {
      DeleteFileW(logPath.c_str());
    }
  }
  if (package != INVALID_HANDLE_VALUE) CloseHandle(package);
  DeleteFileW(state.packagePath.c_str());
  if (exitCode) *exitCode = lastExitCode;
  if (result == InstallResult::kNotStarted) SetLastError(startError);
  return result;
}
