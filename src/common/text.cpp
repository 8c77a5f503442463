#include "common/text.h"

bool SameText(const wchar_t* a, const wchar_t* b) {
  while (*a != 0 && *a == *b) ++a, ++b;
  return *a == *b;
}

bool StartsWith(const wchar_t* text, const wchar_t* prefix) {
  for (size_t i = 0; prefix[i] != 0; ++i) {
    if (text[i] != prefix[i]) return false;
  }
  return true;
}

size_t FindBytes(const char* text, size_t length, size_t from, const char* needle, size_t needleLength) {
  for (size_t i = from; i + needleLength <= length; ++i) {
    size_t k = 0;
    while (k < needleLength && text[i + k] == needle[k]) ++k;
    if (k == needleLength) return i;
  }
  return length;
}

size_t CopyCut(wchar_t* out, size_t capacity, const wchar_t* text) {
  if (capacity == 0) return 0;
  size_t i = 0;
  for (; i + 1 < capacity && text[i] != 0; ++i) out[i] = text[i];
  out[i] = 0;
  return i;
}
