// The plain reading of an install log: one read of 2 bytes per unit, line rules applied unit by unit
// exactly as the product states them. The unit tests and the log reader's fuzzer hold LogReader to
// it unit for unit, and the log-scan benchmark uses it as its baseline. No platform header: it also
// builds natively, for the fuzzer.
#pragma once

#include <stdint.h>

#include "install/log_reader.h"

// Reads the next line from `read`/`source` into `line` (kLogLineCapacityUnits units). A read that
// delivers less than a whole unit ends the line, so `source` must read short only at its end (a
// file does).
inline size_t ReadLogLineUnitByUnit(LogReadFunction read, void* source, wchar_t* line) {
  size_t index = 0;
  for (;;) {
    uint8_t bytes[2];
    if (read(source, bytes, sizeof(bytes)) < sizeof(bytes)) break;
    const wchar_t unit = static_cast<wchar_t>(bytes[0] | bytes[1] << 8);
    line[index] = unit;
    if (index >= 1 && line[index - 1] == L'\r' && unit == L'\n') break;  // the LF becomes the end
    if (index == kLogLineMaxUnits) break;  // the unit just stored is dropped
    ++index;
  }
  line[index] = 0;
  return index;
}
