#include "driver/run_stub.h"

#include "common/run_folder.h"
#include "common/system_library.h"
#include "common/system_text.h"
#include "common/texts.h"
#include "driver/info_endpoint.h"
#include "driver/run_outcome.h"
#include "install/package_install.h"
#include "net/info_request.h"
#include "net/package_download.h"
#include "tag/installer_tag.h"
#include "ui/message_box.h"
#include "common/message_wait.h"
#include "ui/progress_window.h"

namespace {

constexpr wchar_t kPackageFileName[] = L"velko-installer.msi";

constexpr int kIdentityStoredPosition = 10;

// A run folder that cannot be removed yet is tried again, for at most about ten seconds.
constexpr int kFolderRemovalAttempts = 40;
constexpr DWORD kFolderRemovalPauseMs = 250;

// Shows text `id` in a box.
void ShowText(TextId id, UINT style) { ShowMessage(Text(id), style); }

// Shows a transfer's failure text, if there is one.
void ShowFailure(const WideString& text) {
  if (!text.empty()) ShowMessage(text.c_str(), MB_ICONERROR);
}

// The stages, in order, up to the first that ends the run; `outcome` says how it ended. A cancelled
// run (the user closed the window and said Yes, or the session ended) ends at the stage it cancelled,
// without a box: the stage has closed its request and files, and the run's folder is removed
// afterwards.
void RunStages(StubState& state, HINSTANCE instance, RunOutcome& outcome) {
  // Without the event nothing could end the stages' waits: closing is then refused.
  state.cancelEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CopyStatusText(state, Text(TextId::kLocatingStatus));
  CreateProgressWindow(state, instance);

  // Without the identifier there is nothing to report: the run ends before it is known.
  InstallerTag tag;
  if (!ReadInstallerTag(tag)) {
    ShowText(TextId::kTagMissing, MB_OK);
    return;
  }
  switch (StoreDownloadId(state, tag)) {
    case StoreResult::kOk:
      break;
    case StoreResult::kExtractFailed:
      ShowText(TextId::kExtractFailed, MB_OK);
      return;
    case StoreResult::kWriteFailed:
      SetOutcome(outcome, OutcomeCode::kFileError, L"id-file");
      ShowText(TextId::kWriteFailed, MB_OK);
      return;
  }
  if (!CreateRunFolder(state.runFolder) ||
      !ComposeRunFilePath(state.packagePath, state.runFolder, kPackageFileName)) {
    SetOutcome(outcome, OutcomeCode::kFileError, L"temp-folder");
    ShowText(TextId::kNoTempFolder, MB_OK);
    return;
  }
  SetProgressPosition(state, kIdentityStoredPosition);
  SetStatusText(state, Text(TextId::kRequestingStatus));

  // The identifier goes into the query as it is, byte for byte, without escaping.
  WideString infoUrl;
  if (!infoUrl.Append(kInfoEndpoint) ||
      !WidenAppend(infoUrl, state.downloadId, DownloadIdLength(state))) {
    SetOutcome(outcome, OutcomeCode::kInfoFailed, L"other");
    ShowText(TextId::kOutOfMemory, MB_ICONERROR);
    return;
  }

  // The stages report to the window; they do not know it. Closing the window may cancel the run
  // while a transfer or the wait for another installation is under way, and is refused while a box
  // of ours is shown.
  const ProgressReport report = ReportToWindow(state);
  SetCancellable(state, true);

  // A failed request shows its own message; whatever part of the reply arrived is still searched.
  ByteString response;
  WideString failure;
  TransferFailure seen;
  const FetchResult fetched = FetchToMemory(report, infoUrl.c_str(), response, failure, &seen);
  if (state.cancelled) {
    SetCancelledOutcome(outcome, CancelStage::kInfo);
    return;
  }
  SetCancellable(state, false);
  if (fetched != FetchResult::kOk) ShowFailure(failure);
  if (fetched == FetchResult::kProxyRefused) {  // nothing arrived to search: one box says it all
    SetTransferOutcome(outcome, OutcomeCode::kInfoFailed, seen);
    return;
  }
  WideString packageUrl;
  if (!ExtractElement(response, "MSIURL", packageUrl)) {
    SetMissingUrlOutcome(outcome, fetched != FetchResult::kOk, seen);
    ShowText(TextId::kNoPackageUrl, MB_ICONERROR);
    return;
  }
  // The publisher's digest and length of the package, when the reply has them: a pin that cannot be
  // read means nothing may be fetched, since nothing fetched could be checked.
  PackagePin pin;
  if (!ReadPackagePin(response, pin)) {
    SetOutcome(outcome, OutcomeCode::kNoPackageUrl, L"damaged");
    ShowText(TextId::kDamagedInformation, MB_ICONERROR);
    return;
  }

  HANDLE package = INVALID_HANDLE_VALUE;
  WideString downloadFailure;
  DownloadFailure downloadEnd;
  SetCancellable(state, true);
  const bool downloaded = DownloadPackage(report, packageUrl.c_str(), pin, state.packagePath.c_str(),
                                          downloadFailure, package, &downloadEnd);
  // A Yes given while the download ended (the question was open) still stops the run here.
  if (state.cancelled) {
    if (package != INVALID_HANDLE_VALUE) CloseHandle(package);
    SetCancelledOutcome(outcome, CancelStage::kDownload);
    return;
  }
  if (!downloaded) {
    SetCancellable(state, false);
    SetDownloadOutcome(outcome, downloadEnd);
    ShowFailure(downloadFailure);
    return;
  }

  // The install stage keeps closing possible while it waits for another installation, and turns it
  // off for good when msiexec starts.
  DWORD exitCode = 0;
  const InstallResult installed =
      RunPackageInstall(state, report, package, kDownloadIdsKeyPath, kInstallerBusyWaitMs, &exitCode);
  const DWORD startError = GetLastError();  // why msiexec could not start, for kNotStarted
  SetCancellable(state, false);
  SetInstallOutcome(outcome, installed, exitCode, startError);
  switch (installed) {
    case InstallResult::kInstalled:
    case InstallResult::kNotInstalled:  // msiexec has shown its own message
    case InstallResult::kCancelled:     // nothing to tell: the user chose it
      break;
    case InstallResult::kRestartNeeded:
      ShowText(TextId::kRestartNeeded, MB_ICONINFORMATION);
      break;
    case InstallResult::kAnotherInstallation:
      ShowText(TextId::kAnotherInstallation, MB_ICONWARNING);
      break;
    case InstallResult::kNoTempFolder:
      ShowText(TextId::kNoTempFolder, MB_OK);
      break;
    case InstallResult::kNotStarted: {
      // The system's own words for why msiexec could not run (a policy, a damaged file).
      WideString text;
      ComposeSystemErrorText(text, startError);
      if (text.empty()) {
        FixedString<11> code;
        AppendDecimal(code, startError);
        ComposeText(text, TextId::kInstallerNotStarted, {code.c_str()});
      }
      ShowMessage(text.c_str(), MB_ICONERROR);
      break;
    }
  }
}

}  // namespace

