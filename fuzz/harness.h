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

// The input's bytes as UTF-16LE units (a final odd byte is left out), one wchar_t per unit: the
// stub's wchar_t is 16 bits, this machine's 32, so every value stays below 0x10000 as in the stub.
inline std::wstring Utf16Units(const uint8_t* data, size_t size) {
  std::wstring units;
  for (size_t i = 0; i + 1 < size; i += 2) units.push_back(static_cast<wchar_t>(data[i] | data[i + 1] << 8));
  return units;
}
