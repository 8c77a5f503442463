// The SHA-256 taken piece by piece, as a download takes it while writing: a hash continued from
// the kept part of a file must give the digest of the whole file.
#include "common/file_digest.h"

#include <gtest/gtest.h>

#include <string>

#include "install_test_support.h"

namespace {

std::string Hex(const uint8_t (&digest)[kSha256Bytes]) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

// SHA-256 of the 448-bit test message of FIPS 180-2 (56 bytes: more than one 55-byte block tail).
constexpr char kMessage[] = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
constexpr char kMessageSha256[] = "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";
constexpr DWORD kMessageBytes = sizeof(kMessage) - 1;

class FileDigestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = install_test::MakeScratchFolder(L"velko-digest-test");
    const std::wstring path = folder_ + L"\\package.bin";
    ASSERT_TRUE(install_test::WriteBytes(path, std::string(kMessage, kMessageBytes)));
    file_ = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file_, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    install_test::RemoveTree(folder_);
  }

  std::wstring folder_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

TEST_F(FileDigestTest, KeptPartOfTheFileThenTheRestGivesTheWholeFilesDigest) {
  // How much of the file a resumed download kept: none, a part, all of it.
  for (DWORD kept : {DWORD{0}, DWORD{1}, DWORD{20}, kMessageBytes}) {
    Sha256Stream stream = {};
    ASSERT_TRUE(Sha256StartWithFile(stream, file_, kept)) << kept;
    EXPECT_EQ(stream.bytes, kept);
    ASSERT_TRUE(Sha256Add(stream, kMessage + kept, kMessageBytes - kept)) << kept;
    uint8_t digest[kSha256Bytes];
    ASSERT_TRUE(Sha256Finish(stream, digest)) << kept;
    EXPECT_EQ(Hex(digest), kMessageSha256) << kept;
  }
  uint8_t whole[kSha256Bytes];
  ASSERT_TRUE(FileSha256(file_, whole));
  EXPECT_EQ(Hex(whole), kMessageSha256);
}

TEST_F(FileDigestTest, AFileShorterThanTheKeptPartBreaksTheStream) {
  Sha256Stream stream = {};
  EXPECT_FALSE(Sha256StartWithFile(stream, file_, kMessageBytes + 1));
  EXPECT_TRUE(stream.broken);
  EXPECT_FALSE(Sha256Add(stream, kMessage, 1));
  uint8_t digest[kSha256Bytes];
  EXPECT_FALSE(Sha256Finish(stream, digest));
}

}  // namespace
