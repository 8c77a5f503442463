// Reading the information server's reply. No platform header: this also builds natively, for the
// fuzzers.
#pragma once

#include "common/strings.h"

// The longest element name ExtractElement looks for, in bytes.
constexpr size_t kElementNameMaxBytes = 60;

// Finds the first "<name>" in `response` and the first "</name>" after it, comparing bytes exactly,
// in the part of the response before its first zero byte. When both are found, appends the bytes
// between them to `out`, each widened to the UTF-16 unit of the same value, and returns true.
// Otherwise (also for a name longer than kElementNameMaxBytes, or when memory runs out) returns false
// and leaves `out` as it was.
bool ExtractElement(const ByteString& response, const char* name, WideString& out);
