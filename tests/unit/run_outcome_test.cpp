// How a run's end becomes the code and detail the publisher receives, and the report's request path.
#include "driver/run_outcome.h"

#include <gtest/gtest.h>
#include <winhttp.h>

#include <string>

namespace {

std::wstring Detail(const RunOutcome& outcome) { return outcome.detail.c_str(); }

// Every code and detail is lower case letters, digits and '-', the detail at most 24 of them.
void ExpectWellFormed(const RunOutcome& outcome, const char* name) {
  const std::wstring code = OutcomeCodeText(outcome.code);
  EXPECT_FALSE(code.empty()) << name;
  const std::wstring detail = Detail(outcome);
  EXPECT_LE(detail.size(), 24u) << name;
  for (const std::wstring& text : {code, detail}) {
    for (wchar_t c : text) {
      EXPECT_TRUE((c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'-') << name;
    }
  }
}

TEST(RunOutcomeTest, TransferFailuresGiveTheirReasonsClass) {
  static const struct {
    const char* name;
    TransferFailure failure;
    const wchar_t* detail;
  } kCases[] = {
      {"host not found", {ERROR_WINHTTP_NAME_NOT_RESOLVED, 0, false, false}, L"name"},
      {"connection refused", {ERROR_WINHTTP_CANNOT_CONNECT, 0, false, false}, L"connect"},
      {"connection reset (Wine's socket code)", {10054, 200, false, false}, L"connect"},
      {"connection aborted", {ERROR_WINHTTP_CONNECTION_ERROR, 200, false, false}, L"connect"},
      {"certificate not trusted", {ERROR_WINHTTP_SECURE_FAILURE, 0, false, false}, L"tls"},
      {"TLS channel error", {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, 0, false, false}, L"tls"},
      {"the library's time-out", {ERROR_WINHTTP_TIMEOUT, 0, false, false}, L"timeout"},
      {"the transfer's own limit", {0, 200, true, false}, L"timeout"},
      {"a proxy that wants a password", {0, 407, false, true}, L"proxy"},
      {"404", {0, 404, false, false}, L"http-404"},
      {"500", {0, 500, false, false}, L"http-500"},
      {"an error decides over the status", {ERROR_WINHTTP_CANNOT_CONNECT, 503, false, false}, L"connect"},
      {"an invalid response", {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, 0, false, false}, L"other"},
      {"a 200 that still failed (cut short)", {0, 200, false, false}, L"other"},
      {"nothing seen", {0, 0, false, false}, L"other"},
  };
  for (const auto& c : kCases) {
    RunOutcome outcome;
    SetTransferOutcome(outcome, OutcomeCode::kDownloadFailed, c.failure);
    EXPECT_EQ(outcome.code, OutcomeCode::kDownloadFailed) << c.name;
    EXPECT_EQ(Detail(outcome), c.detail) << c.name;
    ExpectWellFormed(outcome, c.name);
  }
}

TEST(RunOutcomeTest, EachStageResultHasItsCodeAndDetail) {
  static const struct {
    const char* name;
    void (*set)(RunOutcome&);
    const wchar_t* code;
    const wchar_t* detail;
  } kCases[] = {
      {"installed", [](RunOutcome& o) { SetInstallOutcome(o, InstallResult::kInstalled, 0, 0); }, L"installed", L""},
      {"3010", [](RunOutcome& o) { SetInstallOutcome(o, InstallResult::kRestartNeeded, 3010, 0); },
       L"installed-restart-needed", L"3010"},
      {"1641", [](RunOutcome& o) { SetInstallOutcome(o, InstallResult::kRestartNeeded, 1641, 0); },
       L"installed-restart-needed", L"1641"},
      {"1603", [](RunOutcome& o) { SetInstallOutcome(o, InstallResult::kNotInstalled, 1603, 0); },
       L"installer-failed", L"1603"},
      {"largest exit code", [](RunOutcome& o) { SetInstallOutcome(o, InstallResult::kNotInstalled, 0xFFFFFFFF, 0); },
       L"installer-failed", L"4294967295"},
      {"exit code unreadable", [](RunOutcome& o) { SetInstallOutcome(o, InstallResult::kNotInstalled, 0, 0); },
       L"installer-failed", L""},
      {"1618 to the end", [](RunOutcome& o) { SetInstallOutcome(o, InstallResult::kAnotherInstallation, 1618, 0); },
       L"another-installation", L""},
      {"not started", [](RunOutcome& o) { SetInstallOutcome(o, InstallResult::kNotStarted, 0, 1260); },
       L"installer-not-started", L"1260"},
      {"no log path", [](RunOutcome& o) { SetInstallOutcome(o, InstallResult::kNoTempFolder, 0, 0); },
       L"file-error", L"temp-folder"},
      {"length not published",
       [](RunOutcome& o) { SetDownloadOutcome(o, {DownloadFailure::Kind::kNotPublishedSize, {}}); },
       L"not-published", L"size"},
      {"digest not published",
       [](RunOutcome& o) { SetDownloadOutcome(o, {DownloadFailure::Kind::kNotPublishedDigest, {}}); },
       L"not-published", L"digest"},
      {"not a package", [](RunOutcome& o) { SetDownloadOutcome(o, {DownloadFailure::Kind::kNotPackage, {}}); },
       L"not-published", L"type"},
      {"package file", [](RunOutcome& o) { SetDownloadOutcome(o, {DownloadFailure::Kind::kPackageFile, {}}); },
       L"file-error", L"package-file"},
      {"download refused",
       [](RunOutcome& o) {
         SetDownloadOutcome(o, {DownloadFailure::Kind::kTransfer, {ERROR_WINHTTP_CANNOT_CONNECT, 0, false, false}});
       },
       L"download-failed", L"connect"},
      {"information answered 404 without a URL",
       [](RunOutcome& o) { SetMissingUrlOutcome(o, false, {0, 404, false, false}); }, L"info-failed", L"http-404"},
      {"information request failed",
       [](RunOutcome& o) { SetMissingUrlOutcome(o, true, {ERROR_WINHTTP_CANNOT_CONNECT, 0, false, false}); },
       L"info-failed", L"connect"},
      {"information answered well without a URL",
       [](RunOutcome& o) { SetMissingUrlOutcome(o, false, {0, 200, false, false}); }, L"no-package-url", L"missing"},
      {"cancelled while waiting", [](RunOutcome& o) { SetCancelledOutcome(o, CancelStage::kWaiting); }, L"cancelled",
       L"waiting"},
      {"cancelled during the download", [](RunOutcome& o) { SetCancelledOutcome(o, CancelStage::kDownload); },
       L"cancelled", L"download"},
  };
  for (const auto& c : kCases) {
    RunOutcome outcome;
    c.set(outcome);
    EXPECT_STREQ(OutcomeCodeText(outcome.code), c.code) << c.name;
    EXPECT_EQ(Detail(outcome), c.detail) << c.name;
    ExpectWellFormed(outcome, c.name);
  }
}

TEST(RunOutcomeTest, PathCarriesTheOutcomeAndTheIdentifierByteForByte) {
  RunOutcome outcome;
  SetInstallOutcome(outcome, InstallResult::kNotInstalled, 1603, 0);
  // Blanks, '&', '#' and bytes above 0x7F go as the information request sends them: widened, unescaped.
  const char id[] = "a b&c#\xE9";
  WideString path;
  ASSERT_TRUE(ComposeOutcomePath(path, outcome, id, sizeof(id) - 1));
#if defined(_WIN64)
  const wchar_t* arch = L"x64";
#else
  const wchar_t* arch = L"x86";
#endif
  EXPECT_EQ(std::wstring(path.c_str()), std::wstring(L"/outcome?outcome=installer-failed&detail=1603&version=1.0&arch=") +
                                            arch + L"&session=a b&c#\u00E9");
}

TEST(RunOutcomeTest, CancelledRunsWaitLessForTheirReport) {
  RunOutcome outcome;
  SetOutcome(outcome, OutcomeCode::kInstalled);
  EXPECT_EQ(OutcomeReportLimitMs(outcome), kOutcomeReportLimitMs);
  SetCancelledOutcome(outcome, CancelStage::kInfo);
  EXPECT_EQ(Detail(outcome), L"info");
  EXPECT_LT(OutcomeReportLimitMs(outcome), 2000u);
}

}  // namespace
