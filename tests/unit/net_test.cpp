#include <gtest/gtest.h>

#include "net/http_request.h"
#include "net/info_request.h"
#include "net/progress_format.h"

namespace {

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; *text; ++text) out.push_back(static_cast<char>(*text));
  return out;
}

ByteString Bytes(const std::string& text) {
  ByteString out;
  out.Append(text.data(), text.size());
  return out;
}

}  // namespace

TEST(SplitUrlTest, HostPathPortAndTlsOfATableOfUrls) {
  static const struct {
    const wchar_t* url;
    const char* host;  // "" where the URL cannot be split
    const char* path;
    WORD port;
    bool secure;
  } kCases[] = {
      {L"http://host/a/b?c=d#e", "host", "/a/b?c=d#e", 80, false},
      {L"http://host:8080/x", "host", "/x", 8080, false},
      {L"https://secure.example/p.msi", "secure.example", "/p.msi", 443, true},
      {L"https://secure.example:8443/p.msi", "secure.example", "/p.msi", 8443, true},
      {L"HTTPS://Secure.Example/P.msi", "Secure.Example", "/P.msi", 443, true},
      {L"http://127.0.0.3/dir/velko.msi", "127.0.0.3", "/dir/velko.msi", 80, false},
      {L"http://host/a b", "host", "/a b", 80, false},
      {L"http://host", "host", "", 80, false},
      {L"ftp://host/p.msi", "", "", 0, false},
      {L"file:///C:/p.msi", "", "", 0, false},
      {L"host/p.msi", "", "", 0, false},
      {L"", "", "", 0, false},
  };
  for (const auto& c : kCases) {
    UrlParts parts;
    const bool split = SplitUrl(c.url, parts);
    EXPECT_EQ(split, *c.host != 0) << Narrow(c.url);
    EXPECT_EQ(Narrow(parts.host.c_str()), c.host) << Narrow(c.url);
    EXPECT_EQ(Narrow(parts.path.c_str()), c.path) << Narrow(c.url);
    if (split) EXPECT_EQ(parts.port, c.port) << Narrow(c.url);
    if (split) EXPECT_EQ(parts.secure, c.secure) << Narrow(c.url);
  }
}

TEST(ExtractElementTest, TableOfReplies) {
  static const struct {
    const char* name;
    std::string reply;
    bool found;
    const char* text;
  } kCases[] = {
      {"plain", "<MSIURL>http://a/b.msi</MSIURL>", true, "http://a/b.msi"},
      {"inside a document", "<?xml?><DSData><MSIURL>http://a/b.msi</MSIURL></DSData>", true, "http://a/b.msi"},
      {"first of two", "<MSIURL>one</MSIURL><MSIURL>two</MSIURL>", true, "one"},
      {"no closing tag", "<MSIURL>http://a/b.msi", false, ""},
      {"closing tag only before", "</MSIURL>x<MSIURL>y", false, ""},
      {"zero byte hides the rest", std::string("<MSIURL>ab\0cd</MSIURL>", 22), false, ""},
      {"zero byte after the element", std::string("<MSIURL>ab</MSIURL>\0xyz", 23), true, "ab"},
      {"other letter case", "<msiurl>x</msiurl>", false, ""},
      {"empty element", "<MSIURL></MSIURL>", true, ""},
      {"kept as is: blanks and entities", "<MSIURL> http://a/?x=1&amp;y </MSIURL>", true,
       " http://a/?x=1&amp;y "},
      {"overlapping start", "<<MSIURL>>x</MSIURL>", true, ">x"},
      {"empty reply", "", false, ""},
  };
  for (const auto& c : kCases) {
    WideString out;
    out.Append(L"pre:");
    const bool found = ExtractElement(Bytes(c.reply), "MSIURL", out);
    EXPECT_EQ(found, c.found) << c.name;
    EXPECT_EQ(Narrow(out.c_str()), std::string("pre:") + c.text) << c.name;
  }
}

TEST(ExtractElementTest, BytesAboveAsciiAreWidenedOneToOne) {
  WideString out;
  ASSERT_TRUE(ExtractElement(Bytes("<MSIURL>\xe9\xff</MSIURL>"), "MSIURL", out));
  ASSERT_EQ(out.length(), 2u);
  EXPECT_EQ(out.c_str()[0], 0xe9);
  EXPECT_EQ(out.c_str()[1], 0xff);
}

