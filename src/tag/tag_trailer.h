// The installer tag's trailer: 12 bytes at the very end of the executable that point at the download
// identifier. Three unsigned 32-bit big-endian fields:
//   end-12  magic      E4 1C 31 39
//   end-8   id offset  absolute file offset of the identifier's first byte
//   end-4   id length  bytes of identifier (no terminator in the file)
//
// Only the checks of bytes that anyone can write into a copy; the file reads are the tag stage's
// (installer_tag.h). No platform header: this also builds natively, for the fuzzers.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr uint32_t kInstallerTagMagic = 0xE41C3139;
constexpr size_t kInstallerTagBytes = 12;

// The longest identifier, in bytes; the run keeps it with a terminating NUL.
constexpr size_t kDownloadIdMaxBytes = 99;

struct TagTrailer {
  uint32_t idOffset;
  uint32_t idLength;  // in bytes
  // The identifier can be read whole: it is empty (nothing to read, wherever it points), or it is at
  // most kDownloadIdMaxBytes bytes that lie inside the file at an offset below 2 GiB (the tag stage
  // seeks with a signed 32-bit distance).
  bool idReadable;
};

// Parses `last`, the last kInstallerTagBytes bytes of a file of `fileBytes` bytes (at least that
// many). Returns false when the magic does not match; otherwise fills `trailer` and returns true.
bool ParseTagTrailer(const uint8_t* last, uint64_t fileBytes, TagTrailer& trailer);
