// One asynchronous HTTP GET, driven by the library's notifications on its own threads while the UI
// thread waits and keeps the window alive. Both transfers run on it: the information request (into
// memory) and the package download (into a file). What the body means is the caller's, through a
// sink; this file knows only the library's protocol, the request's lifetime and its lock.
#pragma once

#include <windows.h>

#include "net/http_request.h"

// What the caller does with the response, called while the request is open, one notification at
// a time, under the request's lock, on one of the library's threads (or on the UI thread inside a
// library call). Every function returns false to end the transfer there ("stopped"). None of them
// may wait for the UI thread (post to the window, never send). No call comes after RunAsyncRequest
// has returned.
struct RequestSink {
  void* owner;
  // The status line and headers are in; `request` may be queried (WinHttp().QueryHeaders).
  bool (*headers)(void* owner, HINTERNET request);
  // `count` (> 0) bytes of the body, in order.
  bool (*data)(void* owner, const BYTE* bytes, DWORD count);
  // The library reported `error` for the request (may be null: nothing to do). The transfer ends.
  void (*failed)(void* owner, DWORD error);
};

// How a request ended.
struct RequestEnd {
  bool bodyComplete;  // the body was read to its end
  bool stopped;       // a sink function ended it
  bool timedOut;      // the time limit passed first; the request was closed
  DWORD error;        // the library's error code of the first failure, 0 if none
  DWORD failedCall;   // which call failed: API_SEND_REQUEST, API_RECEIVE_RESPONSE,
                      // API_QUERY_DATA_AVAILABLE or API_READ_DATA; 0 if none
};

// Sends a GET of `url` with `extraHeaders` (CR LF separated, or null), feeds the response to `sink`
// and waits, dispatching window messages, until the transfer ends or `timeoutMs` (INFINITE: no
// limit) has passed. Returns false when the request could not be opened (the text for the user is
// then in `setup.errorText`; a refused callback registration has none); otherwise fills `end`.
// Every handle is closed, and the sink no longer called, when this returns.
bool RunAsyncRequest(const wchar_t* url, const wchar_t* extraHeaders, const RequestSink& sink, DWORD timeoutMs,
                     HttpTransfer& setup, RequestEnd& end);
