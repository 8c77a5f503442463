#include "net/info_request.h"

#include <utility>

#include "net/async_request.h"

namespace {

// An information reply is a few hundred bytes; more than this is not read.
constexpr size_t kReplyLimitBytes = 1 << 20;
// A request that has not ended by then (a server that trickles its reply) is abandoned.
constexpr DWORD kTimeLimitMs = 60000;


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

// The text for a request that ended as `end` says, or TextId::kCount when it did not fail.
TextId FailureText(const RequestEnd& end) {
  if (end.timedOut) return TextId::kReceiveFailed;
  if (end.error == 0) return TextId::kCount;
  switch (end.failedCall) {
    case API_SEND_REQUEST:
      return TextId::kSendFailed;
    case API_RECEIVE_RESPONSE:
      return TextId::kReceiveFailed;
    case API_QUERY_DATA_AVAILABLE:
      return TextId::kNoData;
    default:
      return TextId::kReadFailed;
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
    ComposeText(failure, TextId::kDownloadFailed, {Text(TextId::kProxyPasswordReason)});
    return FetchResult::kProxyRefused;
  } else if (replySink.outOfMemory) {
    ComposeText(failure, TextId::kOutOfMemory);
  } else if (FailureText(end) != TextId::kCount) {
    ComposeText(failure, FailureText(end));
  }
  return failure.empty() ? FetchResult::kOk : FetchResult::kFailed;
}
