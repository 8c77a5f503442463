#include "net/info_reply.h"

bool ExtractElement(const ByteString& response, const char* name, WideString& out) {
  // "<" name ">" and "</" name ">", the longer, with a byte to spare: names of up to 60 bytes.
  char open[kElementNameMaxBytes + 4];
  char close[kElementNameMaxBytes + 4];
  const size_t nameLength = TextLength(name);
  if (nameLength + 3 >= sizeof(close)) return false;
  open[0] = '<';
  close[0] = '<';
  close[1] = '/';
  for (size_t i = 0; i < nameLength; ++i) open[1 + i] = close[2 + i] = name[i];
  open[1 + nameLength] = '>';
  close[2 + nameLength] = '>';
  const size_t openLength = nameLength + 2;
  const size_t closeLength = nameLength + 3;

  // The search stops at the first zero byte (the string is always terminated at its end).
  const char* text = response.c_str();
  const size_t length = TextLength(text);
  const size_t start = FindBytes(text, length, 0, open, openLength);
  if (start == length) return false;
  const size_t contentStart = start + openLength;
  const size_t end = FindBytes(text, length, contentStart, close, closeLength);
  if (end == length) return false;
  return WidenAppend(out, text + contentStart, end - contentStart);
}
