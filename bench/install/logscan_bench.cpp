// Times the stub's log scan (ScanInstallLog: buffered reads) against the plain reading of the same
// log (one ReadFile of 2 bytes per unit, same line and record rules) in one run.
//
//   velko-bench-logscan.exe LOG [REPEATS]
//
// Registry writes go to HKCU\Software\VelkoBench\LogScan-<process id>, deleted afterwards. Prints
// MB/s of each (1 MB = 1,000,000 bytes), the ratio, and the folders each recorded, which must agree.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "install/install_log.h"
#include "install_log_reference.h"

namespace {

using ScanFunction = void (*)(const StubState&, HANDLE, const wchar_t*);

// ScanInstallLog over the plain reading: the same record matching, only the lines are read
// differently.
void ScanUnitByUnit(const StubState& state, HANDLE file, const wchar_t* keyPath) {
  wchar_t line[kLogLineCapacityUnits];
  wchar_t directory[kLogFieldCapacityUnits];
  while (ReadLogLineUnitByUnit(ReadLogFile, file, line) != 0) {
    if (MatchInstallRecord(line, directory)) RecordInstallDirectory(state, directory, keyPath);
  }
}

double Now() {
  static LARGE_INTEGER frequency;
  if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

DWORD RecordedCount(const wchar_t* keyPath) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  DWORD values = 0;
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                   nullptr, nullptr);
  RegCloseKey(key);
  return values;
}

// Best time of `repeats` scans in seconds; `recorded` gets the number of values written.
double TimeScan(ScanFunction scan, const StubState& state, const wchar_t* path, const wchar_t* keyPath,
                int repeats, DWORD& recorded) {
  double best = 0;
  for (int i = 0; i < repeats; ++i) {
    RegDeleteTreeW(HKEY_CURRENT_USER, keyPath);
    const HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      fprintf(stderr, "cannot open the log (error %lu)\n", GetLastError());
      exit(1);
    }
    const double start = Now();
    scan(state, file, keyPath);
    const double seconds = Now() - start;
    CloseHandle(file);
    if (i == 0 || seconds < best) best = seconds;
  }
  recorded = RecordedCount(keyPath);
  return best;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: velko-bench-logscan LOG [REPEATS]\n");
    return 2;
  }
  const wchar_t* path = argv[1];
  const int repeats = argc > 2 ? _wtoi(argv[2]) : 3;

  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &attributes)) {
    fprintf(stderr, "no log at that path\n");
    return 1;
  }
  const double megabytes =
      (static_cast<double>(attributes.nFileSizeHigh) * 4294967296.0 + attributes.nFileSizeLow) / 1e6;

  static StubState state;
  lstrcpyA(state.downloadId, "BENCH-0123456789ABCDEF");
  wchar_t keyPath[100];
  wsprintfW(keyPath, L"Software\\VelkoBench\\LogScan-%lu", GetCurrentProcessId());

  DWORD bufferedRecorded = 0;
  DWORD plainRecorded = 0;
  const double buffered = TimeScan(ScanInstallLog, state, path, keyPath, repeats, bufferedRecorded);
  const double plain = TimeScan(ScanUnitByUnit, state, path, keyPath, 1, plainRecorded);
  RegDeleteTreeW(HKEY_CURRENT_USER, keyPath);
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\VelkoBench");

  printf("log: %.1f MB\n", megabytes);
  printf("buffered scan (ScanInstallLog, best of %d): %8.3f s  %9.1f MB/s  %lu folders recorded\n",
         repeats, buffered, megabytes / buffered, bufferedRecorded);
  printf("2-byte ReadFile reference:                 %8.3f s  %9.1f MB/s  %lu folders recorded\n", plain,
         megabytes / plain, plainRecorded);
  printf("ratio: %.1fx\n", plain / buffered);
  if (bufferedRecorded != plainRecorded) {
    printf("MISMATCH: the two scans recorded different folders\n");
    return 1;
  }
  return 0;
}
