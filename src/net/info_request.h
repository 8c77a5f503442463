// The download-information request: one synchronous GET whose reply names the package to fetch.
#pragma once

#include "common/strings.h"

// Fetches `url` synchronously into `response` (emptied first), byte for byte. No window messages are
// dispatched meanwhile. Returns false when the request failed, with the text for the user in
// `failure`; `response` then holds whatever arrived before the failure. Running out of memory while
// the reply grows ends the transfer as a failure.
bool FetchToMemory(const wchar_t* url, ByteString& response, WideString& failure);

// Finds the first "<name>" in `response` and the first "</name>" after it, comparing bytes exactly,
// in the part of the response before its first zero byte. When both are found, appends the bytes
// between them to `out`, each widened to the UTF-16 unit of the same value, and returns true.
// Otherwise returns false and leaves `out` as it was.
bool ExtractElement(const ByteString& response, const char* name, WideString& out);
