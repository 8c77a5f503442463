// Reads the stub's progress window as a screen reader does, through the accessibility interface:
// AccessibleObjectFromWindow(OBJID_CLIENT) on the status line (the window's STATIC child) for its
// name, and on the progress bar for its value.
//
//   a11y-probe SECONDS
//
// Polls every 20 ms for SECONDS seconds (until the window has come and gone) and prints a line for
// every change, UTF-8: "status: <name>" and "bar: <value>" ("bar: none" when the platform gives no
// value). Exit code 0 when the status line was read at least once, 1 otherwise.
#define COBJMACROS
#include <windows.h>
#include <oleacc.h>
#include <stdio.h>
#include <wchar.h>

// IID_IAccessible, defined here: mingw-w64's liboleacc.a gives the address of an import thunk for
// it (the IID is data that oleacc.dll exports), and every QueryInterface with that fails.
static const GUID kIidAccessible = {0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// Reads the name (or, with `value`, the value) of the client object of `window` into `out`.
static int ReadAccessible(HWND window, int value, wchar_t* out, size_t capacity) {
  IAccessible* accessible = NULL;
  if (!window || FAILED(AccessibleObjectFromWindow(window, (DWORD)OBJID_CLIENT, &kIidAccessible,
                                                   (void**)&accessible))) {
    return 0;
  }
  VARIANT self;
  VariantInit(&self);
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  BSTR text = NULL;
  const HRESULT hr = value ? IAccessible_get_accValue(accessible, self, &text)
                           : IAccessible_get_accName(accessible, self, &text);
  IAccessible_Release(accessible);
  if (hr != S_OK || !text) {
    if (text) SysFreeString(text);
    return 0;
  }
  wcsncpy(out, text, capacity - 1);
  out[capacity - 1] = 0;
  SysFreeString(text);
  return 1;
}

static void PrintIfChanged(const char* label, const wchar_t* text, wchar_t* last, size_t capacity) {
  if (wcscmp(text, last) == 0) return;
  wcsncpy(last, text, capacity - 1);
  char utf8[1024];
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), NULL, NULL);
  printf("%s: %s\n", label, utf8);
  fflush(stdout);
}

int wmain(int argc, wchar_t** argv) {
  const DWORD seconds = argc > 1 ? (DWORD)_wtoi(argv[1]) : 10;
  CoInitialize(NULL);
  wchar_t lastStatus[256] = L"\1";
  wchar_t lastBar[256] = L"\1";
  int read = 0;
  int seen = 0;
  for (const DWORD start = GetTickCount(); GetTickCount() - start < seconds * 1000; Sleep(20)) {
    HWND window = FindWindowW(L"progresswindow", NULL);
    if (!window) {
      if (seen) break;  // the run is over
      continue;
    }
    seen = 1;
    wchar_t text[256];
    if (ReadAccessible(FindWindowExW(window, NULL, L"Static", NULL), 0, text, 256)) {
      read = 1;
      PrintIfChanged("status", text, lastStatus, 256);
    }
    if (!ReadAccessible(FindWindowExW(window, NULL, L"msctls_progress32", NULL), 1, text, 256)) wcscpy(text, L"none");
    PrintIfChanged("bar", text, lastBar, 256);
  }
  CoUninitialize();
  return read ? 0 : 1;
}
