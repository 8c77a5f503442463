// ReadPackagePin. Input: one byte that chooses the reply's form, then the reply's bytes.
//   bit 0   in the reply, bytes 01 to 04 stand for "<MSISHA256>", "</MSISHA256>", "<MSISIZE>" and
//           "</MSISIZE>", so that whole tags cost the fuzzer one byte
//
// Oracle: a plain search with std::string over the reply up to its first zero byte (the first
// "<NAME>", the first "</NAME>" after it), then the digest read as exactly 64 hexadecimal digits and
// the size as one or more decimal digits whose value, compared as a digit string, is at most
// 2^64 - 1. The reply is readable unless an element is found and its content is not that; a
// readable reply's pin holds exactly the elements found.
#include <string>

#include "../harness.h"
#include "net/info_reply.h"

namespace {

bool Element(const std::string& text, const std::string& name, std::string& content) {
  const std::string open = "<" + name + ">";
  const size_t start = text.find(open);
  if (start == std::string::npos) return false;
  const size_t end = text.find("</" + name + ">", start + open.size());
  if (end == std::string::npos) return false;
  content = text.substr(start + open.size(), end - start - open.size());
  return true;
}

int Hex(char c) {
  const std::string digits = "0123456789abcdef";
  const size_t at = digits.find(static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c));
  return at == std::string::npos ? -1 : static_cast<int>(at);
}

// The number `digits` stands for, if it is one or more decimal digits and at most 2^64 - 1.
bool Size(const std::string& digits, uint64_t& size) {
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  const size_t firstNonZero = digits.find_first_not_of('0');
  const std::string significant = firstNonZero == std::string::npos ? "0" : digits.substr(firstNonZero);
  if (significant.size() > 20 || (significant.size() == 20 && significant > "18446744073709551615")) return false;
  size = std::stoull(significant);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const char* const kTags[] = {"<MSISHA256>", "</MSISHA256>", "<MSISIZE>", "</MSISIZE>"};
  std::string reply;
  for (size_t at = 1; at < size; ++at) {
    if ((data[0] & 1) != 0 && data[at] >= 1 && data[at] <= 4) {
      reply += kTags[data[at] - 1];
    } else {
      reply += static_cast<char>(data[at]);
    }
  }

  ByteString response;
  FUZZ_CHECK(response.Append(reply.data(), reply.size()));
  PackagePin pin;
  const bool readable = ReadPackagePin(response, pin);

  const std::string text = reply.c_str();
  std::string digest, length;
  const bool hasDigest = Element(text, "MSISHA256", digest);
  const bool hasSize = Element(text, "MSISIZE", length);
  bool expectReadable = true;
  uint8_t bytes[32] = {};
  if (hasDigest) {
    expectReadable = digest.size() == 64;
    for (size_t i = 0; expectReadable && i < 32; ++i) {
      const int high = Hex(digest[2 * i]);
      const int low = Hex(digest[2 * i + 1]);
      expectReadable = high >= 0 && low >= 0;
      if (expectReadable) bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
  }
  uint64_t expectedSize = 0;
  if (expectReadable && hasSize) expectReadable = Size(length, expectedSize);

  FUZZ_CHECK(readable == expectReadable);
  if (!readable) return 0;
  FUZZ_CHECK(pin.hasDigest == hasDigest);
  FUZZ_CHECK(pin.hasSize == hasSize);
  if (hasDigest) {
    for (size_t i = 0; i < 32; ++i) FUZZ_CHECK(pin.digest[i] == bytes[i]);
  }
  if (hasSize) FUZZ_CHECK(pin.size == expectedSize);
  return 0;
}
