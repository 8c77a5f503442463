#include "install/install_log.h"

size_t ReadLogFile(void* file, uint8_t* bytes, size_t capacity) {
  DWORD got = 0;
  if (!ReadFile(static_cast<HANDLE>(file), bytes, static_cast<DWORD>(capacity), &got, nullptr)) return 0;
  return got;
}

void RecordInstallDirectory(const StubState& state, const wchar_t* directory, const wchar_t* keyPath) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExW(key, directory, 0, REG_BINARY, reinterpret_cast<const BYTE*>(state.downloadId),
                 static_cast<DWORD>(DownloadIdLength(state)));
  RegCloseKey(key);
}

void ScanInstallLog(const StubState& state, HANDLE file, const wchar_t* keyPath) {
  LogReader reader(ReadLogFile, file);
  wchar_t line[kLogLineCapacityUnits];
  wchar_t directory[kLogFieldCapacityUnits];
  while (ReadLogLine(reader, line) != 0) {
    if (MatchInstallRecord(line, directory)) RecordInstallDirectory(state, directory, keyPath);
  }
}
