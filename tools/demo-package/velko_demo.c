/* The program inside the demo package: shows who it is and ends. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showState) {
  (void)instance;
  (void)previous;
  (void)commandLine;
  (void)showState;
  MessageBoxW(NULL, L"Velko Demo is installed.", L"Velko Demo", MB_OK);
  return 0;
}
