// ExtractElement. Input: one byte that chooses the element's name and the reply's form, then the
// name's bytes if any, then the reply's bytes.
//   bit 7   the name is "MSIURL", the stub's; otherwise it is the next (bits 0-5) bytes, up to 63,
//           cut at their first zero byte
//   bit 6   in the reply, byte 01 stands for "<name>" and byte 02 for "</name>", so that tags of
//           any name cost the fuzzer one byte
//
// Oracle: a plain search with std::string over the reply up to its first zero byte: the first
// "<name>", the first "</name>" after it, the bytes between widened one to one and appended to what
// `out` held; nothing appended otherwise, and nothing found for names over 60 bytes.
#include <string>

#include "../harness.h"
#include "net/info_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::string name = "MSIURL";
  size_t at = 1;
  if ((data[0] & 0x80) == 0) {
    const size_t nameBytes = (data[0] & 0x3F) < size - 1 ? (data[0] & 0x3F) : size - 1;
    name.assign(reinterpret_cast<const char*>(data + 1), nameBytes);
    name = name.c_str();
    at += nameBytes;
  }
  std::string reply;
  for (; at < size; ++at) {
    if ((data[0] & 0x40) != 0 && (data[at] == 1 || data[at] == 2)) {
      reply += (data[at] == 1 ? "<" : "</") + name + ">";
    } else {
      reply += static_cast<char>(data[at]);
    }
  }

  ByteString response;
  FUZZ_CHECK(response.Append(reply.data(), reply.size()));
  WideString out;
  FUZZ_CHECK(out.Append(L"pre:"));
  const bool found = ExtractElement(response, name.c_str(), out);

  const std::string text = reply.c_str();
  const std::string open = "<" + name + ">";
  const std::string close = "</" + name + ">";
  bool expectFound = false;
  std::wstring expected = L"pre:";
  const size_t start = text.find(open);
  if (name.size() <= 60 && start != std::string::npos) {
    const size_t contentStart = start + open.size();
    const size_t end = text.find(close, contentStart);
    if (end != std::string::npos) {
      expectFound = true;
      for (size_t i = contentStart; i < end; ++i) expected.push_back(static_cast<unsigned char>(text[i]));
    }
  }
  FUZZ_CHECK(found == expectFound);
  FUZZ_CHECK(out.length() == expected.size());
  FUZZ_CHECK(std::wstring(out.c_str(), out.length()) == expected);
  FUZZ_CHECK(out.c_str()[out.length()] == 0);
  return 0;
}
