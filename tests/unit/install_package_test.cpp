// The install stage end to end: the real RunPackageInstall starting the stand-in msiexec
// (tests/support/fake-msiexec) from the prefix's system folder, as the stub does.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "fake-msiexec/control_files.h"
#include "install/package_install.h"
#include "install_test_support.h"
#include "ui/progress_window.h"

namespace {

using fake_msiexec::ControlPath;
using install_test::FileExists;
using install_test::ReadValues;
using install_test::Utf8;

constexpr char kId[] = "ID-4242-\x80\xfe";

std::wstring SystemMsiexec() {
  wchar_t folder[MAX_PATH];
  GetSystemDirectoryW(folder, MAX_PATH);
  return std::wstring(folder) + L"\\msiexec.exe";
}

std::wstring OwnFolder() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.rfind(L'\\'));
}

// Wine's own programs carry this mark right after their DOS header.
bool IsWineFile(const std::wstring& path) {
  std::string bytes;
  return install_test::ReadBytes(path, bytes) && bytes.size() >= 0x50 &&
         bytes.compare(0x40, 16, "Wine builtin DLL") == 0;
}

// What the stand-in recorded in run.txt, by key; empty when it did not run.
std::map<std::string, std::string> InstallerRun() {
  std::map<std::string, std::string> run;
  std::string text;
  if (!install_test::ReadBytes(ControlPath(fake_msiexec::kRunFile), text)) return run;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const size_t equals = line.find('=');
    if (equals != std::string::npos) run[line.substr(0, equals)] = line.substr(equals + 1);
    start = end + 1;
  }
  return run;
}

// A scratch folder that is also the temp folder, a scratch registry key, a package file and a fresh
// state for each test; all gone afterwards.
class InstallStageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = install_test::MakeScratchFolder(L"velko-install-package-test");
    keyPath_ = install_test::ScratchKeyPath(L"InstallPackage");
    install_test::DeleteScratchKey(keyPath_);
    temp_ = folder_ + L"\\temp\\";
    CreateDirectoryW(temp_.c_str(), nullptr);
    ZeroMemory(&state_, sizeof(state_));
    UseTempFolder(temp_);
    lstrcpyA(state_.downloadId, kId);
    UsePackage(folder_ + L"\\velko-installer.msi", "not really a package");
  }

  void TearDown() override {
    savedTmp_.Restore();
    savedTemp_.Restore();
    install_test::DeleteScratchKey(keyPath_);
    install_test::RemoveTree(folder_);
  }

  // The temp folder, and the run's folder that the installer's log goes to.
  void UseTempFolder(const std::wstring& folder) {
    install_test::SetTempFolder(folder);
    state_.runFolder.Assign(folder.c_str());
  }

  void UsePackage(const std::wstring& path, const std::string& content) {
    ASSERT_TRUE(state_.packagePath.Assign(path.c_str()));
    ASSERT_TRUE(install_test::WriteBytes(path, content));
  }

  std::wstring LogPath() const { return temp_ + L"velko-installer.log"; }

  std::map<std::wstring, install_test::RegistryValue> Recorded() const { return ReadValues(keyPath_); }

  std::wstring folder_;
  std::wstring temp_;
  std::wstring keyPath_;
  install_test::SavedVariable savedTmp_{L"TMP"};
  install_test::SavedVariable savedTemp_{L"TEMP"};
  StubState state_;
};

