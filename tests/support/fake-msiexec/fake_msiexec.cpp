// A stand-in for msiexec.exe in a test prefix: records how it was started and writes a Windows
// Installer verbose log (UTF-16LE, CR LF) at the path after /Larv. Test tooling only, never part of
// the stub. See README.md next to this file for the control files.
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "control_files.h"
#include "install_test_support.h"

namespace {

using fake_msiexec::ControlPath;

constexpr wchar_t kHoldSwitch[] = L" --hold-log ";
constexpr DWORD kGoEventTimeoutMs = 10000;
// The mutex that the Windows Installer service holds while an installation runs: the stand-in notes
// whether it existed when it started.
constexpr wchar_t kInstallerMutex[] = L"Global\\_MSIExecute";

// The default log when no records.txt is given: noise around three files, two of them executables.
constexpr const char* kDefaultLog[] = {
    "\xEF\xBB\xBF=== Verbose logging started: 12/10/2026  10:00:00  Build type: SHIP UNICODE "
    "5.00.10011.00  "
    "Calling process: C:\\windows\\system32\\msiexec.exe ===",
    "MSI (c) (A4:B8) [10:00:00:100]: Resetting cached policy values",
    "MSI (s) (C0:D4) [10:00:01:200]: Doing action: InstallFiles",
    "Action start 10:00:01: InstallFiles.",
    "InstallFiles: File: velko-demo.exe,  Directory: C:\\Program Files\\Brondelvik\\VelkoDemo\\,  Size: "
    "2048",
    "InstallFiles: File: readme.txt,  Directory: C:\\Program Files\\Brondelvik\\VelkoDemo\\,  Size: 120",
    "InstallFiles: File: helper.exe,  Directory: C:\\Program Files\\Brondelvik\\VelkoDemo\\tools\\,  "
    "Size: 1024",
    "Action ended 10:00:02: InstallFiles. Return value 1.",
    "MSI (s) (C0:D4) [10:00:02:300]: Product: Velko Demo -- Installation completed successfully.",
    "=== Logging stopped: 12/10/2026  10:00:02 ===",
};

bool ControlFileExists(const wchar_t* name) {
  return GetFileAttributesW(ControlPath(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The decimal number in control file `name`, or `fallback` when there is none.
DWORD ControlNumber(const wchar_t* name, DWORD fallback) {
  std::string text;
  if (!install_test::ReadBytes(ControlPath(name), text)) return fallback;
  DWORD value = 0;
  bool any = false;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<DWORD>(c - '0');
    any = true;
  }
  return any ? value : fallback;
}

// The decimal numbers in control file `name`, in order (any other character separates them).
std::vector<DWORD> ControlNumbers(const wchar_t* name) {
  std::vector<DWORD> numbers;
  std::string text;
  if (!install_test::ReadBytes(ControlPath(name), text)) return numbers;
  bool inNumber = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      if (!inNumber) numbers.push_back(0);
      numbers.back() = numbers.back() * 10 + static_cast<DWORD>(c - '0');
      inNumber = true;
    } else {
      inNumber = false;
    }
  }
  return numbers;
}

// Counts this run in run-count.txt; returns its number, 1 for the first.
DWORD CountRun() {
  const DWORD run = ControlNumber(fake_msiexec::kRunCountFile, 0) + 1;
  install_test::WriteBytes(ControlPath(fake_msiexec::kRunCountFile), std::to_string(run));
  return run;
}

// The exit code of run `run`: the run-th number in exit-code.txt, the last one for every later
// run, 0 without the file.
DWORD ExitCodeOfRun(DWORD run) {
  const std::vector<DWORD> codes = ControlNumbers(fake_msiexec::kExitCodeFile);
  if (codes.empty()) return 0;
  return codes[run <= codes.size() ? run - 1 : codes.size() - 1];
}

bool InstallerMutexExists() {
  const HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kInstallerMutex);
  if (mutex) CloseHandle(mutex);
  return mutex != nullptr;
}

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
  return out;
}

