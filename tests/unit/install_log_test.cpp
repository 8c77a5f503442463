#include "install/install_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install_log_reference.h"
#include "install_test_support.h"

namespace {

using install_test::ReadValues;
using install_test::Utf16;

constexpr size_t kChunkUnits = LogReader::kChunkBytes / sizeof(wchar_t);
const std::wstring kCrLf = L"\r\n";
const std::wstring kDir = L"C:\\Program Files\\App\\";
const std::wstring kRecord =
    L"InstallFiles: File: app.exe,  Directory: C:\\Program Files\\App\\,  Size: 4096";

std::wstring Record(const std::wstring& file, const std::wstring& directory) {
  return L"InstallFiles: File: " + file + L",  Directory: " + directory + L",  Size: 1024";
}

// `count` units that are neither CR nor LF.
std::wstring Filler(size_t count) { return std::wstring(count, L'x'); }

// Units that tell their position: the n-th unit (from 1) is U+4000 + n.
std::wstring Numbered(size_t first, size_t last) {
  std::wstring text;
  for (size_t n = first; n <= last; ++n) text += static_cast<wchar_t>(0x4000 + n);
  return text;
}

// Short noise lines ending in CR LF, `units` units in all (at least 2).
std::wstring NoiseLinesOf(size_t units) {
  std::wstring text;
  while (units > 0) {
    size_t length = units < 900 ? units : 900;
    if (units - length == 1) --length;  // leave room for a whole CR LF
    text += Filler(length - 2) + kCrLf;
    units -= length;
  }
  return text;
}

class InstallLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = install_test::MakeScratchFolder(L"velko-install-log-test");
    keyPath_ = install_test::ScratchKeyPath(L"InstallLog");
    install_test::DeleteScratchKey(keyPath_);
    ZeroMemory(&state_, sizeof(state_));
    lstrcpyA(state_.downloadId, kId);
  }

  void TearDown() override {
    for (HANDLE file : open_) CloseHandle(file);
    install_test::DeleteScratchKey(keyPath_);
    install_test::RemoveTree(folder_);
  }

  // A log file holding exactly `bytes`, open for reading at its start.
  HANDLE OpenLog(const std::string& bytes) {
    const std::wstring path = folder_ + L"\\log-" + std::to_wstring(open_.size()) + L".log";
    EXPECT_TRUE(install_test::WriteBytes(path, bytes));
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    open_.push_back(file);
    return file;
  }

  std::vector<std::wstring> ReadAllLines(const std::string& bytes) {
    LogReader reader(ReadLogFile, OpenLog(bytes));
    std::vector<std::wstring> lines;
    wchar_t line[kLogLineCapacityUnits];
    while (size_t length = ReadLogLine(reader, line)) {
      EXPECT_EQ(line[length], 0);
      lines.push_back(std::wstring(line, length));
    }
    return lines;
  }

  // The values recorded, checked to be REG_BINARY with the identifier's bytes.
  std::vector<std::wstring> RecordedDirectories() {
    std::vector<std::wstring> names;
    for (const auto& value : ReadValues(keyPath_)) {
      EXPECT_EQ(value.second.type, static_cast<DWORD>(REG_BINARY))
          << "value " << install_test::Utf8(value.first);
      EXPECT_EQ(value.second.data, kId) << "value " << install_test::Utf8(value.first);
      names.push_back(value.first);
    }
    return names;
  }

  static constexpr char kId[] = "0123ABCD-4567EF01-\x7f\x80\xff";
  std::wstring folder_;
  std::wstring keyPath_;
  StubState state_;
  std::vector<HANDLE> open_;
};

