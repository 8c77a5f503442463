// SHA-256 with the system's own provider (bcrypt.dll, loaded from the system folder at the first
// use): no hashing code of our own. Of a whole file, or of bytes as they come (a download hashes
// what it writes, so that no second pass over the file is needed).
#pragma once

#include <windows.h>

#include <stdint.h>

constexpr size_t kSha256Bytes = 32;

// A SHA-256 taken piece by piece. Zero-initialised it holds nothing; Sha256Start makes it ready.
// `bytes` counts what was added since the start. After any failure the stream is broken: further
// calls do nothing and Sha256Finish fails.
struct Sha256Stream {
  void* algorithm;  // the provider's handles
  void* hash;
  uint64_t bytes;
  bool broken;
};

// (Re)starts `stream` empty, releasing what it held. Returns false (broken) when the provider
// cannot be loaded or used.
bool Sha256Start(Sha256Stream& stream);

// Adds `count` bytes. Returns false when the stream is (or becomes) broken.
bool Sha256Add(Sha256Stream& stream, const void* bytes, DWORD count);

// Restarts `stream` and adds the first `length` bytes of `file` (read from its start; the file
// position is left after them). Returns false when the file is shorter or cannot be read, or the
// provider fails.
bool Sha256StartWithFile(Sha256Stream& stream, HANDLE file, uint64_t length);

// The digest of everything added; the stream is then released. Returns false when it is broken.
bool Sha256Finish(Sha256Stream& stream, uint8_t (&digest)[kSha256Bytes]);

// Releases what `stream` holds (it may hold nothing); it is then zero again.
void Sha256Release(Sha256Stream& stream);

// Reads `file` from its start to its end and puts the SHA-256 of its bytes into `digest`. Returns
// false when the provider cannot be loaded or used, or the file cannot be read; `digest` is then
// unspecified.
bool FileSha256(HANDLE file, uint8_t (&digest)[kSha256Bytes]);
