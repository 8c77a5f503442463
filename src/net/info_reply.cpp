#include "net/info_reply.h"

bool FindElement(const ByteString& response, const char* name, const char*& elementText, size_t& elementLength) {
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
  elementText = text + contentStart;
  elementLength = end - contentStart;
  return true;
}

bool ExtractElement(const ByteString& response, const char* name, WideString& out) {
  const char* text = nullptr;
  size_t length = 0;
  return FindElement(response, name, text, length) && WidenAppend(out, text, length);
}

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ReadPackagePin(const ByteString& response, PackagePin& pin) {
  pin = PackagePin{};
  const char* text = nullptr;
  size_t length = 0;
  if (FindElement(response, "MSISHA256", text, length)) {
    if (length != 2 * sizeof(pin.digest)) return false;
    for (size_t i = 0; i < sizeof(pin.digest); ++i) {
      const int high = HexValue(text[2 * i]);
      const int low = HexValue(text[2 * i + 1]);
      if (high < 0 || low < 0) return false;
      pin.digest[i] = static_cast<uint8_t>(high << 4 | low);
    }
    pin.hasDigest = true;
  }
  if (FindElement(response, "MSISIZE", text, length)) {
    if (!ParseDecimal64(text, length, pin.size)) return false;
    pin.hasSize = true;
  }
  return true;
}
