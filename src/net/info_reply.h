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

// Finds the element as ExtractElement does; on success points `text` at its content inside
// `response` and sets `length` (bytes).
bool FindElement(const ByteString& response, const char* name, const char*& text, size_t& length);

// The package as the publisher pinned it in the reply: the SHA-256 of its bytes and its length, each
// optional (older sites send neither).
struct PackagePin {
  bool hasDigest;
  uint8_t digest[32];
  bool hasSize;
  uint64_t size;
};

// Reads the optional <MSISHA256> (64 hexadecimal digits, either case) and <MSISIZE> (the length in
// bytes: a plain decimal number that fits 64 bits) elements of `response`, found as ExtractElement
// finds MSIURL. Returns false when either is present but cannot be read as that (the publisher meant
// to pin the package and the pin is damaged); `pin` is then unspecified. An absent element leaves
// its part unset.
bool ReadPackagePin(const ByteString& response, PackagePin& pin);
