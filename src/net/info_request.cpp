#include "net/info_request.h"

#include <utility>

#include "net/async_request.h"

namespace {

// An information reply is a few hundred bytes; more than this is not read.
constexpr size_t kReplyLimitBytes = 1 << 20;
// A request that has not ended by then (a server that trickles its reply) is abandoned.
constexpr DWORD kTimeLimitMs = 60000;

constexpr wchar_t kSendFailed[] = L"The download server denied the request (technical reason: HTTP send failed)";
constexpr wchar_t kReceiveFailed[] = L"The download failed to respond (technical reason: HTTP receive failed)";
constexpr wchar_t kNoData[] =
    L"The download server failed to send the response data (technical reason: HTTP got no data)";
constexpr wchar_t kReadFailed[] = L"The download data could not be read";

struct ReplySink {
  ByteString* reply;
  bool outOfMemory;
  bool proxyRefused;
  DWORD status;
};

// Any status will do, an error page is searched like any other reply; but a proxy's 407 is no reply
// of the information server's.
bool OnHeaders(void* owner, HINTERNET request) {
  auto* sink = static_cast<ReplySink*>(owner);
  sink->status = QueryHttpStatus(request);
  if (sink->status != kProxyAuthenticationRequired) return true;
  sink->proxyRefused = true;
  return false;
}

// Keeps the bytes up to the limit; reaching it ends the transfer, the rest unread.
bool OnData(void* owner, const BYTE* bytes, DWORD count) {
  auto* sink = static_cast<ReplySink*>(owner);
  const size_t room = kReplyLimitBytes - sink->reply->length();
  const size_t take = count < room ? count : room;
  if (!sink->reply->Append(reinterpret_cast<const char*>(bytes), take)) {
    sink->outOfMemory = true;
    return false;
  }
  return sink->reply->length() < kReplyLimitBytes;
}

// The text for a request that ended as `end` says, or null when it did not fail.
const wchar_t* FailureText(const RequestEnd& end) {
  if (end.timedOut) return kReceiveFailed;
  if (end.error == 0) return nullptr;
  switch (end.failedCall) {
    case API_SEND_REQUEST:
      return kSendFailed;
    case API_RECEIVE_RESPONSE:
      return kReceiveFailed;
    case API_QUERY_DATA_AVAILABLE:
      return kNoData;
    default:
      return kReadFailed;
  }
}

}  // namespace

FetchResult FetchToMemory(const ProgressReport& report, const wchar_t* url, ByteString& response,
                          WideString& failure, TransferFailure* seen) {
  response.Clear();
  failure.Clear();
  ReplySink replySink = {&response, false, false, 0};
  const RequestSink sink = {&replySink, OnHeaders, OnData, nullptr};
  HttpTransfer setup;
  setup.cancel = report.cancel;
  setup.release = report.release;
  RequestEnd end;
  bool opened = RunAsyncRequest(url, nullptr, sink, kTimeLimitMs, setup, end);
  if (opened && replySink.proxyRefused && !Cancelled(report)) {
    // Once more, offering the user's own logon to the proxy, as browsers do.
    replySink.proxyRefused = false;
    HttpTransfer again;
    again.proxyLogon = true;
    again.cancel = report.cancel;
    again.release = report.release;
    opened = RunAsyncRequest(url, nullptr, sink, kTimeLimitMs, again, end);
    if (!opened) setup.errorText = std::move(again.errorText);
  }
  if (Cancelled(report)) return FetchResult::kCancelled;
  if (seen) {
    *seen = TransferFailure{};
    seen->status = replySink.status;
    seen->proxyRefused = opened && replySink.proxyRefused;
    if (opened) {
      seen->error = end.error;
      seen->timedOut = end.timedOut;
    }
  }
  if (!opened) {
    failure = std::move(setup.errorText);
  } else if (replySink.proxyRefused) {
    ComposeMessage(failure, {kProxyRefusedMessage});
    return FetchResult::kProxyRefused;
  } else if (replySink.outOfMemory) {
    ComposeMessage(failure, {L"Out of memory"});
  } else if (const wchar_t* text = FailureText(end)) {
    ComposeMessage(failure, {text});
  }
  return failure.empty() ? FetchResult::kOk : FetchResult::kFailed;
}
