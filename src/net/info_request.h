// The download-information request: one GET whose reply names the package to fetch
// (ExtractElement, in info_reply.h, finds the package URL in it).
#pragma once

#include "common/progress_report.h"
#include "common/strings.h"
#include "net/info_reply.h"

// Fetches `url` into `response` (emptied first), byte for byte, while the window keeps painting (the
// UI thread waits dispatching messages). At most 1 MiB is read; the rest is left unread, which is no
// failure. A request still running after 60 seconds is abandoned as a receive failure. Returns false
// when the request failed, with the text for the user in `failure`; `response` then holds whatever
// arrived before the failure. A proxy that answers 407 gets the request once more with the platform's
// integrated sign-on; if it refuses again, the result is kProxyRefused. The report's cancel ends the
// request at once (kCancelled, no text), and its release slot holds the request while it runs.
enum class FetchResult {
  kOk,
  kFailed,         // `failure` says why; what arrived is in `response`
  kProxyRefused,   // the proxy asked for credentials, also after the integrated sign-on: nothing arrived
  kCancelled,      // the run was cancelled: the request was closed; nothing to tell
};
FetchResult FetchToMemory(const ProgressReport& report, const wchar_t* url, ByteString& response,
                          WideString& failure);
