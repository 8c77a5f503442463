// Cancelling a run: the wait that a cancel ends, and the window's closing (the question, refused
// closing, the session's end) on a real window in this process. The question box is answered by a
// helper thread, as the user would; a question that should not come is answered too, after a while,
// so that the test fails instead of hanging.
#include <gtest/gtest.h>

#include <string>

#include "common/message_wait.h"
#include "common/run_folder.h"
#include "ui/progress_window.h"

namespace {

// --- WaitUnlessCancelled ---------------------------------------------------------------------------

constexpr UINT kSetCancel = WM_APP + 7;  // the helper window's message that sets the cancel
constexpr UINT kOther = WM_APP + 8;      // any other message
HANDLE g_cancel;

LRESULT CALLBACK HelperProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kSetCancel) SetEvent(g_cancel);
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND MakeHelperWindow() {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = HelperProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"cancel-test-helper";
  RegisterClassW(&windowClass);
  return CreateWindowExW(0, L"cancel-test-helper", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
}

bool StillQueued(HWND window, UINT message) {
  MSG found;
  return PeekMessageW(&found, window, message, message, PM_REMOVE) != FALSE;
}

TEST(WaitUnlessCancelledTest, EndsOnTheCancelWithoutDispatchingFurther) {
  g_cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HWND helper = MakeHelperWindow();
  ASSERT_TRUE(g_cancel && handle && helper);
  static const struct {
    const char* name;
    bool cancelSet;
    bool handleSet;
    bool postSetCancel;  // a queued message whose handling sets the cancel, another one behind it
    WaitEnd expected;
    bool otherStillQueued;
  } kCases[] = {
      {"already cancelled: nothing dispatched", true, false, false, WaitEnd::kCancelled, true},
      {"cancelled and signalled: the cancel wins", true, true, false, WaitEnd::kCancelled, true},
      {"signalled", false, true, false, WaitEnd::kSignalled, true},
      {"nothing: the time passes", false, false, false, WaitEnd::kOver, false},
      {"cancelled by a message: the next one waits", false, false, true, WaitEnd::kCancelled, true},
  };
  for (const auto& c : kCases) {
    ResetEvent(g_cancel);
    ResetEvent(handle);
    if (c.cancelSet) SetEvent(g_cancel);
    if (c.handleSet) SetEvent(handle);
    if (c.postSetCancel) PostMessageW(helper, kSetCancel, 0, 0);
    PostMessageW(helper, kOther, 0, 0);
    EXPECT_EQ(WaitUnlessCancelled(handle, 200, g_cancel), c.expected) << c.name;
    EXPECT_EQ(StillQueued(helper, kOther), c.otherStillQueued) << c.name;
    while (StillQueued(helper, kSetCancel) || StillQueued(helper, kOther)) {
    }
  }
  DestroyWindow(helper);
  CloseHandle(handle);
  CloseHandle(g_cancel);
}

// --- The window's closing --------------------------------------------------------------------------

struct Answerer {
  HWND owner;
  int button;         // IDYES or IDNO; 0: the session ends instead (WM_ENDSESSION sent to the owner)
  DWORD delayMs;      // how long the question stays open before the answer
  std::wstring text;  // the question's text, once answered
  bool answered;
  bool leftOpen;      // the session ended, and the question was still open two seconds later
};

// The question box: a dialog owned by the window.
HWND FindQuestion(HWND owner) {
  HWND found = nullptr;
  for (HWND window = GetTopWindow(nullptr); window; window = GetWindow(window, GW_HWNDNEXT)) {
    wchar_t name[16];
    if (GetWindow(window, GW_OWNER) == owner && GetClassNameW(window, name, 16) && lstrcmpW(name, L"#32770") == 0) {
      found = window;
    }
  }
  return found;
}

DWORD WINAPI AnswerQuestion(void* parameter) {
  auto& answerer = *static_cast<Answerer*>(parameter);
  for (int tries = 0; tries < 100; ++tries) {
    if (HWND box = FindQuestion(answerer.owner)) {
      Sleep(answerer.delayMs);
      wchar_t text[200] = {};
      // The text is the box's static control (id 0xFFFF in the system's message box).
      GetDlgItemTextW(box, 0xFFFF, text, 200);
      answerer.text = text;
      answerer.answered = true;
      if (answerer.button == 0) {
        SendMessageTimeoutW(answerer.owner, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 5000, nullptr);
        for (int wait = 0; wait < 40 && IsWindow(box); ++wait) Sleep(50);
        answerer.leftOpen = IsWindow(box) != FALSE;
        if (answerer.leftOpen) PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);  // not to hang
        return 0;
      }
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(answerer.button, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(box, answerer.button)));
      return 0;
    }
    Sleep(50);
  }
  return 0;
}

