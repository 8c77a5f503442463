// Stands in for a real-time scanner that opens a freshly written file at once, with write access,
// and keeps it for a while: for as long as it has it, nobody can open the file with read sharing
// only.
//
//   package-holder.exe TEMP_FOLDER FILE_NAME SIZE HOLD_MS [INSTALLER_RECORD]
//
// Waits (up to 60 s) for TEMP_FOLDER\velko-*\FILE_NAME to reach SIZE bytes, then tries to open it
// for reading and writing, sharing everything, from several threads at once and as fast as they
// can: the writer holds it without sharing until it closes it, and the first open after that close
// wins the file. Holds it HOLD_MS milliseconds, closes it and exits with 0; prints "held" then.
// When INSTALLER_RECORD (the file the stand-in installer writes when it runs) already exists as the
// file is won, the run had the package first and has released it after installing: the holder
// prints "late", closes it at once and exits with 4. Exit code 3: the file was
// never had within half a second of reaching its size (someone else held it first); 2: it never appeared; 1:
// bad arguments.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#define HAMMERS 6

// How long after the file reaches its size the holder tries: the writer closes it within moments,
// and an open that succeeds much later would only find the file after the run has released it.
static const DWORD kTryMs = 500;

static wchar_t path[MAX_PATH];
static volatile LONG won;
static volatile HANDLE holder = INVALID_HANDLE_VALUE;
static volatile LONG stop;

static DWORD WINAPI Hammer(void* unused) {
  (void)unused;
  while (!stop) {
    HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) continue;
    if (InterlockedCompareExchange(&won, 1, 0) == 0) {
      holder = h;
    } else {
      CloseHandle(h);
    }
    stop = 1;
  }
  return 0;
}

// Finds TEMP_FOLDER\velko-*\FILE_NAME of `size` bytes; fills `path`.
static int FindPackage(const wchar_t* folder, const wchar_t* name, unsigned long long size) {
  wchar_t pattern[MAX_PATH];
  swprintf(pattern, MAX_PATH, L"%ls\\velko-*", folder);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  int ok = 0;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    swprintf(path, MAX_PATH, L"%ls\\%ls\\%ls", folder, found.cFileName, name);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(path, GetFileExInfoStandard, &data) &&
        (((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow) == size) {
      ok = 1;
    }
  } while (!ok && FindNextFileW(search, &found));
  FindClose(search);
  return ok;
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 5 && argc != 6) return 1;
  const unsigned long long size = wcstoull(argv[3], NULL, 10);
  const DWORD holdMs = (DWORD)wcstoul(argv[4], NULL, 10);
  DWORD start = GetTickCount();
  while (!FindPackage(argv[1], argv[2], size)) {
    if (GetTickCount() - start > 60000) return 2;
    Sleep(1);
  }
  HANDLE threads[HAMMERS];
  for (int i = 0; i < HAMMERS; ++i) threads[i] = CreateThread(NULL, 0, Hammer, NULL, 0, NULL);
  start = GetTickCount();
  while (!stop && GetTickCount() - start < kTryMs) Sleep(1);
  stop = 1;
  WaitForMultipleObjects(HAMMERS, threads, TRUE, INFINITE);
  if (!won) {
    printf("missed\n");
    return 3;
  }
  if (argc == 6 && GetFileAttributesW(argv[5]) != INVALID_FILE_ATTRIBUTES) {
    CloseHandle(holder);
    printf("late\n");
    return 4;
  }
  printf("held\n");
  fflush(stdout);
  Sleep(holdMs);
  CloseHandle(holder);
  return 0;
}