TEST_F(InstallLogTest, ScanRecordsTheDirectoryOfEveryExecutableRecord) {
  const std::wstring otherDir = L"D:\\Other\\";
  const struct {
    const char* name;
    std::string log;
    std::vector<std::wstring> directories;  // in the registry's (sorted) order
  } kCases[] = {
      {"matching record", Utf16(kRecord + kCrLf), {kDir}},
      {"record among noise",
       Utf16(L"=== Verbose logging started ===\r\nAction start 10:00:01: InstallFiles.\r\n" + kRecord +
             kCrLf + L"Action ended 10:00:02: InstallFiles. Return value 1.\r\n"),
       {kDir}},
      {"not an executable", Utf16(Record(L"app.dll", kDir) + kCrLf), {}},
      {"upper-case extension", Utf16(Record(L"APP.EXE", kDir) + kCrLf), {}},
      {"one blank before Directory",
       Utf16(L"InstallFiles: File: app.exe, Directory: C:\\Program Files\\App\\,  Size: 1\r\n"),
       {}},
      {"one blank before Size",
       Utf16(L"InstallFiles: File: app.exe,  Directory: C:\\Program Files\\App\\, Size: 1\r\n"),
       {}},
      {"no Size piece",
       Utf16(L"InstallFiles: File: app.exe,  Directory: C:\\Program Files\\App\\\r\n"),
       {}},
      {"record not at the start of its line", Utf16(L" " + kRecord + kCrLf), {}},
      {"empty directory names the default value",
       Utf16(L"InstallFiles: File: app.exe,  Directory: ,  Size: 0\r\n"),
       {L""}},
      {"two executables in one directory",
       Utf16(Record(L"a.exe", kDir) + kCrLf + Record(L"b.exe", kDir) + kCrLf),
       {kDir}},
      {"directory with a blank and an ampersand",
       Utf16(Record(L"d.exe", L"C:\\With Blank & More\\") + kCrLf),
       {L"C:\\With Blank & More\\"}},
      {"executables in two directories",
       Utf16(Record(L"a.exe", kDir) + kCrLf + Record(L"b.exe", otherDir) + kCrLf),
       {kDir, otherDir}},
      {"a line of only CR LF does not end the scan", Utf16(L"noise\r\n\r\n" + kRecord + kCrLf), {kDir}},
      {"a lone LF does not end a line", Utf16(L"noise\n" + kRecord + kCrLf), {}},
      {"a lone CR does not end a line", Utf16(L"noise\r" + kRecord + kCrLf), {}},
      {"no final CR LF", Utf16(L"noise\r\n" + kRecord), {kDir}},
      {"a byte-order mark belongs to the first line",
       Utf16(L"\xFEFF" + kRecord + kCrLf + Record(L"b.exe", otherDir) + kCrLf),
       {otherDir}},
      {"odd final byte", Utf16(kRecord + kCrLf) + "A", {kDir}},
      {"odd final byte right after a record", Utf16(kRecord) + "A", {kDir}},
      {"8-bit log",
       "InstallFiles: File: app.exe,  Directory: C:\\Program Files\\App\\,  Size: 4096\r\n",
       {}},
      {"record after a 999-unit line", Utf16(Filler(999) + kCrLf + kRecord + kCrLf), {kDir}},
      // The 1000-unit line loses its CR, so the next line starts with the LF.
      {"record after a 1000-unit line", Utf16(Filler(1000) + kCrLf + kRecord + kCrLf), {}},
      {"record cut by the 1000-unit limit",
       Utf16(L"InstallFiles: File: app.exe,  Directory: C:\\" + Filler(980) + L"\\,  Size: 1\r\n"),
       {}},
      {"CR at the end of a chunk, LF at the start of the next",
       Utf16(NoiseLinesOf(kChunkUnits - 2) + L"y\r\n" + kRecord + kCrLf),
       {kDir}},
      {"record straddling a chunk boundary",
       Utf16(NoiseLinesOf(kChunkUnits - 30) + kRecord + kCrLf),
       {kDir}},
  };
  for (const auto& c : kCases) {
    install_test::DeleteScratchKey(keyPath_);
    ScanInstallLog(state_, OpenLog(c.log), keyPath_.c_str());
    EXPECT_EQ(RecordedDirectories(), c.directories) << c.name;
  }
}

