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

TEST(AppendFixedTest, RoundsTheExactExpansionHalfUp) {
  static const struct {
    double value;
    int decimals;
    const char* text;
  } kCases[] = {
      {2.5, 0, "3"},       {0.25, 1, "0.3"},      {0.0, 0, "0"},        {0.0, 1, "0.0"},
      {0.4999, 0, "0"},    {1.5, 0, "2"},         {25.0, 1, "25.0"},    {5.24288, 0, "5"},
      {0.15, 1, "0.1"},  // 0.15 is 0.1499999... as a double
      {0.35, 1, "0.3"},  // 0.34999...
      {0.45, 1, "0.5"},  // 0.450000000000000011...
      {9.96, 1, "10.0"},   {99.5, 0, "100"},      {4294.967295, 1, "4295.0"},
      {0.000001, 1, "0.0"}, {1e-300, 0, "0"},
  };
  for (const auto& c : kCases) {
    DownloadStatus out;
    ASSERT_TRUE(AppendFixed(out, c.value, c.decimals));
    EXPECT_EQ(Narrow(out.c_str()), c.text) << c.value << " with " << c.decimals;
  }
}

TEST(DownloadProgressTest, PositionAndStatusForATableOfByteCounts) {
  static const struct {
    DWORD received;
    DWORD total;
    int position;
    const char* status;
  } kCases[] = {
      {5242880, 25000000, 40, "Downloading (5 of 25.0 Mb)..."},
      {2500000, 25000000, 30, "Downloading (3 of 25.0 Mb)..."},
      {25000000, 25000000, 120, "Downloading (25.0 of 25.0 Mb)..."},
      {262144, 300000000, 20, "Downloading (0 of 300.0 Mb)..."},
      {299999999, 300000000, 119, "Downloading (300 of 300.0 Mb)..."},
      {1000, 1000, 120, "Downloading (0.0 of 0.0 Mb)..."},
      {1500, 1000, 170, "Downloading (0 of 0.0 Mb)..."},  // more than announced
      {250000, 250000, 120, "Downloading (0.3 of 0.3 Mb)..."},
      {4294967295u, 4294967295u, 120, "Downloading (4295.0 of 4295.0 Mb)..."},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(DownloadProgressPosition(c.received, c.total, 7), c.position) << c.received;
    DownloadStatus status;
    FormatDownloadStatus(c.received, c.total, status);
    EXPECT_EQ(Narrow(status.c_str()), c.status) << c.received;
  }
}

TEST(DownloadProgressTest, ContentLengthZeroKeepsTheBarWhereItIs) {
  EXPECT_EQ(DownloadProgressPosition(1000, 0, 37), 37);
  EXPECT_EQ(DownloadProgressPosition(0, 0, 10), 10);
  EXPECT_EQ(DownloadProgressPosition(4000000000u, 1, 10), 20 + 1000000);  // bounded, not undefined
}
