// When a package download is tried again, and after how long.
#include "net/download_policy.h"

#include <gtest/gtest.h>
#include <winhttp.h>

namespace {

TEST(DownloadPolicyTest, EndsClassifiedOnATableOfCases) {
  static const struct {
    const char* name;
    AttemptFacts facts;
    AttemptEnd end;
  } kCases[] = {
      {"complete", {0, 200, false, false, false, false}, AttemptEnd::kComplete},
      {"a resumed part that fits", {0, 206, false, false, false, false}, AttemptEnd::kComplete},
      {"connection refused", {ERROR_WINHTTP_CANNOT_CONNECT, 0, false, false, false, false}, AttemptEnd::kTransient},
      {"connection reset (Wine's socket code)", {WSAECONNRESET, 200, false, false, false, false},
       AttemptEnd::kTransient},
      {"connection aborted", {ERROR_WINHTTP_CONNECTION_ERROR, 200, false, false, false, false},
       AttemptEnd::kTransient},
      {"timed out", {ERROR_WINHTTP_TIMEOUT, 200, false, false, false, false}, AttemptEnd::kTransient},
      {"invalid server response", {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, 0, false, false, false, false},
       AttemptEnd::kTransient},
      {"body cut short", {0, 200, false, false, true, false}, AttemptEnd::kTransient},
      {"408", {0, 408, false, false, true, false}, AttemptEnd::kTransient},
      {"429", {0, 429, false, false, true, false}, AttemptEnd::kTransient},
      {"500", {0, 500, false, false, true, false}, AttemptEnd::kTransient},
      {"503", {0, 503, false, false, true, false}, AttemptEnd::kTransient},
      {"599", {0, 599, false, false, true, false}, AttemptEnd::kTransient},
      {"a part that does not continue the file", {0, 206, false, true, true, false}, AttemptEnd::kTransient},
      {"404", {0, 404, false, false, true, false}, AttemptEnd::kPermanent},
      {"403", {0, 403, false, false, true, false}, AttemptEnd::kPermanent},
      {"416 not asked for", {0, 416, false, false, true, false}, AttemptEnd::kPermanent},
      {"a redirect not followed", {0, 302, false, false, true, false}, AttemptEnd::kPermanent},
      {"600", {0, 600, false, false, true, false}, AttemptEnd::kPermanent},
      {"no Content-Length", {0, 200, true, false, true, false}, AttemptEnd::kPermanent},
      {"certificate not trusted", {ERROR_WINHTTP_SECURE_FAILURE, 0, false, false, false, false},
       AttemptEnd::kPermanent},
      {"TLS channel error", {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, 0, false, false, false, false},
       AttemptEnd::kPermanent},
      {"https to http redirect refused", {ERROR_WINHTTP_REDIRECT_FAILED, 0, false, false, false, false},
       AttemptEnd::kPermanent},
      {"package file not written, even on a network error", {WSAECONNRESET, 200, false, false, true, true},
       AttemptEnd::kPermanent},
  };
  for (const auto& c : kCases) EXPECT_EQ(ClassifyAttempt(c.facts), c.end) << c.name;
}

TEST(DownloadPolicyTest, PausesDoubleFromOneSecondAndStayWithinAMinute) {
  static const struct {
    int next;
    DWORD retryAfterMs;
    DWORD pausedMs;
    DWORD pauseMs;
  } kCases[] = {
      {2, 0, 0, 1000},         {3, 0, 1000, 2000},       {4, 0, 3000, 4000},    {5, 0, 7000, 8000},
      {3, 5000, 1000, 5000},   // Retry-After replaces the pause
      {2, 120000, 0, 30000},   // ... up to 30 seconds
      {4, 30000, 50000, 10000},  // never past a minute of pauses in all
      {5, 0, 60000, 0},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(PauseBeforeAttempt(c.next, c.retryAfterMs, c.pausedMs), c.pauseMs)
        << c.next << " " << c.retryAfterMs << " " << c.pausedMs;
  }
  DWORD paused = 0;
  for (int next = 2; next <= kMaxDownloadAttempts; ++next) paused += PauseBeforeAttempt(next, 30000, paused);
  EXPECT_EQ(paused, 60000u);
}

TEST(DownloadPolicyTest, RetryAfterIsDeltaSecondsOnly) {
  static const struct {
    const wchar_t* value;
    bool parsed;
    DWORD milliseconds;
  } kCases[] = {
      {L"3", true, 3000},
      {L" 120 ", true, 120000},
      {L"0", true, 0},
      {L"99999999999999999999", true, 86400000},  // huge: a day, not a wrapped number
      {L"", false, 0},
      {L"-1", false, 0},
      {L"1.5", false, 0},
      {L"Wed, 21 Oct 2026 07:28:00 GMT", false, 0},
  };
  for (const auto& c : kCases) {
    DWORD milliseconds = 0;
    EXPECT_EQ(ParseRetryAfter(c.value, wcslen(c.value), milliseconds), c.parsed) << c.value;
    if (c.parsed) EXPECT_EQ(milliseconds, c.milliseconds);
  }
}

}  // namespace