int RunStubWith(StubState& state, HINSTANCE instance) {
  RunOutcome outcome;
  RunStages(state, instance, outcome);
  // The last box has been answered: the publisher learns how the run ended, within a bounded time.
  state.reportLeftRunning =
      ReportRunOutcome(kInfoEndpoint, state, outcome, OutcomeReportLimitMs(outcome)) == ReportEnd::kAbandoned;
  // Nothing of the run stays in the temp folder, whatever the way it ended. The installer may leave
  // a process behind that holds its log a little longer: wait for it, within bounds.
  for (int attempt = 1; !RemoveRunFolder(state.runFolder) && attempt < kFolderRemovalAttempts; ++attempt) {
    WaitDispatchingMessages(nullptr, kFolderRemovalPauseMs);
  }
  return 0;
}

int WINAPI RunStub(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // Before anything else can load a DLL: nothing planted beside the stub may be loaded.
  RestrictLibrarySearch();
  PreloadSystemLibraries();
  // The user's language, before any text is shown and before other threads ask for texts.
  LoadUserTexts();
  static StubState state;
  RunStubWith(state, instance);
  // A report still under way may hold locks inside the HTTP library that its DLL detach code would
  // wait for: the process then ends without the DLLs' detach code.
  if (state.reportLeftRunning) TerminateProcess(GetCurrentProcess(), 0);
  return 0;
}