bool CloseGreyed(HWND window) {
  const UINT state = GetMenuState(GetSystemMenu(window, FALSE), SC_CLOSE, MF_BYCOMMAND);
  return state != static_cast<UINT>(-1) && (state & MF_GRAYED) != 0;
}

class ClosingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state_ = new StubState{};
    state_->cancelEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CreateProgressWindow(*state_, GetModuleHandleW(nullptr));
    ASSERT_NE(state_->mainWindow, nullptr);
  }
  void TearDown() override {
    if (state_->mainWindow) DestroyWindow(state_->mainWindow);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    if (state_->statusFont) DeleteObject(state_->statusFont);
    CloseHandle(state_->cancelEvent);
    delete state_;
  }

  // Sends `message` to the window while a helper thread answers the question with `button`.
  Answerer Close(UINT message, WPARAM wParam, int button) {
    Answerer answerer = {state_->mainWindow, button, 300, L"", false, false};
    HANDLE thread = CreateThread(nullptr, 0, AnswerQuestion, &answerer, 0, nullptr);
    SendMessageW(state_->mainWindow, message, wParam, 0);
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    return answerer;
  }

  bool CancelSet() const { return WaitForSingleObject(state_->cancelEvent, 0) == WAIT_OBJECT_0; }

  StubState* state_ = nullptr;
};

TEST_F(ClosingTest, EachWayOfClosingAsksAndYesCancels) {
  static const struct {
    const char* name;
    UINT message;
    WPARAM wParam;
    int button;
  } kCases[] = {
      {"close box, No", WM_CLOSE, 0, IDNO},
      {"taskbar's Close, No", WM_SYSCOMMAND, SC_CLOSE, IDNO},
      {"Escape, No", WM_KEYDOWN, VK_ESCAPE, IDNO},
      {"close box, Yes", WM_CLOSE, 0, IDYES},
  };
  SetCancellable(*state_, true);
  EXPECT_FALSE(CloseGreyed(state_->mainWindow));
  for (const auto& c : kCases) {
    const Answerer answer = Close(c.message, c.wParam, c.button);
    EXPECT_TRUE(answer.answered) << c.name;
    EXPECT_EQ(answer.text, L"Do you want to cancel the download?") << c.name;
    const bool yes = c.button == IDYES;
    EXPECT_EQ(state_->cancelled, yes) << c.name;
    EXPECT_EQ(CancelSet(), yes) << c.name;
    EXPECT_EQ(IsWindowVisible(state_->mainWindow) != FALSE, !yes) << c.name;
    EXPECT_TRUE(IsWindow(state_->mainWindow)) << c.name;  // never destroyed while the run goes on
  }
  // Once cancelled, closing again asks nothing.
  EXPECT_FALSE(Close(WM_CLOSE, 0, IDYES).answered);
}

TEST_F(ClosingTest, RefusedAndGreyedWhileTheRunCannotBeCancelled) {
  SetCancellable(*state_, true);
  SetCancellable(*state_, false);  // the installer runs
  EXPECT_TRUE(CloseGreyed(state_->mainWindow));
  const Answerer answer = Close(WM_CLOSE, 0, IDYES);
  EXPECT_FALSE(answer.answered);
  EXPECT_FALSE(state_->cancelled);
  EXPECT_FALSE(CancelSet());
  EXPECT_TRUE(IsWindowVisible(state_->mainWindow));
}