// Each test puts the stand-in over the prefix's msiexec.exe (made to load as a native program) and
// a second copy next to this executable, where a search by the bare name "msiexec" would find it
// first. Wine's own file goes back afterwards.
class PackageInstallTest : public InstallStageTest {
 protected:
  void SetUp() override {
    InstallStageTest::SetUp();
    CreateDirectoryW(fake_msiexec::ControlFolderPath().c_str(), nullptr);
    for (const wchar_t* name : fake_msiexec::kRunFiles) DeleteFileW(ControlPath(name).c_str());
    const std::wstring fake = OwnFolder() + L"\\fake-msiexec.exe";
    ASSERT_TRUE(FileExists(fake)) << "build the fake-msiexec target";
    // Only Wine's own file is kept to put back: after an interrupted run the stand-in may still be in
    // its place, and the copy kept then is the one to trust.
    if (IsWineFile(SystemMsiexec())) {
      ASSERT_TRUE(CopyFileW(SystemMsiexec().c_str(), WineMsiexecCopy().c_str(), FALSE));
    }
    ASSERT_TRUE(IsWineFile(WineMsiexecCopy()))
        << "no copy of Wine's msiexec.exe to put back";
    ASSERT_TRUE(CopyFileW(fake.c_str(), SystemMsiexec().c_str(), FALSE));
    planted_ = OwnFolder() + L"\\msiexec.exe";
    ASSERT_TRUE(CopyFileW(fake.c_str(), planted_.c_str(), FALSE));
    // "native,builtin": Wine's own placeholder file, once back, still runs its built-in msiexec.
    const auto overrides = ReadValues(kOverridesKey);
    const auto previous = overrides.find(L"msiexec.exe");
    hadOverride_ = previous != overrides.end();
    if (hadOverride_) previousOverride_ = previous->second;
    ASSERT_TRUE(SetOverride(REG_SZ, std::string(reinterpret_cast<const char*>(L"native,builtin"),
                                                sizeof(L"native,builtin"))));
  }

  void TearDown() override {
    if (CopyFileW(WineMsiexecCopy().c_str(), SystemMsiexec().c_str(), FALSE)) {
      DeleteFileW(WineMsiexecCopy().c_str());
    }
    if (hadOverride_) {
      SetOverride(previousOverride_.type, previousOverride_.data);
    } else {
      RegDeleteKeyValueW(HKEY_CURRENT_USER, kOverridesKey, L"msiexec.exe");
    }
    DeleteFileW(planted_.c_str());
    // Left behind, the control files would steer the next user of the stand-in.
    for (const wchar_t* name : fake_msiexec::kRunFiles) DeleteFileW(ControlPath(name).c_str());
    InstallStageTest::TearDown();
  }

  static std::wstring WineMsiexecCopy() { return ControlPath(fake_msiexec::kWineMsiexecCopy); }
  static constexpr wchar_t kOverridesKey[] = L"Software\\Wine\\DllOverrides";

  static bool SetOverride(DWORD type, const std::string& data) {
    return RegSetKeyValueW(HKEY_CURRENT_USER, kOverridesKey, L"msiexec.exe", type, data.data(),
                           static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
  }

  void Control(const wchar_t* name, const std::string& content) {
    ASSERT_TRUE(install_test::WriteBytes(ControlPath(name), content));
  }

  std::wstring planted_;
  bool hadOverride_ = false;
  install_test::RegistryValue previousOverride_ = {};
};

TEST_F(PackageInstallTest, RunsTheSystemMsiexecAndRecordsWhereExecutablesWent) {
  Control(fake_msiexec::kRecordsFile,
          "=== Verbose logging started ===\n"
          "Action start 10:00:01: InstallFiles.\n"
          "InstallFiles: File: app.exe,  Directory: C:\\Program Files\\Velko Test\\,  Size: 4096\n"
          "InstallFiles: File: app.dll,  Directory: C:\\Program Files\\Velko Test\\lib\\,  Size: 4096\n"
          "InstallFiles: File: tool.exe,  Directory: C:\\Program Files\\Velko Test\\bin\\,  Size: 512\n"
          "Action ended 10:00:02: InstallFiles. Return value 1.\n");
  wchar_t currentDirectory[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, currentDirectory);

  RunPackageInstall(state_, ReportToWindow(state_), INVALID_HANDLE_VALUE, keyPath_.c_str());

  auto run = InstallerRun();
  ASSERT_FALSE(run.empty()) << "the installer did not run";
  EXPECT_EQ(run["cmdline"],
            Utf8(L"msiexec /i " + folder_ + L"\\velko-installer.msi /norestart /Larv " + LogPath()));
  EXPECT_EQ(lstrcmpiA(run["module"].c_str(), Utf8(SystemMsiexec()).c_str()), 0)
      << "ran " << run["module"];
  EXPECT_EQ(run["cwd"], Utf8(currentDirectory));
  EXPECT_EQ(run["startup-flags"], "0x101");
  EXPECT_EQ(run["show-window"], "0");
  EXPECT_EQ(run["package-exists"], "1") << "the package must still be there while it installs";

  const auto values = Recorded();
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values.at(L"C:\\Program Files\\Velko Test\\").data, kId);
  EXPECT_EQ(values.at(L"C:\\Program Files\\Velko Test\\bin\\").data, kId);
  EXPECT_FALSE(FileExists(LogPath()));
  EXPECT_FALSE(FileExists(state_.packagePath.c_str()));
  wchar_t status[StatusText::kCapacityUnits];
  ReadStatusText(state_, status);
  EXPECT_STREQ(status, L"Installing...");
}