std::string Hex(ULONG_PTR value) {
  char text[32];
  wsprintfA(text, "0x%lx", static_cast<unsigned long>(value));
  return text;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// The argument after the first blank-separated `option` (ASCII case ignored): up to the closing
// quote when it starts with one, else up to the next blank. Empty when the option is missing.
std::wstring ArgumentAfter(const std::wstring& commandLine, const wchar_t* option) {
  const size_t optionLength = lstrlenW(option);
  for (size_t at = 0; at + optionLength <= commandLine.size(); ++at) {
    if (at > 0 && !IsBlank(commandLine[at - 1])) continue;
    if (CompareStringOrdinal(commandLine.c_str() + at, static_cast<int>(optionLength), option,
                             static_cast<int>(optionLength), TRUE) != CSTR_EQUAL) {
      continue;
    }
    size_t i = at + optionLength;
    if (i < commandLine.size() && !IsBlank(commandLine[i])) continue;
    while (i < commandLine.size() && IsBlank(commandLine[i])) ++i;
    if (i < commandLine.size() && commandLine[i] == L'"') {
      const size_t close = commandLine.find(L'"', i + 1);
      return commandLine.substr(i + 1, close == std::wstring::npos ? std::wstring::npos : close - i - 1);
    }
    size_t end = i;
    while (end < commandLine.size() && !IsBlank(commandLine[end])) ++end;
    return commandLine.substr(i, end - i);
  }
  return std::wstring();
}

// The log's lines as UTF-8: records.txt split at LF (a CR before the LF dropped), else the default.
std::string LogBytes() {
  std::string records;
  std::wstring log;
  if (install_test::ReadBytes(ControlPath(fake_msiexec::kRecordsFile), records)) {
    size_t start = 0;
    while (start < records.size()) {
      size_t end = records.find('\n', start);
      size_t next = end == std::string::npos ? records.size() : end + 1;
      if (end == std::string::npos) end = records.size();
      if (end > start && records[end - 1] == '\r') --end;
      log += FromUtf8(records.substr(start, end - start)) + L"\r\n";
      start = next;
    }
  } else {
    for (const char* line : kDefaultLog) log += FromUtf8(line) + L"\r\n";
  }
  return std::string(reinterpret_cast<const char*>(log.data()), log.size() * sizeof(wchar_t));
}

// Keeps `log` open without sharing in a child process (this program again, with --hold-log) that
// lives `holdMs` milliseconds, so the caller finds the log locked after this process has ended.
bool LockLogInChild(const std::wstring& log, DWORD holdMs) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  const HANDLE file = CreateFileW(log.c_str(), GENERIC_READ, 0, &inheritable, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  wchar_t module[MAX_PATH];
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  std::wstring commandLine = std::wstring(L"msiexec") + kHoldSwitch + std::to_wstring(holdMs);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  const bool started = CreateProcessW(module, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  if (started) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(file);
  return started;
}

class RunRecord {
 public:
  RunRecord() {
    file_ = CreateFileW(ControlPath(fake_msiexec::kRunFile).c_str(), GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS, 0, nullptr);
  }
  ~RunRecord() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }
  void Add(const char* key, const std::string& value) {
    const std::string line = std::string(key) + "=" + value + "\n";
    DWORD written = 0;
    if (file_ != INVALID_HANDLE_VALUE)
      WriteFile(file_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  void Add(const char* key, const std::wstring& value) { Add(key, install_test::Utf8(value)); }

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

}  // namespace

// The SHA-256 of the file at `path` in hex, read as an installer reads its package (read access, read
// sharing); empty when it cannot be read.
std::string FileSha256(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  std::string hex;
  if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
      CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
    static BYTE buffer[1 << 16];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof(buffer), &got, nullptr) != FALSE) && got > 0) {
      if (!CryptHashData(hash, buffer, got, 0)) ok = false;
      if (!ok) break;
    }
    BYTE digest[32];
    DWORD size = sizeof(digest);
    if (ok && CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0)) {
      static const char kDigits[] = "0123456789abcdef";
      for (DWORD i = 0; i < size; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 15];
      }
    }
  }
  if (hash) CryptDestroyHash(hash);
  if (provider) CryptReleaseContext(provider, 0);
  CloseHandle(file);
  return hex;
}

int main() {
  const std::wstring commandLine = GetCommandLineW();
  const size_t hold = commandLine.find(kHoldSwitch);
  if (hold != std::wstring::npos) {
    Sleep(static_cast<DWORD>(_wtoi(commandLine.c_str() + hold + lstrlenW(kHoldSwitch))));
    return 0;
  }

  CreateDirectoryW(fake_msiexec::ControlFolderPath().c_str(), nullptr);
  const std::wstring package = ArgumentAfter(commandLine, L"/i");
  const std::wstring log = ArgumentAfter(commandLine, L"/Larv");

  wchar_t module[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  wchar_t directory[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, directory);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  GetStartupInfoW(&startup);

  const DWORD run = CountRun();
  RunRecord record;
  record.Add("cmdline", commandLine);
  record.Add("installer-mutex", std::string(InstallerMutexExists() ? "1" : "0"));
  record.Add("module", std::wstring(module));
  record.Add("cwd", std::wstring(directory));
  record.Add("startup-flags", Hex(startup.dwFlags));
  record.Add("show-window", std::to_string(startup.wShowWindow));
  record.Add("stdin", Hex(reinterpret_cast<ULONG_PTR>(startup.hStdInput)));
  record.Add("stdout", Hex(reinterpret_cast<ULONG_PTR>(startup.hStdOutput)));
  record.Add("stderr", Hex(reinterpret_cast<ULONG_PTR>(startup.hStdError)));
  record.Add("package", package);
  record.Add("package-exists", std::string(!package.empty() && GetFileAttributesW(package.c_str()) !=
                                                                   INVALID_FILE_ATTRIBUTES
                                               ? "1"
                                               : "0"));
  record.Add("package-sha256", FileSha256(package));
  record.Add("log", log);

  if (ControlFileExists(fake_msiexec::kWaitEventFile)) {
    const HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, fake_msiexec::kGoEvent);
    const bool signalled = go && WaitForSingleObject(go, kGoEventTimeoutMs) == WAIT_OBJECT_0;
    if (go) CloseHandle(go);
    record.Add("event", std::string(signalled ? "signalled" : "missed"));
    if (!signalled) return 1;
  }

  bool written = false;
  if (!ControlFileExists(fake_msiexec::kNoLogFile) && !log.empty()) written = install_test::WriteBytes(log, LogBytes());
  record.Add("log-written", std::string(written ? "1" : "0"));

  const DWORD lockMs = ControlNumber(fake_msiexec::kLockLogMsFile, 0);
  if (written && lockMs > 0)
    record.Add("log-locked", std::string(LockLogInChild(log, lockMs) ? "1" : "0"));

  return static_cast<int>(ExitCodeOfRun(run));
}
