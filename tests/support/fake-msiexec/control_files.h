// The stand-in installer's control folder and the files in it, named in one place: the stand-in and
// the unit tests include this header; its prefix script (fake-msiexec-prefix) and the end-to-end
// harness (tests/e2e/harness.py) read the names from it. They rely on every name being one line of
// the form `constexpr wchar_t kName[] = L"value";` with no backslash in the value.
#pragma once

#include <string>

namespace fake_msiexec {

// The control folder: C:\<name> in the prefix, $WINEPREFIX/drive_c/<name> on the Linux side.
constexpr wchar_t kControlFolder[] = L"velko-fake-msiexec";
// In the control folder: Wine's own msiexec.exe, kept while the stand-in takes its place.
constexpr wchar_t kWineMsiexecCopy[] = L"wine-msiexec.exe";
// The named event that the stand-in waits for when kWaitEventFile is there.
constexpr wchar_t kGoEvent[] = L"velko-fake-msiexec-go";

// The files of a run in the control folder (README.md says what each does). Every name ending in
// "File" is one of them: a test removes them all before and after it runs, since a file left behind
// steers every later run.
constexpr wchar_t kRunFile[] = L"run.txt";  // written by the stand-in: how it was started
constexpr wchar_t kRecordsFile[] = L"records.txt";
constexpr wchar_t kNoLogFile[] = L"no-log";
constexpr wchar_t kExitCodeFile[] = L"exit-code.txt";
constexpr wchar_t kLockLogMsFile[] = L"lock-log-ms.txt";
constexpr wchar_t kWaitEventFile[] = L"wait-event";
constexpr wchar_t kRunCountFile[] = L"run-count.txt";  // written by the stand-in: how often it ran

constexpr const wchar_t* kRunFiles[] = {kRunFile,       kRecordsFile,   kNoLogFile,   kExitCodeFile,
                                        kLockLogMsFile, kWaitEventFile, kRunCountFile};

// C:\<control folder>, as the stand-in and the unit tests see it.
inline std::wstring ControlFolderPath() { return std::wstring(L"C:\\") + kControlFolder; }

// C:\<control folder>\<name>.
inline std::wstring ControlPath(const wchar_t* name) { return ControlFolderPath() + L"\\" + name; }

}  // namespace fake_msiexec