TEST_F(ClosingTest, NeverCancellableWithoutAnEvent) {
  const HANDLE event = state_->cancelEvent;
  state_->cancelEvent = nullptr;
  SetCancellable(*state_, true);
  EXPECT_FALSE(state_->cancellable);
  EXPECT_TRUE(CloseGreyed(state_->mainWindow));
  state_->cancelEvent = event;
}

TEST_F(ClosingTest, TheSessionsEndWhileTheQuestionIsOpenCancelsAndClosesIt) {
  SetCancellable(*state_, true);
  const DWORD start = GetTickCount();
  const Answerer answer = Close(WM_CLOSE, 0, 0);
  EXPECT_TRUE(answer.answered);
  EXPECT_FALSE(answer.leftOpen) << "the question stayed open";
  EXPECT_LT(GetTickCount() - start, 5000u);
  EXPECT_TRUE(state_->cancelled);
  EXPECT_TRUE(CancelSet());
  EXPECT_EQ(FindQuestion(state_->mainWindow), nullptr);
}

// A stage's hold on a file, as the download's: the release closes it and notes the order.
struct HeldFile {
  HANDLE file;
  int releases;
  bool folderThereAtRelease;
  const PathString* folder;
};

void ReleaseHeldFile(void* owner) {
  auto& held = *static_cast<HeldFile*>(owner);
  ++held.releases;
  held.folderThereAtRelease = GetFileAttributesW(held.folder->c_str()) != INVALID_FILE_ATTRIBUTES;
  CloseHandle(held.file);
  held.file = INVALID_HANDLE_VALUE;
}

TEST_F(ClosingTest, TheSessionsEndLetsGoAndRemovesTheRunFolderBeforeReturning) {
  static const struct {
    const char* name;
    bool cancellable;
    WPARAM ending;
    bool expectEnded;
  } kCases[] = {
      {"during a transfer", true, TRUE, true},
      {"the session goes on", true, FALSE, false},
      {"while the installer runs", false, TRUE, false},
  };
  for (const auto& c : kCases) {
    PathString package;
    ASSERT_TRUE(CreateRunFolder(state_->runFolder)) << c.name;
    ASSERT_TRUE(ComposeRunFilePath(package, state_->runFolder, L"velko-installer.msi")) << c.name;
    HeldFile held = {CreateFileW(package.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), 0, false,
                     &state_->runFolder};
    ASSERT_NE(held.file, INVALID_HANDLE_VALUE) << c.name;
    state_->release = ReleaseSlot{&held, ReleaseHeldFile};
    state_->cancelled = false;
    ResetEvent(state_->cancelEvent);
    SetCancellable(*state_, c.cancellable);

    SendMessageW(state_->mainWindow, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
    EXPECT_FALSE(state_->cancelled) << c.name << ": the session may still go on after the query";
    SendMessageW(state_->mainWindow, WM_ENDSESSION, c.ending, ENDSESSION_LOGOFF);

    const bool folderGone = GetFileAttributesW(state_->runFolder.c_str()) == INVALID_FILE_ATTRIBUTES;
    EXPECT_EQ(folderGone, c.expectEnded) << c.name;
    EXPECT_EQ(held.releases, c.expectEnded ? 1 : 0) << c.name;
    EXPECT_EQ(state_->cancelled, c.expectEnded) << c.name;
    EXPECT_EQ(CancelSet(), c.expectEnded) << c.name;
    if (c.expectEnded) {
      EXPECT_TRUE(held.folderThereAtRelease) << c.name << ": released before the folder was removed";
      EXPECT_EQ(state_->release.release, nullptr) << c.name;
    } else {
      ReleaseHeldFile(&held);
      EXPECT_TRUE(RemoveRunFolder(state_->runFolder)) << c.name;
    }
    state_->runFolder.Clear();
    ShowWindow(state_->mainWindow, SW_SHOW);
  }
}

}  // namespace
