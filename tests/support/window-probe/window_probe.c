// Speaks to the stub's progress window from another program, as the user, the taskbar or Windows
// would. Exit codes: 0 done; 1 no such window; 2 no answer within the time; 3 bad arguments.
//
//   window-probe                       sends WM_NULL and waits at most a second: does its thread
//                                      answer? (tests/e2e/test_network.py)
//   window-probe close                 posts WM_CLOSE
//   window-probe sysclose              posts WM_SYSCOMMAND SC_CLOSE (the taskbar's Close)
//   window-probe answer yes|no SECONDS waits up to SECONDS for the question box the window owns
//                                      and presses its Yes or No button
//   window-probe endsession            sends WM_QUERYENDSESSION, then WM_ENDSESSION (TRUE), as
//                                      Windows does at log-off, then ends the stub's process at once
//                                      (TerminateProcess), as Windows may once WM_ENDSESSION returned
#include <windows.h>
#include <shellapi.h>
#include <stdlib.h>

static HWND g_owner;
static HWND g_box;

static BOOL CALLBACK FindOwnedBox(HWND window, LPARAM unused) {
  (void)unused;
  wchar_t name[16];
  if (GetWindow(window, GW_OWNER) == g_owner && GetClassNameW(window, name, 16) && lstrcmpW(name, L"#32770") == 0 &&
      IsWindowVisible(window)) {
    g_box = window;
    return FALSE;
  }
  return TRUE;
}

static int Answer(HWND window, const wchar_t* which, int seconds) {
  const int button = lstrcmpiW(which, L"yes") == 0 ? IDYES : lstrcmpiW(which, L"no") == 0 ? IDNO : 0;
  if (!button) return 3;
  g_owner = window;
  for (int tries = 0; tries < seconds * 10; ++tries) {
    g_box = NULL;
    EnumWindows(FindOwnedBox, 0);
    if (g_box) {
      HWND control = GetDlgItem(g_box, button);
      if (!control) return 2;
      SendMessageTimeoutW(g_box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), (LPARAM)control, SMTO_ABORTIFHUNG,
                          5000, NULL);
      return 0;
    }
    Sleep(100);
  }
  return 2;
}

static int EndSession(HWND window) {
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 10000, &result)) {
    return 2;
  }
  if (!SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 10000, &result)) {
    return 2;
  }
  if (process) {
    TerminateProcess(process, 1);  // what is not done by now never will be
    WaitForSingleObject(process, 5000);
    CloseHandle(process);
  }
  return 0;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
  (void)instance, (void)previous, (void)commandLine, (void)show;
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  HWND window = FindWindowW(L"progresswindow", NULL);
  if (!window) return 1;
  if (!args || count < 2) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, 1000, &result)) return 2;
    return 0;
  }
  if (lstrcmpW(args[1], L"close") == 0) return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 2;
  if (lstrcmpW(args[1], L"sysclose") == 0) return PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0) ? 0 : 2;
  if (lstrcmpW(args[1], L"answer") == 0 && count == 4) return Answer(window, args[2], _wtoi(args[3]));
  if (lstrcmpW(args[1], L"endsession") == 0) return EndSession(window);
  return 3;
}
