// Holds a named mutex or a file for a while, as another program would, for the end-to-end tests:
//
//   hold mutex NAME SECONDS   creates and owns the mutex NAME (a running installation holds
//                             Global\_MSIExecute), then releases and closes it
//   hold file PATH SECONDS    opens the existing file PATH for reading with read, write and delete
//                             sharing (as a scanner or a backup tool does), then closes it
//   hold event NAME SECONDS   creates the manual-reset event NAME, not set, and sets it when a line
//                             arrives on standard input or SECONDS have passed; keeps it open (set)
//                             until ended, so that a program that opens it later finds it set
//
// Prints "held" once it holds the object and "released" once it has let it go (UTF-8 lines on
// standard output, flushed at once). Exit code 0, or 1 when the object could not be taken (then
// "failed <error>" is printed) and 2 on a usage error.
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

static DWORD WINAPI ReadLine(void* unused) {
  (void)unused;
  char line[64];
  fgets(line, sizeof(line), stdin);
  return 0;
}

// The event kind: set on a line or after `holdMs`, then held until the process is ended.
static int HoldEvent(const wchar_t* name, DWORD holdMs) {
  HANDLE event = CreateEventW(NULL, TRUE, FALSE, name);
  if (!event) {
    printf("failed %lu\n", GetLastError());
    fflush(stdout);
    return 1;
  }
  printf("held\n");
  fflush(stdout);
  HANDLE reader = CreateThread(NULL, 0, ReadLine, NULL, 0, NULL);
  if (reader) WaitForSingleObject(reader, holdMs);
  SetEvent(event);
  printf("released\n");
  fflush(stdout);
  Sleep(INFINITE);
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: hold mutex NAME SECONDS | hold file PATH SECONDS | hold event NAME SECONDS\n");
    return 2;
  }
  const DWORD holdMs = (DWORD)_wtoi(argv[3]) * 1000;
  if (wcscmp(argv[1], L"event") == 0) return HoldEvent(argv[2], holdMs);
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
