// Helpers shared by the install tests: scratch folders, files of exact bytes, the temp folder and
// the environment variables it comes from, and the values of a throw-away registry key.
#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace install_test {

// The UTF-16LE bytes of `text`.
inline std::string Utf16(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

inline std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                       0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr,
                      nullptr);
  return out;
}

inline bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size();
  CloseHandle(file);
  return ok;
}

inline bool ReadBytes(const std::wstring& path, std::string& bytes) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes.clear();
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return true;
}

inline bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Deletes a folder and everything in it.
inline void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
}

// Keeps the environment variable `name` as it was, for restoring.
class SavedVariable {
 public:
  explicit SavedVariable(const wchar_t* name) : name_(name) {
    wchar_t value[32767];
    const DWORD length = GetEnvironmentVariableW(name, value, 32767);
    present_ = length > 0;
    if (present_) value_.assign(value, length);
  }
  void Restore() const { SetEnvironmentVariableW(name_, present_ ? value_.c_str() : nullptr); }

 private:
  const wchar_t* name_;
  bool present_ = false;
  std::wstring value_;
};

// Makes `folder` this process's temp folder: GetTempPathW reads TMP, then TEMP.
inline void SetTempFolder(const std::wstring& folder) {
  SetEnvironmentVariableW(L"TMP", folder.c_str());
  SetEnvironmentVariableW(L"TEMP", folder.c_str());
}

// A fresh, empty folder "<temp>\<name>-<process id>" (no trailing backslash).
inline std::wstring MakeScratchFolder(const wchar_t* name) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + name + L"-" + std::to_wstring(GetCurrentProcessId());
  RemoveTree(folder);
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

struct RegistryValue {
  DWORD type;
  std::string data;
};

// Every value of HKCU\`keyPath` by name ("" is the default value); empty when the key is missing.
inline std::map<std::wstring, RegistryValue> ReadValues(const std::wstring& keyPath) {
  std::map<std::wstring, RegistryValue> values;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return values;
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[16384];
    DWORD nameUnits = 16384;
    BYTE data[1024];
    DWORD dataBytes = sizeof(data);
    DWORD type = 0;
    if (RegEnumValueW(key, i, name, &nameUnits, nullptr, &type, data, &dataBytes) != ERROR_SUCCESS) {
      break;
    }
    values[std::wstring(name, nameUnits)] =
        RegistryValue{type, std::string(reinterpret_cast<const char*>(data), dataBytes)};
  }
  RegCloseKey(key);
  return values;
}

// A registry key path under HKCU that only this process writes to.
inline std::wstring ScratchKeyPath(const wchar_t* name) {
  return std::wstring(L"Software\\VelkoTests\\") + name + L"-" + std::to_wstring(GetCurrentProcessId());
}

inline void DeleteScratchKey(const std::wstring& keyPath) {
  RegDeleteTreeW(HKEY_CURRENT_USER, keyPath.c_str());
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\VelkoTests");  // only goes when nothing is left in it
}

}  // namespace install_test
