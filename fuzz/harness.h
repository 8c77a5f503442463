// What the fuzz targets share: a check that stops the run with a message (libFuzzer then saves the
// input), and UTF-16LE units read from the input.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#define FUZZ_CHECK(condition)                                                        \
  do {                                                                               \
    if (!(condition)) {                                                              \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                       \
    }                                                                                \
  } while (0)

// Bytes as UTF-16LE units (a final odd byte is left out), one wchar_t per unit: the stub's wchar_t
// is 16 bits, this machine's 32, so every value stays below 0x10000 as in the stub.
inline std::wstring Utf16Units(const std::string& bytes) {
  std::wstring units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<wchar_t>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1]) << 8));
  }
  return units;
}

// Text from runs is cut at this many bytes: four lines of a thousand units. Longer texts only slow
// the fuzzer down (tens of times for logs of a few hundred KB) without reaching anything new.
constexpr size_t kRunsMaxBytes = 8192;

// UTF-16LE text given as it is (`runs` false) or as runs, so that lines of a thousand units and more
// cost the fuzzer a few bytes: each 3 bytes are a unit (UTF-16LE) and how many times it comes, less
// one; 1 or 2 bytes left over are appended as they are.
inline std::string Utf16Text(const uint8_t* data, size_t size, bool runs) {
  if (!runs) return std::string(reinterpret_cast<const char*>(data), size);
  std::string bytes;
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    for (int n = 0; n <= data[i + 2] && bytes.size() < kRunsMaxBytes; ++n) {
      bytes.append(reinterpret_cast<const char*>(data + i), 2);
    }
  }
  bytes.append(reinterpret_cast<const char*>(data + i), size - i);
  return bytes;
}