void RecordStatus(void* listener, const wchar_t* text) {
  static_cast<std::vector<std::wstring>*>(listener)->push_back(text);
}

// Another installation holds the installer service's mutex for longer than the stage waits: msiexec
// is started anyway once the bound has passed, again after its 1618, and then the stage gives up.
// (Which exit codes are recorded and which boxes follow: tests/e2e/test_install.py.)
TEST_F(PackageInstallTest, AnotherInstallationIsWaitedForWithinTheBoundAndTriedTwiceAtMost) {
  Control(fake_msiexec::kExitCodeFile, "1618");
  const HANDLE mutex = CreateMutexW(nullptr, TRUE, kInstallerServiceMutex);
  ASSERT_NE(mutex, nullptr);
  std::vector<std::wstring> statuses;
  const ProgressReport report = {&statuses, RecordStatus, nullptr, nullptr, nullptr, nullptr};

  EXPECT_EQ(RunPackageInstall(state_, report, INVALID_HANDLE_VALUE, keyPath_.c_str(), 300),
            InstallResult::kAnotherInstallation);

  CloseHandle(mutex);
  std::string runs;
  install_test::ReadBytes(ControlPath(fake_msiexec::kRunCountFile), runs);
  EXPECT_EQ(runs, "2");
  EXPECT_EQ(InstallerRun()["installer-mutex"], "1");
  const std::vector<std::wstring> expected = {
      L"Waiting for another installation to finish...", L"Installing...",
      L"Waiting for another installation to finish...", L"Installing..."};
  EXPECT_EQ(statuses, expected);
  EXPECT_TRUE(Recorded().empty());
  EXPECT_FALSE(FileExists(LogPath()));
  EXPECT_FALSE(FileExists(state_.packagePath.c_str()));
}

struct CancelLater {
  HANDLE cancel;
  DWORD afterMs;
};

DWORD WINAPI SetCancelLater(void* parameter) {
  const auto* later = static_cast<const CancelLater*>(parameter);
  Sleep(later->afterMs);
  SetEvent(later->cancel);
  return 0;
}

void RecordCancellable(void* listener, bool cancellable) {
  static_cast<std::vector<bool>*>(listener)->push_back(cancellable);
}

