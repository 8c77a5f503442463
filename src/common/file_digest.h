// The SHA-256 of a file, taken with the system's own provider (bcrypt.dll, loaded from the system
// folder at the first use): no hashing code of our own.
#pragma once

#include <windows.h>

#include <stdint.h>

constexpr size_t kSha256Bytes = 32;

// Reads `file` from its start to its end and puts the SHA-256 of its bytes into `digest`. Returns
// false when the provider cannot be loaded or used, or the file cannot be read; `digest` is then
// unspecified.
bool FileSha256(HANDLE file, uint8_t (&digest)[kSha256Bytes]);