TEST_F(InstallLogTest, RecordWritesTheIdentifierBytesUpToTheFirstNul) {
  const struct {
    const char* name;
    std::string id;  // bytes of state.downloadId, NUL included when there is one
    std::string recorded;
  } kCases[] = {
      {"empty identifier", std::string(1, '\0'), ""},
      {"stops at the first NUL", std::string("AB\0CD", 6), "AB"},
      {"longest identifier", std::string(99, '\x9c') + '\0', std::string(99, '\x9c')},
  };
  for (const auto& c : kCases) {
    install_test::DeleteScratchKey(keyPath_);
    ZeroMemory(state_.downloadId, sizeof(state_.downloadId));
    CopyMemory(state_.downloadId, c.id.data(), c.id.size());
    RecordInstallDirectory(state_, L"C:\\Dir\\", keyPath_.c_str());
    const auto values = ReadValues(keyPath_);
    ASSERT_EQ(values.count(L"C:\\Dir\\"), 1u) << c.name;
    EXPECT_EQ(values.at(L"C:\\Dir\\").type, static_cast<DWORD>(REG_BINARY)) << c.name;
    EXPECT_EQ(values.at(L"C:\\Dir\\").data, c.recorded) << c.name;
  }
}

TEST_F(InstallLogTest, LinesEndAtCrLfOnly) {
  const struct {
    const char* name;
    std::string bytes;
    std::vector<std::wstring> lines;
  } kCases[] = {
      {"CR LF ends a line, which keeps its CR", Utf16(L"a\r\nbc\r\n"), {L"a\r", L"bc\r"}},
      {"lone LF and lone CR are ordinary units", Utf16(L"a\nb\rc\r\n"), {L"a\nb\rc\r"}},
      {"an LF first on a line pairs with nothing", Utf16(L"\n\r\n"), {L"\n\r"}},
      {"CR CR LF", Utf16(L"\r\r\n"), {L"\r\r"}},
      {"lines of only CR LF", Utf16(L"\r\n\r\nx"), {L"\r", L"\r", L"x"}},
      {"no final CR LF", Utf16(L"ab"), {L"ab"}},
      {"empty file", "", {}},
      {"odd final byte is ignored", Utf16(L"ab\r\n") + "c", {L"ab\r"}},
      {"odd final byte inside a line", Utf16(L"ab") + "c", {L"ab"}},
      {"a single byte", "c", {}},
      {"byte-order mark is the first unit", Utf16(L"\xFEFFok\r\n"), {L"\xFEFFok\r"}},
      {"8-bit text pairs bytes into units", "ab\r\n", {std::wstring{wchar_t(0x6261), wchar_t(0x0A0D)}}},
  };
  for (const auto& c : kCases) EXPECT_EQ(ReadAllLines(c.bytes), c.lines) << c.name;
}

TEST_F(InstallLogTest, LongLinesAreCutAt1000UnitsLosingTheNextUnit) {
  const struct {
    const char* name;
    std::wstring text;
    std::vector<std::wstring> lines;
  } kCases[] = {
      {"2,500 units: units 1001 and 2002 are lost",
       Numbered(1, 2500) + kCrLf,
       {Numbered(1, 1000), Numbered(1002, 2001), Numbered(2003, 2500) + L"\r"}},
      {"1,000 units: the CR is lost and the LF starts the next line",
       Numbered(1, 1000) + kCrLf + L"next\r\n",
       {Numbered(1, 1000), L"\nnext\r"}},
      {"999 units: read whole",
       Numbered(1, 999) + kCrLf + L"next\r\n",
       {Numbered(1, 999) + L"\r", L"next\r"}},
      {"1,001 units: the last is lost", Numbered(1, 1001) + kCrLf, {Numbered(1, 1000), L"\r"}},
      {"1,000 units at the end of the file", Numbered(1, 1000), {Numbered(1, 1000)}},
  };
  for (const auto& c : kCases) EXPECT_EQ(ReadAllLines(Utf16(c.text)), c.lines) << c.name;
}