// Cancelled before msiexec starts, at once or while another installation is waited for: nothing is
// started, the held package is let go of and deleted, and the wait ends with the cancel, long before
// its bound.
TEST_F(PackageInstallTest, ACancelBeforeTheInstallerStartsStartsNothing) {
  static const struct {
    const char* name;
    bool busy;
    DWORD cancelAfterMs;
  } kCases[] = {
      {"cancelled already", false, 0},
      {"cancelled while another installation runs", true, 300},
  };
  for (const auto& c : kCases) {
    DeleteFileW(ControlPath(fake_msiexec::kRunCountFile).c_str());
    const HANDLE mutex = c.busy ? CreateMutexW(nullptr, TRUE, kInstallerServiceMutex) : nullptr;
    ASSERT_TRUE(install_test::WriteBytes(state_.packagePath.c_str(), "package")) << c.name;
    const HANDLE package = CreateFileW(state_.packagePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(package, INVALID_HANDLE_VALUE) << c.name;
    const HANDLE cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CancelLater later = {cancel, c.cancelAfterMs};
    const HANDLE thread = CreateThread(nullptr, 0, SetCancelLater, &later, 0, nullptr);
    if (!c.busy) WaitForSingleObject(thread, INFINITE);
    std::vector<bool> cancellable;
    ReleaseSlot slot = {};
    const ProgressReport report = {&cancellable, nullptr, nullptr, RecordCancellable, cancel, &slot};

    const DWORD start = GetTickCount();
    EXPECT_EQ(RunPackageInstall(state_, report, package, keyPath_.c_str(), 60000), InstallResult::kCancelled)
        << c.name;
    EXPECT_LT(GetTickCount() - start, 5000u) << c.name;

    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(cancel);
    if (mutex) CloseHandle(mutex);
    EXPECT_FALSE(FileExists(ControlPath(fake_msiexec::kRunCountFile))) << c.name << ": the installer ran";
    EXPECT_FALSE(FileExists(state_.packagePath.c_str())) << c.name;
    EXPECT_EQ(slot.release, nullptr) << c.name << ": the package is still held for release";
    EXPECT_EQ(cancellable, std::vector<bool>{true}) << c.name;
  }
}

HANDLE goForWindow;
int dispatched;

LRESULT CALLBACK ReleaseInstallerOnAppMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP) {
    ++dispatched;
    SetEvent(goForWindow);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// The stand-in holds back its log until a window message posted before the install has been
// dispatched, and that message sits behind a WM_QUIT in the queue.
TEST_F(PackageInstallTest, DispatchesMessagesWhileWaitingAndAQuitDoesNotEndTheWait) {
  Control(fake_msiexec::kWaitEventFile, "");
  const HANDLE go = CreateEventW(nullptr, TRUE, FALSE, fake_msiexec::kGoEvent);
  ASSERT_NE(go, nullptr);
  goForWindow = go;
  dispatched = 0;
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = ReleaseInstallerOnAppMessage;
  windowClass.lpszClassName = L"velko-install-test-window";
  RegisterClassW(&windowClass);
  const HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                      nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 0, 0);
  PostMessageW(window, WM_APP, 0, 0);

  RunPackageInstall(state_, ReportToWindow(state_), INVALID_HANDLE_VALUE, keyPath_.c_str());

  EXPECT_EQ(dispatched, 1);
  EXPECT_EQ(InstallerRun()["event"], "signalled");
  EXPECT_EQ(Recorded().size(), 2u) << "the log was scanned before the installer had written it";
  DestroyWindow(window);
  UnregisterClassW(windowClass.lpszClassName, nullptr);
  CloseHandle(go);
}

TEST_F(PackageInstallTest, LockedLogIsLeftAloneAndThePackageStillGoes) {
  Control(fake_msiexec::kLockLogMsFile, "1500");

  RunPackageInstall(state_, ReportToWindow(state_), INVALID_HANDLE_VALUE, keyPath_.c_str());

  EXPECT_EQ(InstallerRun()["log-locked"], "1");
  EXPECT_TRUE(Recorded().empty());
  EXPECT_TRUE(FileExists(LogPath()));
  EXPECT_FALSE(FileExists(state_.packagePath.c_str()));
  // Let the holder go before the scratch folder is removed.
  for (int i = 0; i < 100 && !DeleteFileW(LogPath().c_str()); ++i) Sleep(50);
}

TEST_F(PackageInstallTest, WithoutALogOnlyThePackageGoes) {
  Control(fake_msiexec::kNoLogFile, "");

  RunPackageInstall(state_, ReportToWindow(state_), INVALID_HANDLE_VALUE, keyPath_.c_str());

  EXPECT_EQ(InstallerRun()["log-written"], "0");
  EXPECT_TRUE(Recorded().empty());
  EXPECT_FALSE(FileExists(state_.packagePath.c_str()));
}

TEST_F(PackageInstallTest, MissingSystemMsiexecIsNotLookedForElsewhere) {
  ASSERT_TRUE(DeleteFileW(SystemMsiexec().c_str()));

  // Not started, and the driver learns why (it shows the system's text for it).
  EXPECT_EQ(RunPackageInstall(state_, ReportToWindow(state_), INVALID_HANDLE_VALUE, keyPath_.c_str()), InstallResult::kNotStarted);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  EXPECT_TRUE(InstallerRun().empty()) << "ran " << InstallerRun()["module"];
  EXPECT_TRUE(Recorded().empty());
  EXPECT_FALSE(FileExists(state_.packagePath.c_str()));
}

TEST_F(PackageInstallTest, NoRoomForTheLogPathInstallsNothingAndOnlyRemovesThePackage) {
  state_.runFolder.Assign((L"C:\\" + std::wstring(250, L't') + L"\\").c_str());  // the log's name does not fit

  EXPECT_EQ(RunPackageInstall(state_, ReportToWindow(state_), INVALID_HANDLE_VALUE, keyPath_.c_str()), InstallResult::kNoTempFolder);

  EXPECT_TRUE(InstallerRun().empty());
  EXPECT_FALSE(FileExists(state_.packagePath.c_str()));
}

