#include "common/run_folder.h"

#include <windows.h>

#include "common/random.h"

namespace {

constexpr wchar_t kPrefix[] = L"velko-";
constexpr int kNameAttempts = 16;

// Composes "<temp folder>\<name>" into `path` (the folder from GetTempPathW). Returns false, with
// `path` empty, when the temp folder cannot be found or the path does not fit.
bool ComposeTempFilePath(PathString& path, const wchar_t* name) {
  const DWORD length = GetTempPathW(MAX_PATH, path.data());
  if (length == 0 || length > MAX_PATH) {
    path.Clear();
    return false;
  }
  return path.AppendSeparator() && path.Append(name);
}

bool AppendRandomHex(PathString& path) {
  unsigned char bytes[8];
  if (!FillRandom(bytes, sizeof(bytes))) return false;
  static constexpr wchar_t kDigits[] = L"0123456789abcdef";
  wchar_t hex[2 * sizeof(bytes)];
  for (size_t i = 0; i < sizeof(bytes); ++i) {
    hex[2 * i] = kDigits[bytes[i] >> 4];
    hex[2 * i + 1] = kDigits[bytes[i] & 0xF];
  }
  return path.Append(hex, sizeof(hex) / sizeof(hex[0]));
}

}  // namespace

bool CreateRunFolder(PathString& folder) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    if (!ComposeTempFilePath(folder, kPrefix) || !AppendRandomHex(folder)) break;
    // CreateDirectoryW fails when the name exists: a folder made by someone else is never used.
    if (CreateDirectoryW(folder.c_str(), nullptr)) {
      if (folder.AppendSeparator()) return true;
      RemoveDirectoryW(folder.c_str());
      break;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  folder.Clear();
  return false;
}

bool ComposeRunFilePath(PathString& path, const PathString& folder, const wchar_t* fileName) {
  return path.Assign(folder.c_str()) && path.Append(fileName);
}

bool RemoveRunFolder(const PathString& folder) {
  if (folder.empty()) return true;
  PathString pattern;
  if (pattern.Assign(folder.c_str()) && pattern.Append(L"*")) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        PathString file;
        if (ComposeRunFilePath(file, folder, found.cFileName)) DeleteFileW(file.c_str());
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
  }
  return RemoveDirectoryW(folder.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ||
         GetLastError() == ERROR_PATH_NOT_FOUND;
}
