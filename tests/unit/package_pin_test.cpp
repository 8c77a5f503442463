// The package's digest and length as the information reply publishes them. Built twice: for Windows
// (run under Wine, with the other unit tests) and natively by fuzz/CMakeLists.txt (under the
// sanitizers).
#include "net/info_reply.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kDigest = "00112233445566778899aabbccddeeffFFEEDDCCBBAA99887766554433221100";

TEST(PackagePinTest, TableOfReplies) {
  static const struct {
    const char* name;
    std::string reply;
    bool readable;
    bool hasDigest;
    bool hasSize;
    uint64_t size;
  } kCases[] = {
      {"neither: an older site", "<MSIURL>http://a/b.msi</MSIURL>", true, false, false, 0},
      {"both", "<MSISHA256>" + kDigest + "</MSISHA256><MSISIZE>115200</MSISIZE>", true, true, true, 115200},
      {"digest only, in either case", "<MSISHA256>" + kDigest + "</MSISHA256>", true, true, false, 0},
      {"size only", "<MSISIZE>1</MSISIZE>", true, false, true, 1},
      {"size with leading zeros", "<MSISIZE>000042</MSISIZE>", true, false, true, 42},
      {"size at 2^32", "<MSISIZE>4294967296</MSISIZE>", true, false, true, 4294967296ull},
      {"size at 2^64 - 1", "<MSISIZE>18446744073709551615</MSISIZE>", true, false, true, 18446744073709551615ull},
      {"size at 2^64", "<MSISIZE>18446744073709551616</MSISIZE>", false, false, false, 0},
      {"size far beyond 2^64", "<MSISIZE>99999999999999999999999</MSISIZE>", false, false, false, 0},
      {"empty size", "<MSISIZE></MSISIZE>", false, false, false, 0},
      {"size with a sign", "<MSISIZE>+5</MSISIZE>", false, false, false, 0},
      {"size with blanks", "<MSISIZE> 5</MSISIZE>", false, false, false, 0},
      {"size in hex", "<MSISIZE>0x10</MSISIZE>", false, false, false, 0},
      {"digest one digit short", "<MSISHA256>" + kDigest.substr(1) + "</MSISHA256>", false, false, false, 0},
      {"digest one digit long", "<MSISHA256>" + kDigest + "0</MSISHA256>", false, false, false, 0},
      {"digest with a non-hex digit", "<MSISHA256>" + kDigest.substr(0, 63) + "g</MSISHA256>", false, false,
       false, 0},
      {"digest in blanks", "<MSISHA256> " + kDigest + " </MSISHA256>", false, false, false, 0},
      {"a good digest with a damaged size", "<MSISHA256>" + kDigest + "</MSISHA256><MSISIZE>x</MSISIZE>", false,
       false, false, 0},
      {"lower-case tags are other elements", "<msisize>x</msisize><msisha256>y</msisha256>", true, false, false, 0},
      {"after a zero byte: not seen", std::string("<MSIURL>u</MSIURL>\0<MSISIZE>x</MSISIZE>", 40), true, false,
       false, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ByteString reply;
    ASSERT_TRUE(reply.Append(c.reply.data(), c.reply.size()));
    PackagePin pin;
    ASSERT_EQ(ReadPackagePin(reply, pin), c.readable);
    if (!c.readable) continue;
    EXPECT_EQ(pin.hasDigest, c.hasDigest);
    EXPECT_EQ(pin.hasSize, c.hasSize);
    if (c.hasSize) EXPECT_EQ(pin.size, c.size);
    if (c.hasDigest) {
      static const uint8_t kBytes[32] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa,
                                         0xbb, 0xcc, 0xdd, 0xee, 0xff, 0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa,
                                         0x99, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00};
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(pin.digest), 32),
                std::string(reinterpret_cast<const char*>(kBytes), 32));
    }
  }
}

}  // namespace
