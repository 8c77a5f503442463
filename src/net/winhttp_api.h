// The functions of the platform's HTTP library, bound at run time from the system directory.
//
// winhttp.dll is not a "known DLL": imported statically, a file of that name planted beside the
// stub (in the user's downloads folder) would be loaded instead, before the stub's first
// instruction. So the stub does not import it; the first transfer loads it from the system
// directory and takes its functions from there.
#pragma once

#include <windows.h>
#include <winhttp.h>

// X(name) for every WinHttp<name> function the transfers call.
#define VELKO_WINHTTP_FUNCTIONS(X) \
  X(AddRequestHeaders)             \
  X(CloseHandle)                   \
  X(Connect)                       \
  X(CrackUrl)                      \
  X(GetIEProxyConfigForCurrentUser) \
  X(GetProxyForUrl)                \
  X(Open)                          \
  X(OpenRequest)                   \
  X(QueryDataAvailable)            \
  X(QueryHeaders)                  \
  X(ReadData)                      \
  X(ReceiveResponse)               \
  X(SendRequest)                   \
  X(SetCredentials)                \
  X(SetOption)                     \
  X(SetStatusCallback)             \
  X(SetTimeouts)

struct WinHttpApi {
  HMODULE module;  // winhttp.dll, also the source of its error texts
#define VELKO_WINHTTP_POINTER(name) decltype(&::WinHttp##name) name;
  VELKO_WINHTTP_FUNCTIONS(VELKO_WINHTTP_POINTER)
#undef VELKO_WINHTTP_POINTER
};

// Loads winhttp.dll from the system directory and binds every function, once per process; later
// calls return the same answer at once. Returns false when the library or one of the functions is
// missing. First called on the UI thread, before any transfer exists.
bool LoadWinHttp();

// The bound functions. Only to be called after LoadWinHttp() returned true.
const WinHttpApi& WinHttp();
