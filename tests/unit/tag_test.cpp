// The tag stage over real files: the trailer at the end of a file, the identifier it points at, and
// the id file.
#include "tag/installer_tag.h"

#include <gtest/gtest.h>

#include <string>

#include "install_test_support.h"

namespace {

using install_test::ReadBytes;
using install_test::WriteBytes;

const std::string kBody(4096, '\x90');  // stands in for the executable

std::string BigEndian(uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
          static_cast<char>(value)};
}

std::string Trailer(uint32_t offset, uint32_t length, uint32_t magic = kInstallerTagMagic) {
  return BigEndian(magic) + BigEndian(offset) + BigEndian(length);
}

// The body, the identifier and a trailer pointing at it: the tagging tool's layout.
std::string Tagged(const std::string& id) { return kBody + id + Trailer(kBody.size(), id.size()); }

class TagTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = install_test::MakeScratchFolder(L"velko-tag-test");
    ZeroMemory(&state_, sizeof(state_));
  }
  void TearDown() override { install_test::RemoveTree(folder_); }

  std::wstring Path(const wchar_t* name) const { return folder_ + L"\\" + name; }

  std::wstring folder_;
  StubState state_;
};

TEST_F(TagTest, TableOfTrailers) {
  const size_t n = kBody.size();
  static const std::string kHundred(100, '1');
  // What an earlier run stored: a copy whose identifier cannot be read leaves it as it is.
  static const std::string kEarlier = "AN-OLDER-AND-MUCH-LONGER-IDENTIFIER-FROM-AN-EARLIER-RUN";
  const struct {
    const char* name;
    std::string file;
    bool tagFound;
    StoreResult result;
    std::string idFile;  // what the id file holds afterwards
    std::string id;      // the identifier as the run uses it (up to its first NUL), after success
  } kCases[] = {
      {"untagged", kBody, false, StoreResult::kOk, "", ""},
      {"shorter than the trailer", std::string("\xE4\x1C\x31", 3), false, StoreResult::kOk, "", ""},
      {"wrong magic", kBody + Trailer(n, 0, 0xE41C3138), false, StoreResult::kOk, "", ""},
      {"tagged", Tagged("0123ABCD-4567EF01-89ABCDEF-DEADBEEF-00C0FFEE"), true, StoreResult::kOk,
       "0123ABCD-4567EF01-89ABCDEF-DEADBEEF-00C0FFEE", "0123ABCD-4567EF01-89ABCDEF-DEADBEEF-00C0FFEE"},
      {"id elsewhere in the file", kBody + "XXXX" + "ELSEWHERE-ID" + "YYYYYYYY" + Trailer(n + 4, 12), true,
       StoreResult::kOk, "ELSEWHERE-ID", "ELSEWHERE-ID"},
      {"id length 0", kBody + Trailer(n, 0), true, StoreResult::kOk, "", ""},
      {"zero byte inside the id", Tagged(std::string("AB\0CD", 5)), true, StoreResult::kOk,
       std::string("AB\0CD", 5), "AB"},
      {"99 bytes", Tagged(std::string(99, '9')), true, StoreResult::kOk, std::string(99, '9'),
       std::string(99, '9')},
      {"length runs past the end of the file", kBody + "SHORT" + Trailer(n, 40), true,
       StoreResult::kExtractFailed, kEarlier, ""},
      {"offset beyond the end of the file", kBody + "ID" + Trailer(n + 1000, 2), true,
       StoreResult::kExtractFailed, kEarlier, ""},
      {"100 bytes", Tagged(kHundred), true, StoreResult::kExtractFailed, kEarlier, ""},
      {"huge length", kBody + "ID" + Trailer(n, 0xFFFFFFF0), true, StoreResult::kExtractFailed, kEarlier, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::wstring exe = Path(L"stub.exe");
    const std::wstring idFile = Path(L"velko-download-id.txt");
    ASSERT_TRUE(WriteBytes(idFile, kEarlier));
    ASSERT_TRUE(WriteBytes(exe, c.file));
    ZeroMemory(&state_, sizeof(state_));

    InstallerTag tag;
    const bool found = ReadInstallerTagFrom(exe.c_str(), tag);
    EXPECT_EQ(found, c.tagFound);
    if (!found) {
      if (tag.file != INVALID_HANDLE_VALUE) CloseHandle(tag.file);
      continue;
    }
    const StoreResult result = StoreDownloadIdTo(state_, tag, idFile.c_str());
    if (result != StoreResult::kOk) CloseHandle(tag.file);  // left open for the caller after a failure
    EXPECT_EQ(result, c.result);
    std::string written;
    ASSERT_TRUE(ReadBytes(idFile, written));
    EXPECT_EQ(written, c.idFile);  // replaced, never appended to; kept after an extract failure
    if (result == StoreResult::kOk) EXPECT_EQ(std::string(state_.downloadId), c.id);
  }
}

// A handle closed by CloseAfterHold on a thread of its own after `holdMs`.
struct HeldFile {
  HANDLE file;
  DWORD holdMs;
};

DWORD WINAPI CloseAfterHold(void* held) {
  const HeldFile& h = *static_cast<HeldFile*>(held);
  Sleep(h.holdMs);
  CloseHandle(h.file);
  return 0;
}

// Another copy started at the same moment writes the id file too, and a scanner may read the new
// file without write sharing: a handle that keeps the file from being written for moments is waited
// for; one that keeps it longer than the wait is a failed write.
TEST_F(TagTest, IdFileHeldByAnotherHandle) {
  struct Case {
    const char* name;
    DWORD holdMs;
    StoreResult result;
    std::string idFile;
  } const kCases[] = {
      {"held for a moment: waited for", 300, StoreResult::kOk, "ABC-123"},
      {"held beyond the wait: a failed write, the file untouched", 4000, StoreResult::kWriteFailed, "EARLIER"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::wstring exe = Path(L"stub.exe");
    const std::wstring idFile = Path(L"velko-download-id.txt");
    ASSERT_TRUE(WriteBytes(idFile, "EARLIER"));
    ASSERT_TRUE(WriteBytes(exe, Tagged("ABC-123")));
    // As another run writing its identifier holds it.
    HANDLE holder = CreateFileW(idFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    HeldFile release = {holder, c.holdMs};
    HANDLE releaser = CreateThread(nullptr, 0, CloseAfterHold, &release, 0, nullptr);
    ASSERT_NE(releaser, nullptr);

    InstallerTag tag;
    ASSERT_TRUE(ReadInstallerTagFrom(exe.c_str(), tag));
    const StoreResult result = StoreDownloadIdTo(state_, tag, idFile.c_str());
    if (result != StoreResult::kOk) CloseHandle(tag.file);
    WaitForSingleObject(releaser, INFINITE);
    CloseHandle(releaser);
    EXPECT_EQ(result, c.result);
    std::string written;
    ASSERT_TRUE(ReadBytes(idFile, written));
    EXPECT_EQ(written, c.idFile);
  }
}

}  // namespace
