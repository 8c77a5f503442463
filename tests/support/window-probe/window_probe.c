// Asks the stub's progress window whether its thread answers: sends it WM_NULL and waits at most a
// second. Exit code 0: answered; 1: no such window; 2: no answer within the second. The test of the
// information request runs it while a slow server keeps the request going.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
  (void)instance, (void)previous, (void)commandLine, (void)show;
  HWND window = FindWindowW(L"progresswindow", NULL);
  if (!window) return 1;
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, 1000, &result)) return 2;
  return 0;
}