// The buffered reader against one ReadFile per unit, line by line, on logs whose interesting units
// sit on the chunk boundaries, and on a long random one.
TEST_F(InstallLogTest, BufferedReadingMatchesReadingUnitByUnit) {
  // Runs of filler, short and long (so that lines around 1000 units are common), between line ends,
  // lone CRs and LFs.
  std::wstring random;
  unsigned seed = 12345;
  const auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  const wchar_t* const kBreaks[] = {L"\r\n", L"\r\n", L"\r", L"\n", L"\r\r\n", L"\n\r\n"};
  while (random.size() < 5 * kChunkUnits) {
    random += Filler(next() % 4 == 0 ? 950 + next() % 100 : next() % 40);
    random += kBreaks[next() % 6];
  }
  const struct {
    const char* name;
    std::string bytes;
  } kCases[] = {
      {"CR last in a chunk, LF first in the next", Utf16(NoiseLinesOf(kChunkUnits - 2) + L"y\r\nz\r\n")},
      {"line straddling a chunk boundary", Utf16(NoiseLinesOf(kChunkUnits - 30) + Filler(60) + kCrLf)},
      {"1000-unit cut at a chunk boundary, dropped unit first in the next",
       Utf16(NoiseLinesOf(kChunkUnits - 1000) + Numbered(1, 1500) + kCrLf)},
      {"999-unit line whose LF starts the next chunk",
       Utf16(NoiseLinesOf(kChunkUnits - 1000) + Filler(999) + kCrLf + L"after\r\n")},
      {"random, whole units", Utf16(random)},
      {"random, odd final byte", Utf16(random) + "Q"},
      {"exactly one chunk", Utf16(NoiseLinesOf(kChunkUnits))},
  };
  for (const auto& c : kCases) {
    const HANDLE plainFile = OpenLog(c.bytes);
    LogReader reader(ReadLogFile, OpenLog(c.bytes));
    wchar_t expected[kLogLineCapacityUnits];
    wchar_t actual[kLogLineCapacityUnits];
    for (int lineNumber = 1;; ++lineNumber) {
      const size_t expectedLength = ReadLogLineUnitByUnit(ReadLogFile, plainFile, expected);
      const size_t actualLength = ReadLogLine(reader, actual);
      ASSERT_EQ(actualLength, expectedLength) << c.name << ", line " << lineNumber;
      ASSERT_EQ(std::wstring(actual, actualLength + 1), std::wstring(expected, expectedLength + 1))
          << c.name << ", line " << lineNumber;
      if (expectedLength == 0) break;
    }
  }
}

TEST_F(InstallLogTest, FailedReadEndsTheScan) {
  const std::wstring path = folder_ + L"\\write-only.log";
  ASSERT_TRUE(install_test::WriteBytes(path, Utf16(kRecord + kCrLf)));
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  open_.push_back(file);
  LogReader reader(ReadLogFile, file);
  wchar_t line[kLogLineCapacityUnits];
  EXPECT_EQ(ReadLogLine(reader, line), 0u);
  ScanInstallLog(state_, file, keyPath_.c_str());
  EXPECT_TRUE(ReadValues(keyPath_).empty());
}

TEST(ScanToTest, CopiesUpToTheWholeDelimiterOrEmptiesTheOutput) {
  const struct {
    const wchar_t* text;
    size_t start;
    bool found;
    const wchar_t* output;
    size_t end;
  } kCases[] = {
      {L"abc, def", 0, true, L"abc", 5}, {L"abc, def", 5, false, L"", 8},
      {L"a,b, c", 0, true, L"a,b", 5},   {L", x", 0, true, L"", 2},
      {L"ab,", 0, false, L"", 3},  // the delimiter must end before the text does
      {L"a, b, c", 3, true, L"b", 6},
  };
  for (const auto& c : kCases) {
    wchar_t output[kLogFieldCapacityUnits] = L"left over";
    size_t position = c.start;
    EXPECT_EQ(ScanTo(c.text, position, L", ", output, kLogFieldCapacityUnits), c.found) << c.text;
    EXPECT_STREQ(output, c.output) << c.text;
    EXPECT_EQ(position, c.end) << c.text;
  }
}

}  // namespace
