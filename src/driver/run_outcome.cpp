#include "driver/run_outcome.h"

#include "common/stub_version.h"

namespace {

#if defined(_WIN64)
constexpr wchar_t kArch[] = L"x64";
#else
constexpr wchar_t kArch[] = L"x86";
#endif

const wchar_t* ClassText(FailureClass failureClass) {
  switch (failureClass) {
    case FailureClass::kName:
      return L"name";
    case FailureClass::kConnect:
      return L"connect";
    case FailureClass::kTls:
      return L"tls";
    case FailureClass::kProxy:
      return L"proxy";
    case FailureClass::kTimeout:
      return L"timeout";
    case FailureClass::kHttpStatus:  // composed with its number by the caller
    case FailureClass::kOther:
      break;
  }
  return L"other";
}

void SetOutcomeNumber(RunOutcome& outcome, OutcomeCode code, const wchar_t* prefix, DWORD number) {
  SetOutcome(outcome, code, prefix);
  AppendDecimal(outcome.detail, number);  // at most 10 digits after a prefix of 5: it always fits
}

}  // namespace

void SetOutcome(RunOutcome& outcome, OutcomeCode code, const wchar_t* detail) {
  outcome.code = code;
  outcome.detail.Assign(detail);
}

void SetCancelledOutcome(RunOutcome& outcome, CancelStage stage) {
  const wchar_t* detail = stage == CancelStage::kInfo ? L"info" : stage == CancelStage::kDownload ? L"download"
                                                                                                    : L"waiting";
  SetOutcome(outcome, OutcomeCode::kCancelled, detail);
}

void SetTransferOutcome(RunOutcome& outcome, OutcomeCode code, const TransferFailure& failure) {
  const FailureClass failureClass = ClassifyFailure(failure);
  if (failureClass == FailureClass::kHttpStatus) {
    SetOutcomeNumber(outcome, code, L"http-", failure.status);
  } else {
    SetOutcome(outcome, code, ClassText(failureClass));
  }
}

void SetMissingUrlOutcome(RunOutcome& outcome, bool requestFailed, const TransferFailure& seen) {
  if (requestFailed || ClassifyFailure(seen) == FailureClass::kHttpStatus) {
    SetTransferOutcome(outcome, OutcomeCode::kInfoFailed, seen);
  } else {
    SetOutcome(outcome, OutcomeCode::kNoPackageUrl, L"missing");
  }
}

void SetDownloadOutcome(RunOutcome& outcome, const DownloadFailure& failure) {
  switch (failure.kind) {
    case DownloadFailure::Kind::kTransfer:
      SetTransferOutcome(outcome, OutcomeCode::kDownloadFailed, failure.transfer);
      return;
    case DownloadFailure::Kind::kNotPublishedSize:
      SetOutcome(outcome, OutcomeCode::kNotPublished, L"size");
      return;
    case DownloadFailure::Kind::kNotPublishedDigest:
      SetOutcome(outcome, OutcomeCode::kNotPublished, L"digest");
      return;
    case DownloadFailure::Kind::kNotPackage:
      SetOutcome(outcome, OutcomeCode::kNotPublished, L"type");
      return;
    case DownloadFailure::Kind::kPackageFile:
      SetOutcome(outcome, OutcomeCode::kFileError, L"package-file");
      return;
  }
}

void SetInstallOutcome(RunOutcome& outcome, InstallResult result, DWORD exitCode, DWORD startError) {
  switch (result) {
    case InstallResult::kInstalled:
      SetOutcome(outcome, OutcomeCode::kInstalled);
      return;
    case InstallResult::kRestartNeeded:
      SetOutcomeNumber(outcome, OutcomeCode::kInstalledRestartNeeded, L"", exitCode);
      return;
    case InstallResult::kNotInstalled:
      // An exit code that could not be read is no code: the detail stays empty.
      if (exitCode == 0) {
        SetOutcome(outcome, OutcomeCode::kInstallerFailed);
      } else {
        SetOutcomeNumber(outcome, OutcomeCode::kInstallerFailed, L"", exitCode);
      }
      return;
    case InstallResult::kAnotherInstallation:
      SetOutcome(outcome, OutcomeCode::kAnotherInstallation);
      return;
    case InstallResult::kNoTempFolder:
      SetOutcome(outcome, OutcomeCode::kFileError, L"temp-folder");
      return;
    case InstallResult::kNotStarted:
      SetOutcomeNumber(outcome, OutcomeCode::kInstallerNotStarted, L"", startError);
      return;
    case InstallResult::kCancelled:  // during the wait for another installation: msiexec never ran
      SetCancelledOutcome(outcome, CancelStage::kWaiting);
      return;
  }
}

const wchar_t* OutcomeCodeText(OutcomeCode code) {
  switch (code) {
    case OutcomeCode::kNone:
      break;
    case OutcomeCode::kInstalled:
      return L"installed";
    case OutcomeCode::kInstalledRestartNeeded:
      return L"installed-restart-needed";
    case OutcomeCode::kCancelled:
      return L"cancelled";
    case OutcomeCode::kInfoFailed:
      return L"info-failed";
    case OutcomeCode::kNoPackageUrl:
      return L"no-package-url";
    case OutcomeCode::kDownloadFailed:
      return L"download-failed";
    case OutcomeCode::kNotPublished:
      return L"not-published";
    case OutcomeCode::kFileError:
      return L"file-error";
    case OutcomeCode::kInstallerNotStarted:
      return L"installer-not-started";
    case OutcomeCode::kInstallerFailed:
      return L"installer-failed";
    case OutcomeCode::kAnotherInstallation:
      return L"another-installation";
  }
  return L"";
}

bool ComposeOutcomePath(WideString& path, const RunOutcome& outcome, const char* id, size_t idLength) {
  path.Clear();
  return path.Append(L"/outcome?outcome=") && path.Append(OutcomeCodeText(outcome.code)) &&
         path.Append(L"&detail=") && path.Append(outcome.detail.c_str()) && path.Append(L"&version=" STUB_VERSION) &&
         path.Append(L"&arch=") && path.Append(kArch) && path.Append(L"&session=") && WidenAppend(path, id, idLength);
}

DWORD OutcomeReportLimitMs(const RunOutcome& outcome) {
  return outcome.code == OutcomeCode::kCancelled ? kCancelledReportLimitMs : kOutcomeReportLimitMs;
}

ReportEnd ReportRunOutcome(const wchar_t* infoEndpoint, const StubState& state, const RunOutcome& outcome,
                           DWORD limitMs) {
  const size_t idLength = DownloadIdLength(state);
  WideString path;
  if (idLength == 0 || outcome.code == OutcomeCode::kNone ||
      !ComposeOutcomePath(path, outcome, state.downloadId, idLength)) {
    return ReportEnd::kFailed;
  }
  return SendOutcomeReport(infoEndpoint, path.c_str(), limitMs);
}
