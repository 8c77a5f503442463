// One asynchronous HTTP GET, driven by the library's notifications on its own threads while the UI
// thread waits and keeps the window alive. Both transfers run on it: the information request (into
// memory) and the package download (into a file). What the body means is the caller's, through a
// sink; this file knows only the library's protocol and the request's lifetime.
#pragma once

#include <windows.h>

#include "net/http_request.h"

// What the caller does with the response. `headers` and `data` are called one at a time, in order,
// on one of the library's threads (or on the UI thread inside a library call), with no lock held;
// each returns false to end the transfer there ("stopped"). Neither may wait for the UI thread
// (post to the window, never send). None of them is called once RunAsyncRequest has returned.
struct RequestSink {
  void* owner;
  // The status line and headers are in; `request` may be queried (WinHttp().QueryHeaders).
  bool (*headers)(void* owner, HINTERNET request);
  // `count` (> 0) bytes of the body, in order.
  bool (*data)(void* owner, const BYTE* bytes, DWORD count);
  // The library reported `error` for the request, which ended it; called by RunAsyncRequest on the
  // calling thread once the request is closed. May be null: nothing to do.
  void (*failed)(void* owner, DWORD error);
};

// How a request ended.
struct RequestEnd {
  bool bodyComplete;  // the body was read to its end
  bool stopped;       // a sink function ended it
  bool timedOut;      // the time limit passed first; the request was closed
  bool cancelled;     // the run was cancelled (setup.cancel set, or the request released)
  DWORD error;        // the library's error code of the first failure, 0 if none
  DWORD failedCall;   // which call failed: API_SEND_REQUEST, API_RECEIVE_RESPONSE,
                      // API_QUERY_DATA_AVAILABLE or API_READ_DATA; 0 if none
};

// Sends a GET of `url` with `extraHeaders` (CR LF separated, or null), feeds the response to `sink`
// and waits, dispatching window messages, until the transfer ends or `timeoutMs` (INFINITE: no
// limit) has passed. Returns false when the request could not be opened (the text for the user is
// then in `setup.errorText`; a refused callback registration has none); otherwise fills `end`.
// A time-out, a stop, a failure or a cancel (`setup.cancel` set) ends the request by closing its
// handle; every handle is closed, and the sink no longer called, when this returns. While it waits,
// `setup.release` (if set) holds what closes the request at once from inside a window message, so
// that no sink function runs any more once that returns.
bool RunAsyncRequest(const wchar_t* url, const wchar_t* extraHeaders, const RequestSink& sink, DWORD timeoutMs,
                     HttpTransfer& setup, RequestEnd& end);
