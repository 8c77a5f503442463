#include "common/strings.h"

bool WidenAppend(WideString& out, const char* bytes, size_t count) {
  const size_t start = out.length();
  if (!out.Resize(start + count)) return false;
  wchar_t* units = out.data();
  for (size_t i = 0; i < count; ++i) units[start + i] = static_cast<unsigned char>(bytes[i]);
  return true;
}
