// The control of the DLL-planting test: an unprotected program. It imports winhttp statically and
// loads every DLL named on its command line with a plain LoadLibraryW, as a program does that
// leaves the default search order alone, so that DLLs planted beside it are loaded.
#include <windows.h>
#include <shellapi.h>
#include <winhttp.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
  (void)instance, (void)previous, (void)commandLine, (void)show;
  // Imported, not called: the planted winhttp.dll has none of winhttp's functions.
  static FARPROC volatile imported;
  imported = (FARPROC)WinHttpCheckPlatform;
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; arguments && i < count; ++i) LoadLibraryW(arguments[i]);
  return 0;
}