// The exact quotient, rounded half up: also where the nearest double lies below the half (150,000
// bytes are 0.15 MB, stored as 0.1499...) or a huge count has no double of its own.
TEST(AppendMegabytesTest, RoundsTheExactQuotientHalfUp) {
  static const struct {
    uint64_t bytes;
    int decimals;
    const char* text;
  } kCases[] = {
      {2500000, 0, "3"},         {250000, 1, "0.3"},       {0, 0, "0"},
      {0, 1, "0.0"},             {499999, 0, "0"},         {500000, 0, "1"},
      {1500000, 0, "2"},         {25000000, 1, "25.0"},    {5242880, 0, "5"},
      {150000, 1, "0.2"},        {350000, 1, "0.4"},       {1150000, 1, "1.2"},
      {49999, 1, "0.0"},         {50000, 1, "0.1"},        {9960000, 1, "10.0"},
      {99500000, 0, "100"},      {4294967295u, 1, "4295.0"}, {1234567, 3, "1.235"},
      {10000000000000499999u, 0, "10000000000000"},  // the nearest double is ...000.5
      {UINT64_MAX, 0, "18446744073710"},
      {UINT64_MAX, 1, "18446744073709.6"},
  };
  for (const auto& c : kCases) {
    DownloadStatus out;
    ASSERT_TRUE(AppendMegabytes(out, c.bytes, c.decimals, L".")) << c.bytes;
    EXPECT_EQ(Narrow(out.c_str()), c.text) << c.bytes << " with " << c.decimals;
  }
}

// Exact percentages are never truncated one short (in double precision 0.29 * 100 is
// 28.999999999999996), boundaries fall where the exact quotient crosses them, and counts near
// 2^64 neither overflow nor lose their last digits.
TEST(DownloadProgressTest, PositionAndStatusForATableOfByteCounts) {
  static const struct {
    uint64_t received;
    uint64_t total;
    int position;
    const char* status;
  } kCases[] = {
      {5242880, 25000000, 40, "Downloading (5 of 25.0 Mb)..."},
      {2500000, 25000000, 30, "Downloading (3 of 25.0 Mb)..."},
      {25000000, 25000000, 120, "Downloading (25.0 of 25.0 Mb)..."},
      {290000, 1000000, 49, "Downloading (0 of 1.0 Mb)..."},
      {570000, 1000000, 77, "Downloading (1 of 1.0 Mb)..."},
      {580000, 1000000, 78, "Downloading (1 of 1.0 Mb)..."},
      {7, 100, 27, "Downloading (0 of 0.0 Mb)..."},
      {0, 300000000, 20, "Downloading (0 of 300.0 Mb)..."},
      {262144, 300000000, 20, "Downloading (0 of 300.0 Mb)..."},
      {2999999, 300000000, 20, "Downloading (3 of 300.0 Mb)..."},
      {3000000, 300000000, 21, "Downloading (3 of 300.0 Mb)..."},
      {299999999, 300000000, 119, "Downloading (300 of 300.0 Mb)..."},
      {1000, 1000, 120, "Downloading (0.0 of 0.0 Mb)..."},
      {1500, 1000, 170, "Downloading (0 of 0.0 Mb)..."},  // more than announced
      {150000, 150000, 120, "Downloading (0.2 of 0.2 Mb)..."},
      {4294967295u, 4294967295u, 120, "Downloading (4295.0 of 4295.0 Mb)..."},
      {4294967296u, 8589934592u, 70, "Downloading (4295 of 8589.9 Mb)..."},
      {(UINT64_MAX / 100) * 29, UINT64_MAX, 48, "Downloading (5349555781376 of 18446744073709.6 Mb)..."},
      {UINT64_MAX / 2, UINT64_MAX, 69, "Downloading (9223372036855 of 18446744073709.6 Mb)..."},
      {UINT64_MAX / 2 + 1, UINT64_MAX, 70, "Downloading (9223372036855 of 18446744073709.6 Mb)..."},
      {UINT64_MAX - 1, UINT64_MAX, 119, "Downloading (18446744073710 of 18446744073709.6 Mb)..."},
      {UINT64_MAX, UINT64_MAX, 120, "Downloading (18446744073709.6 of 18446744073709.6 Mb)..."},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(DownloadProgressPosition(c.received, c.total, 7), c.position) << c.received << " of " << c.total;
    DownloadStatus status;
    FormatDownloadStatus(c.received, c.total, L".", status);
    EXPECT_EQ(Narrow(status.c_str()), c.status) << c.received << " of " << c.total;
  }
}

TEST(DownloadProgressTest, UnknownTotalKeepsTheBarAndFarTooMuchStaysBounded) {
  EXPECT_EQ(DownloadProgressPosition(1000, 0, 37), 37);
  EXPECT_EQ(DownloadProgressPosition(0, 0, 10), 10);
  EXPECT_EQ(DownloadProgressPosition(4000000000u, 1, 10), 20 + 1000000);
  EXPECT_EQ(DownloadProgressPosition(UINT64_MAX, 1, 10), 20 + 1000000);
  EXPECT_EQ(DownloadProgressPosition(9999, 1, 10), 20 + 999900);  // just below the bound
}
