// How a run ended, as the publisher receives it: one outcome code and a short detail, sent once at the
// end of a run that has an identifier (GET /outcome on the information server's host). The code and
// the detail are lower case letters, digits and '-', the detail at most 24 of them and possibly empty.
// Nothing else of the machine or the user goes with them: only the stub's version and architecture
// and the identifier the information request carried.
#pragma once

#include <windows.h>

#include "common/strings.h"
#include "common/stub_state.h"
#include "install/package_install.h"
#include "net/failure_class.h"
#include "net/outcome_report.h"
#include "net/package_download.h"

enum class OutcomeCode {
  kNone,                    // nothing to report
  kInstalled,
  kInstalledRestartNeeded,  // detail: msiexec's exit code (3010 or 1641)
  kCancelled,               // detail: the stage (CancelStage)
  kInfoFailed,              // detail: the reason's class
  kNoPackageUrl,            // detail: "missing" (no MSIURL in the reply) or "damaged" (pin unreadable)
  kDownloadFailed,          // detail: the reason's class
  kNotPublished,            // detail: "size", "digest", or "type" (not an installer package)
  kFileError,               // detail: "id-file", "temp-folder" or "package-file"
  kInstallerNotStarted,     // detail: the Windows error code in decimal
  kInstallerFailed,         // detail: msiexec's exit code in decimal
  kAnotherInstallation,
};

// Detail texts: 24 units and the terminator.
using OutcomeDetail = FixedString<25>;

struct RunOutcome {
  OutcomeCode code = OutcomeCode::kNone;
  OutcomeDetail detail;
};

// Where a cancelled run was when the user cancelled it.
enum class CancelStage { kInfo, kDownload, kWaiting };

// How long the end of a run waits for its report at most, and for a cancelled run's: a user who
// cancelled expects the stub gone at once.
constexpr DWORD kOutcomeReportLimitMs = 3000;
constexpr DWORD kCancelledReportLimitMs = 1500;

// Sets the outcome, replacing any earlier one. `detail` must fit (it is one of the fixed texts).
void SetOutcome(RunOutcome& outcome, OutcomeCode code, const wchar_t* detail = L"");

// A cancelled run, at `stage`.
void SetCancelledOutcome(RunOutcome& outcome, CancelStage stage);

// `code` (kInfoFailed or kDownloadFailed) with the class of `failure` as the detail: "name",
// "connect", "tls", "proxy", "timeout", "http-NNN" (the HTTP status) or "other".
void SetTransferOutcome(RunOutcome& outcome, OutcomeCode code, const TransferFailure& failure);

// The information reply had no package URL: "info-failed" when the request failed (`requestFailed`)
// or the server answered with an error status, with the reason's class; "no-package-url"/"missing"
// when the server answered well but named no package.
void SetMissingUrlOutcome(RunOutcome& outcome, bool requestFailed, const TransferFailure& seen);

// A download that returned false, as DownloadPackage described it.
void SetDownloadOutcome(RunOutcome& outcome, const DownloadFailure& failure);

// The install stage's result; `exitCode` is msiexec's last exit code, `startError` the reason a start
// failed (kNotStarted).
void SetInstallOutcome(RunOutcome& outcome, InstallResult result, DWORD exitCode, DWORD startError);

// The lower-case code sent for `code` ("installed", ...); empty for kNone.
const wchar_t* OutcomeCodeText(OutcomeCode code);

// Composes "/outcome?outcome=<code>&detail=<detail>&version=<version>&arch=<x86|x64>&session=" and
// then the `idLength` bytes of `id` widened byte by byte, exactly as the information request sends
// them. Returns false when memory runs out.
bool ComposeOutcomePath(WideString& path, const RunOutcome& outcome, const char* id, size_t idLength);

// The report's time limit for `outcome`: shorter for a cancelled run.
DWORD OutcomeReportLimitMs(const RunOutcome& outcome);

// Sends `outcome` for the run of `state` to the information server of `infoEndpoint`
// (SendOutcomeReport), waiting at most `limitMs`. A run without an identifier, or without an outcome,
// sends nothing (kFailed).
ReportEnd ReportRunOutcome(const wchar_t* infoEndpoint, const StubState& state, const RunOutcome& outcome,
                           DWORD limitMs);
