// Holds a named mutex or a file for a while, as another program would, for the end-to-end tests:
//
//   hold mutex NAME SECONDS   creates and owns the mutex NAME (a running installation holds
//                             Global\_MSIExecute), then releases and closes it
//   hold file PATH SECONDS    opens the existing file PATH for reading with read, write and delete
//                             sharing (as a scanner or a backup tool does), then closes it
//
// Prints "held" once it holds the object and "released" once it has let it go (UTF-8 lines on
// standard output, flushed at once). Exit code 0, or 1 when the object could not be taken (then
// "failed <error>" is printed) and 2 on a usage error.
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: hold mutex NAME SECONDS | hold file PATH SECONDS\n");
    return 2;
  }
  const DWORD holdMs = (DWORD)_wtoi(argv[3]) * 1000;
  HANDLE held = NULL;
  const int isMutex = wcscmp(argv[1], L"mutex") == 0;
  if (isMutex) {
    held = CreateMutexW(NULL, TRUE, argv[2]);
  } else if (wcscmp(argv[1], L"file") == 0) {
    held = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                       OPEN_EXISTING, 0, NULL);
    if (held == INVALID_HANDLE_VALUE) held = NULL;
  } else {
    fprintf(stderr, "hold: unknown kind\n");
    return 2;
  }
  if (!held) {
    printf("failed %lu\n", GetLastError());
    fflush(stdout);
    return 1;
  }
  printf("held\n");
  fflush(stdout);
  Sleep(holdMs);
  if (isMutex) ReleaseMutex(held);
  CloseHandle(held);
  printf("released\n");
  fflush(stdout);
  return 0;
}
