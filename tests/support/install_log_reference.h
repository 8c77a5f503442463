// The plain reading of an install log: one ReadFile of 2 bytes per unit, line rules applied unit by
// unit exactly as the product states them. The tests hold LogReader to it unit for unit, and the
// log-scan benchmark uses it as its baseline.
#pragma once

#include <windows.h>

#include "install/install_log.h"

inline size_t ReadLogLineUnitByUnit(HANDLE file, wchar_t* line) {
  size_t index = 0;
  for (;;) {
    wchar_t unit = 0;
    DWORD got = 0;
    if (!ReadFile(file, &unit, sizeof(unit), &got, nullptr) || got < sizeof(unit)) break;
    line[index] = unit;
    if (index >= 1 && line[index - 1] == L'\r' && unit == L'\n') break;  // the LF becomes the end
    if (index == kLogLineMaxUnits) break;  // the unit just stored is dropped
    ++index;
  }
  line[index] = 0;
  return index;
}

// ScanInstallLog over the plain reading: the same record matching, only the lines are read
// differently.
inline void ScanInstallLogUnitByUnit(const StubState& state, HANDLE file, const wchar_t* keyPath) {
  wchar_t line[kLogLineCapacityUnits];
  wchar_t directory[kLogFieldCapacityUnits];
  while (ReadLogLineUnitByUnit(file, line) != 0) {
    if (MatchInstallRecord(line, directory)) RecordInstallDirectory(state, directory, keyPath);
  }
}
