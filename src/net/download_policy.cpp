#include "net/download_policy.h"

#include <winhttp.h>

namespace {

constexpr DWORD kFirstPauseMs = 1000;
constexpr DWORD kLongestRetryAfterMs = 30000;
constexpr DWORD kPauseBudgetMs = 60000;

// Library errors of a network that let the connection down; worth another attempt. (Wine reports a
// connection reset or aborted as the socket error itself.)
constexpr DWORD kTransientErrors[] = {
    ERROR_WINHTTP_TIMEOUT,           ERROR_WINHTTP_NAME_NOT_RESOLVED,  ERROR_WINHTTP_CANNOT_CONNECT,
    ERROR_WINHTTP_CONNECTION_ERROR,  ERROR_WINHTTP_INVALID_SERVER_RESPONSE,
    ERROR_WINHTTP_RESEND_REQUEST,    WSAECONNRESET,                    WSAECONNABORTED,
    WSAETIMEDOUT,                    WSAECONNREFUSED,                  WSAENETRESET,
    WSAENETUNREACH,                  WSAEHOSTUNREACH,
};

bool IsTransientStatus(DWORD status) {
  return status == 408 || status == 429 || (status >= 500 && status <= 599);
}

}  // namespace

AttemptEnd ClassifyAttempt(const AttemptFacts& facts) {
  if (facts.writeFailed || facts.notPublished || facts.tooLarge || facts.proxyRefused) return AttemptEnd::kPermanent;
  if (facts.error != 0) {
    for (DWORD transient : kTransientErrors) {
      if (facts.error == transient) return AttemptEnd::kTransient;
    }
    return AttemptEnd::kPermanent;
  }
  if (facts.rangeRefused) return AttemptEnd::kTransient;
  if (IsTransientStatus(facts.status)) return AttemptEnd::kTransient;
  if (facts.status < 200 || facts.status > 299) return AttemptEnd::kPermanent;
  if (facts.noLength) return AttemptEnd::kPermanent;
  if (facts.shortBody) return AttemptEnd::kTransient;
  return AttemptEnd::kComplete;
}

DWORD PauseBeforeAttempt(int next, DWORD retryAfterMs, DWORD pausedMs) {
  DWORD pause = kFirstPauseMs;
  for (int attempt = 2; attempt < next && attempt < kMaxDownloadAttempts; ++attempt) pause *= 2;
  if (retryAfterMs != 0) pause = retryAfterMs < kLongestRetryAfterMs ? retryAfterMs : kLongestRetryAfterMs;
  const DWORD left = pausedMs < kPauseBudgetMs ? kPauseBudgetMs - pausedMs : 0;
  return pause < left ? pause : left;
}

bool ParseRetryAfter(const wchar_t* value, size_t length, DWORD& milliseconds) {
  size_t at = 0;
  while (at < length && value[at] == L' ') ++at;
  while (length > at && value[length - 1] == L' ') --length;
  if (at == length) return false;
  DWORD seconds = 0;
  for (; at < length; ++at) {
    if (value[at] < L'0' || value[at] > L'9') return false;
    if (seconds > 86400) continue;  // a day or more: the digits no longer matter, and no overflow
    seconds = seconds * 10 + static_cast<DWORD>(value[at] - L'0');
  }
  milliseconds = seconds > 86400 ? 86400000 : seconds * 1000;
  return true;
}
