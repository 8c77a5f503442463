// When a package download is tried again, and after how long. Pure functions: the attempts
// themselves are in package_download.cpp.
#pragma once

#include <windows.h>

// A download makes at most this many attempts in all, whatever ended them.
constexpr int kMaxDownloadAttempts = 5;

// What one attempt established, as far as the decision about another one goes.
struct AttemptFacts {
  DWORD error;        // the library's error that ended the attempt; 0 if none
  DWORD status;       // the response's HTTP status; 0 when no response arrived
  bool noLength;      // a response to take whole came without a Content-Length
  bool rangeRefused;  // a partial response (or a 416) that does not continue the file
  bool shortBody;     // the body ended before its Content-Length
  bool writeFailed;   // the package file could not be written
  bool notPublished;  // the response's length is not the one the information server published
  bool tooLarge;      // the package is 4 GiB or larger
  bool proxyRefused;  // the proxy asked for credentials (407), also after the integrated sign-on
};

enum class AttemptEnd { kComplete, kTransient, kPermanent };

// How an attempt with these facts ended. Transient (worth another attempt): a connection that could
// not be made, was reset or aborted, or timed out; an invalid server response; HTTP 408, 429 and 5xx;
// a body cut short; a partial response that does not fit the file. Permanent: any other HTTP error
// status, no Content-Length, a TLS or certificate failure, a redirect that is refused, any other
// library error, a package file that cannot be written, a length other than the published one or
// one of 4 GiB or more, a proxy that asks for credentials. Otherwise the attempt is complete.
AttemptEnd ClassifyAttempt(const AttemptFacts& facts);

// The pause in milliseconds before attempt `next` (2 to kMaxDownloadAttempts): 1, 2, 4, then 8
// seconds, or the server's Retry-After (`retryAfterMs`, 0 when it gave none) cut to 30 seconds; never
// more than what is left of a minute of pauses in all after `pausedMs`.
DWORD PauseBeforeAttempt(int next, DWORD retryAfterMs, DWORD pausedMs);

// Reads a Retry-After value of delta-seconds (`length` units, blanks around it allowed) into
// milliseconds. Returns false for anything else (an HTTP date among them).
bool ParseRetryAfter(const wchar_t* value, size_t length, DWORD& milliseconds);