// Runs `commandLine` and waits for it to end.
void RunAndWait(std::wstring commandLine) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process));
  WaitForSingleObject(process.hProcess, 60000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

// Wine's own msiexec on the demo package (tools/demo-package): a real Windows Installer accepts the
// command line, quotes included, and installs the package before the stub deletes it; Wine's log is
// 8-bit text with LF line ends, so nothing is recorded from it.
TEST_F(InstallStageTest, WinesMsiexecInstallsTheDemoPackage) {
  const std::wstring demo = OwnFolder() + L"\\demo-package\\velko-demo.msi";
  std::string package;
  if (!install_test::ReadBytes(demo, package)) GTEST_SKIP() << "no demo package (is wixl installed?)";
  ASSERT_TRUE(IsWineFile(SystemMsiexec())) << "msiexec.exe is not Wine's own";
  // The demo package is a 32-bit one: 64-bit Windows (and 64-bit Wine) installs it under
  // %ProgramFiles(x86)%, which 32-bit Windows does not have.
  wchar_t programFiles[MAX_PATH];
  if (GetEnvironmentVariableW(L"ProgramFiles(x86)", programFiles, MAX_PATH) == 0) {
    ASSERT_GT(GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH), 0u);
  }
  const std::wstring installed = std::wstring(programFiles) + L"\\Brondelvik\\VelkoDemo\\velko-demo.exe";
  const std::wstring uninstallCopy = folder_ + L"\\uninstall.msi";
  ASSERT_TRUE(install_test::WriteBytes(uninstallCopy, package));
  RunAndWait(L"msiexec /x \"" + uninstallCopy + L"\" /qn");  // left over from an interrupted run
  ASSERT_FALSE(FileExists(installed));
  temp_ = folder_ + L"\\temp with blank\\";
  CreateDirectoryW(temp_.c_str(), nullptr);
  UseTempFolder(temp_);
  CreateDirectoryW((folder_ + L"\\my downloads").c_str(), nullptr);
  UsePackage(folder_ + L"\\my downloads\\velko-installer.msi", package);

  RunPackageInstall(state_, ReportToWindow(state_), INVALID_HANDLE_VALUE, keyPath_.c_str());

  EXPECT_TRUE(FileExists(installed));
  EXPECT_TRUE(Recorded().empty());
  EXPECT_FALSE(FileExists(LogPath()));
  EXPECT_FALSE(FileExists(state_.packagePath.c_str()));
  RunAndWait(L"msiexec /x \"" + uninstallCopy + L"\" /qn");
  EXPECT_FALSE(FileExists(installed));
}

TEST(InstallCommandLineTest, QuotesOnlyPathsWithABlankOrTab) {
  const struct {
    const wchar_t* package;
    const wchar_t* log;
    const wchar_t* commandLine;
  } kCases[] = {
      {L"C:\\T\\velko-installer.msi", L"C:\\T\\velko-installer.log",
       L"msiexec /i C:\\T\\velko-installer.msi /norestart /Larv C:\\T\\velko-installer.log"},
      {L"C:\\My T\\p.msi", L"C:\\T\\l.log",
       L"msiexec /i \"C:\\My T\\p.msi\" /norestart /Larv C:\\T\\l.log"},
      {L"C:\\T\\p.msi", L"C:\\A\tB\\l.log",
       L"msiexec /i C:\\T\\p.msi /norestart /Larv \"C:\\A\tB\\l.log\""},
      {L"C:\\T\\it's,(1)&x.msi", L"C:\\T\\l.log",
       L"msiexec /i C:\\T\\it's,(1)&x.msi /norestart /Larv C:\\T\\l.log"},
      {L"C:\\my downloads\\velko-installer.msi", L"C:\\temp with blank\\velko-installer.log",
       L"msiexec /i \"C:\\my downloads\\velko-installer.msi\" /norestart /Larv "
       L"\"C:\\temp with blank\\velko-installer.log\""},
  };
  for (const auto& c : kCases) {
    InstallCommandLine commandLine;
    EXPECT_TRUE(ComposeInstallCommandLine(commandLine, c.package, c.log));
    EXPECT_STREQ(commandLine.c_str(), c.commandLine);
  }
}

}  // namespace
