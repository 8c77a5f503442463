// Prints what the version helpers tell a program that carries the stub's manifest (the same list of
// supported systems), one "name=0|1" line each, and GetVersionExW's numbers: the TLS test checks
// with it which Windows a Wine prefix's Version setting makes the stub see.
#include <windows.h>
#include <stdio.h>
#include <versionhelpers.h>

int main(void) {
  printf("IsWindows7OrGreater=%d\n", IsWindows7OrGreater() ? 1 : 0);
  printf("IsWindows8OrGreater=%d\n", IsWindows8OrGreater() ? 1 : 0);
  printf("IsWindows8Point1OrGreater=%d\n", IsWindows8Point1OrGreater() ? 1 : 0);
  printf("IsWindows10OrGreater=%d\n",
         IsWindowsVersionOrGreater(HIBYTE(0x0A00), LOBYTE(0x0A00), 0) ? 1 : 0);
  OSVERSIONINFOW info = {sizeof(info)};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (GetVersionExW(&info)) printf("GetVersionEx=%lu.%lu\n", info.dwMajorVersion, info.dwMinorVersion);
#pragma GCC diagnostic pop
  return 0;
}
