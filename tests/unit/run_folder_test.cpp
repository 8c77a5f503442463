// The run's private folder in the temp folder, and what the download does when its file cannot be
// made there.
#include "common/run_folder.h"

#include <gtest/gtest.h>

#include <string>

#include "install_test_support.h"
#include "net/package_download.h"

namespace {

using install_test::FileExists;
using install_test::WriteBytes;

class RunFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    temp_ = install_test::MakeScratchFolder(L"velko-run-folder-test");
    install_test::SetTempFolder(temp_);
  }
  void TearDown() override {
    savedTmp_.Restore();
    savedTemp_.Restore();
    install_test::RemoveTree(temp_);
  }

  std::wstring temp_;
  install_test::SavedVariable savedTmp_{L"TMP"};
  install_test::SavedVariable savedTemp_{L"TEMP"};
};

TEST_F(RunFolderTest, EachRunGetsANewFolderWithAnUnpredictableName) {
  PathString first;
  PathString second;
  ASSERT_TRUE(CreateRunFolder(first));
  ASSERT_TRUE(CreateRunFolder(second));
  const std::wstring prefix = temp_ + L"\\velko-";
  for (const PathString* folder : {&first, &second}) {
    const std::wstring path = folder->c_str();
    ASSERT_EQ(path.compare(0, prefix.size(), prefix), 0) << path;
    const std::wstring name = path.substr(prefix.size());
    ASSERT_EQ(name.size(), 17u) << path;  // 16 hex digits and the backslash
    EXPECT_EQ(name.find_first_not_of(L"0123456789abcdef"), 16u) << path;
    EXPECT_TRUE(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  }
  EXPECT_STRNE(first.c_str(), second.c_str());
}

TEST_F(RunFolderTest, NoFolderWithoutATempFolder) {
  install_test::SetTempFolder(L"C:\\" + std::wstring(300, L't'));  // longer than GetTempPathW's 260 units
  PathString folder;
  EXPECT_FALSE(CreateRunFolder(folder));
  EXPECT_TRUE(folder.empty());
}

TEST_F(RunFolderTest, RemovalTakesEveryFileAndTheFolderButNotWhatIsStillOpen) {
  PathString folder;
  ASSERT_TRUE(CreateRunFolder(folder));
  const std::wstring path = folder.c_str();
  ASSERT_TRUE(WriteBytes(path + L"velko-installer.msi", "package"));
  ASSERT_TRUE(WriteBytes(path + L"velko-installer.log", "log"));
  RemoveRunFolder(folder);
  EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);

  ASSERT_TRUE(CreateRunFolder(folder));
  const std::wstring held = std::wstring(folder.c_str()) + L"velko-installer.log";
  ASSERT_TRUE(WriteBytes(held, "log"));
  const HANDLE open = CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(open, INVALID_HANDLE_VALUE);
  RemoveRunFolder(folder);
  EXPECT_TRUE(FileExists(held));
  CloseHandle(open);
  RemoveRunFolder(folder);
  EXPECT_FALSE(FileExists(held));
}

TEST_F(RunFolderTest, PackageFileThatCannotBeMadeGivesTheSystemsTextAndNoRequest) {
  WideString failure;
  HANDLE package = nullptr;
  const std::wstring missingFolder = temp_ + L"\\no-such-folder\\velko-installer.msi";
  const std::wstring taken = temp_ + L"\\velko-installer.msi";  // a new file is made, never one reused
  ASSERT_TRUE(WriteBytes(taken, "left by someone"));
  for (const std::wstring& path : {missingFolder, taken}) {
    EXPECT_FALSE(DownloadPackage(ProgressReport{}, L"http://127.0.0.1:9/p.msi", PackagePin{}, path.c_str(), failure,
                                 package));
    EXPECT_EQ(package, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(failure.empty());
    EXPECT_EQ(std::wstring(failure.c_str()).find(L"The download failed"), std::wstring::npos) << failure.c_str();
  }
  std::string content;
  ASSERT_TRUE(install_test::ReadBytes(taken, content));
  EXPECT_EQ(content, "left by someone");
}

}  // namespace
