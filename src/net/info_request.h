// The download-information request: one GET whose reply names the package to fetch.
#pragma once

#include "common/strings.h"

// Fetches `url` into `response` (emptied first), byte for byte, while the window keeps painting (the
// UI thread waits dispatching messages). At most 1 MiB is read; the rest is left unread, which is no
// failure. A request still running after 60 seconds is abandoned as a receive failure. Returns false
// when the request failed, with the text for the user in `failure`; `response` then holds whatever
// arrived before the failure.
bool FetchToMemory(const wchar_t* url, ByteString& response, WideString& failure);

// Finds the first "<name>" in `response` and the first "</name>" after it, comparing bytes exactly,
// in the part of the response before its first zero byte. When both are found, appends the bytes
// between them to `out`, each widened to the UTF-16 unit of the same value, and returns true.
// Otherwise returns false and leaves `out` as it was.
bool ExtractElement(const ByteString& response, const char* name, WideString& out);
