// The package download: one asynchronous GET into the package file, with progress on the window.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "common/strings.h"
#include "common/stub_state.h"

constexpr DWORD kReadBufferBytes = 0x40000;  // 262,144

// One attempt's shared record between DownloadToFile (UI thread) and TransferCallback (the HTTP
// library's threads). Zero-filled at allocation; freed with its last reference.
struct RequestContext {
  volatile LONG references;  // changed only atomically
  CRITICAL_SECTION lock;     // re-entrant; guards `request` and the handling of notifications
  bool lockInitialised;
  HINTERNET request;  // null once closed
  HANDLE completion;  // manual reset; signalled when the transfer is over, for whatever reason
  BYTE buffer[kReadBufferBytes];
  DWORD contentLength;
  DWORD received;
  bool invalidResponse;  // the library reported ERROR_WINHTTP_INVALID_SERVER_RESPONSE
  HANDLE packageFile;    // INVALID_HANDLE_VALUE when not open

  // What the attempt saw, to tell a complete download from a failed one.
  StubState* state;
  DWORD statusCode;
  bool haveContentLength;
  bool bodyComplete;    // the library reported the end of the body
  bool writeFailed;     // the package file took fewer bytes than received
  DWORD error;          // first error of a library call or a request error; 0 if none
  int position;         // bar position last shown
  wchar_t shownStatus[64];  // status text last shown
  DWORD shownAt;        // GetTickCount() of the last window update; 0 before the first
  HANDLE freed;         // the context's own handle to an event signalled, then closed, once the block
                        // is freed (the package file is closed by then)
};

// Downloads `url` into `path` (deleted and created anew). Returns true when the attempt is a
// complete download: a 2xx status, a Content-Length, and exactly that many bytes written.
// `invalidResponse` is written only when the transfer ran to its end: set when the server answered
// with an invalid response, which calls for a new attempt. When the request could not be sent or
// the transfer ended without a complete download, `failure` receives the message for the user ("The
// download failed (technical reason: ...)") and the caller decides when to show it; failures while
// setting up (URL, session, package file) are shown here at once. The package file is closed when
// this returns.
bool DownloadToFile(StubState& state, const wchar_t* url, const wchar_t* path, bool& invalidResponse,
                    WideString& failure);

void CALLBACK TransferCallback(HINTERNET handle, DWORD_PTR contextValue, DWORD status, void* info,
                               DWORD infoLength);

// Enters the context's lock; returns false, without the lock, when the request is already closed.
bool LockContext(RequestContext* context);

// Drops one reference; the last one closes what the context still holds and frees it.
void ReleaseContext(RequestContext* context);
