#include "common/system_library.h"

namespace {

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

SetDefaultDllDirectoriesFunction FindSetDefaultDllDirectories() {
  // Looked up at run time: Windows 7 without its update has neither this call nor the
  // LOAD_LIBRARY_SEARCH_* flags.
  return reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
}

// Non-known DLLs that the run loads by name after its start, found with Wine's +pid,+loaddll trace
// of whole runs (plain HTTP and https), and from what Windows' own window and shell code loads. On
// Windows the restricted search already keeps every later load in the system directory; Wine looks
// in the program's folder first for DLLs that its own DLLs delay-load or load by name, whatever the
// program has restricted, so for Wine the preload is what protects (and on Windows it costs nothing).
constexpr const wchar_t* kPreloaded[] = {
    L"uxtheme.dll",  // themed window frames and controls: loaded when the first window is created
    L"dwmapi.dll",   // desktop composition: loaded by the window and common-control code on Windows
    L"crypt32.dll",  // loaded by winhttp when a request handle is closed, and for TLS certificates
    L"bcrypt.dll",   // crypt32's and the TLS code's hashing, and the run folder's random name
    L"secur32.dll",  // the TLS layer (SSPI): winhttp loads it by name at the first https connection
    L"dnsapi.dll",   // the proxy lookup's automatic detection (WPAD through DNS): winhttp loads it by name
    L"iphlpapi.dll", // the same, through DHCP
};

}  // namespace

void RestrictLibrarySearch() {
  if (SetDefaultDllDirectoriesFunction restrict = FindSetDefaultDllDirectories()) {
    if (restrict(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  }
  SetDllDirectoryW(L"");
}

bool ComposeSystemFilePath(PathString& path, const wchar_t* name) {
  const UINT length = GetSystemDirectoryW(path.data(), MAX_PATH);
  return length != 0 && length < MAX_PATH && path.AppendSeparator() && path.Append(name);
}

HMODULE LoadSystemLibrary(const wchar_t* name) {
  if (FindSetDefaultDllDirectories()) return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Without the search flags: by full path, with the DLL's own folder (the system directory)
  // searched first for what it imports.
  PathString path;
  if (!ComposeSystemFilePath(path, name)) return nullptr;
  return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void PreloadSystemLibraries() {
  for (const wchar_t* name : kPreloaded) LoadSystemLibrary(name);
}
