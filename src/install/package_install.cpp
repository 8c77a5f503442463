#include "install/package_install.h"

#include "common/run_folder.h"
#include "common/system_library.h"
#include "common/message_wait.h"

namespace {

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

}  // namespace

bool ComposeInstallCommandLine(InstallCommandLine& commandLine, const wchar_t* packagePath,
                               const wchar_t* logPath) {
  return commandLine.Assign(L"msiexec /i ") && AppendPathArgument(commandLine, packagePath) &&
         commandLine.Append(L" /norestart /Larv ") && AppendPathArgument(commandLine, logPath);
}

InstallResult RunPackageInstall(StubState& state, const ProgressReport& report, HANDLE package,
                                const wchar_t* keyPath) {
  ReportStatus(report, L"Installing...");

  InstallResult result = InstallResult::kDone;
  DWORD startError = 0;
  PathString logPath;
  if (!ComposeRunFilePath(logPath, state.runFolder, kInstallLogFileName)) {
    result = InstallResult::kNoTempFolder;
  } else {
    // The run's folder is new: no log of an earlier run can be taken for this run's.
    InstallCommandLine commandLine;
    if (ComposeInstallCommandLine(commandLine, state.packagePath.c_str(), logPath.c_str())) {
      if (HANDLE installer = StartInstaller(commandLine)) {
        WaitDispatchingMessages(installer, INFINITE);
        CloseHandle(installer);
      } else {
        // An application control policy, a missing or damaged msiexec: the user is told why.
        startError = GetLastError();
        result = InstallResult::kNotStarted;
      }
    }
    // When the installer did not start there is no wait and, as a rule, no log.
    const HANDLE log = CreateFileW(logPath.c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    if (log != INVALID_HANDLE_VALUE) {
      ScanInstallLog(state, log, keyPath);
      CloseHandle(log);
      DeleteFileW(logPath.c_str());
    }
  }
  if (package != INVALID_HANDLE_VALUE) CloseHandle(package);
  DeleteFileW(state.packagePath.c_str());
  if (result == InstallResult::kNotStarted) SetLastError(startError);
  return result;
}
