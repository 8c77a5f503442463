// Paths of the run's files in the temporary folder.
#pragma once

#include <windows.h>

#include "common/strings.h"

// Composes "<temp folder>\<fileName>" into `path` (the folder from GetTempPathW, at most 260 units).
// Returns false, with `path` empty, when the temp folder cannot be found or the path does not fit.
template <size_t kCapacity>
bool ComposeTempFilePath(FixedString<kCapacity>& path, const wchar_t* fileName) {
  static_assert(kCapacity >= MAX_PATH, "the temp folder alone may take 260 units");
  const DWORD length = GetTempPathW(MAX_PATH, path.data());
  if (length == 0 || length > MAX_PATH) {
    path.Clear();
    return false;
  }
  return path.AppendSeparator() && path.Append(fileName);
}
