// Why a transfer failed, reduced to the few classes a publisher can act on: the name could not be
// found, the server could not be reached, TLS failed, a proxy refused, the server answered with an
// error status, or it took too long.
#pragma once

#include <windows.h>

// What a transfer that failed saw last. Zero-filled: nothing seen.
struct TransferFailure {
  DWORD error;        // the library's (or the socket's) error code; 0 if none
  DWORD status;       // the HTTP status of the response; 0 when none arrived
  bool timedOut;      // the transfer's own time limit passed
  bool proxyRefused;  // a proxy asked for credentials and refused the integrated sign-on
};

enum class FailureClass { kName, kConnect, kTls, kProxy, kHttpStatus, kTimeout, kOther };

// The class of `failure`. A library error decides over the status; kHttpStatus only for a status
// outside 200-299 with no error; kOther for anything else (nothing seen included).
FailureClass ClassifyFailure(const TransferFailure& failure);
