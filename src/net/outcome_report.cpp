#include "net/outcome_report.h"

#include <new>

#include "common/message_wait.h"
#include "net/http_request.h"
#include "net/proxy.h"

namespace {

// One report, shared by the calling thread and the report's thread, on the heap: each holds a
// reference and the last to let go frees it, so a report that outlives the caller's wait never
// touches freed memory. The inputs are the report's own copies; `answered` is written by the
// report's thread before it sets `done`, and read by the caller only after it saw `done` set.
struct Report {
  volatile LONG references;
  HANDLE done;
  WideString url;  // for a proxy lookup
  UrlParts target;
  WideString path;
  bool haveProxy;
  ProxyChoice proxy;
  DWORD limitMs;
  bool answered;
};

void ReleaseReport(Report* report) {
  if (InterlockedDecrement(&report->references) != 0) return;
  if (report->done) CloseHandle(report->done);
  report->~Report();
  FreeBlock(report);
}

// The request itself, synchronous, on the report's thread. Each of the library's steps is also given
// the whole limit, so that a request the caller has stopped waiting for does not linger for long.
bool Send(Report& report) {
  if (!report.haveProxy &&
      !FindProxy(report.url.c_str(), report.target.host.c_str(), report.target.secure, report.proxy)) {
    return false;
  }
  HINTERNET session = OpenProxiedSession(report.proxy, 0);
  if (!session) return false;
  const int stepMs = static_cast<int>(report.limitMs);
  WinHttp().SetTimeouts(session, stepMs, stepMs, stepMs, stepMs);
  HINTERNET connection = WinHttp().Connect(session, report.target.host.c_str(), report.target.port, 0);
  HINTERNET request = connection ? OpenGetRequest(connection, report.path.c_str(), report.target.secure) : nullptr;
  bool answered = false;
  if (request) {
    // One request to the information server and nothing more: no redirect to elsewhere, and no
    // logon offered to a server or proxy that asks for one (it would carry the user's name).
    DWORD disabled = WINHTTP_DISABLE_REDIRECTS;
    WinHttp().SetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof(disabled));
    DWORD logon = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
    WinHttp().SetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &logon, sizeof(logon));
    answered = WinHttp().SendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
               WinHttp().ReceiveResponse(request, nullptr);
    WinHttp().CloseHandle(request);
  }
  if (connection) WinHttp().CloseHandle(connection);
  WinHttp().CloseHandle(session);
  return answered;
}

DWORD WINAPI RunReport(void* parameter) {
  auto* report = static_cast<Report*>(parameter);
  report->answered = Send(*report);
  SetEvent(report->done);
  ReleaseReport(report);
  return 0;
}

}  // namespace

ReportEnd SendOutcomeReport(const wchar_t* infoUrl, const wchar_t* path, DWORD limitMs) {
  // Bound here, on the calling thread, before the report's thread uses the library.
  if (!LoadWinHttp()) return ReportEnd::kFailed;
  void* block = AllocateBlock(sizeof(Report));
  if (!block) return ReportEnd::kFailed;
  Report* report = new (block) Report{};
  report->references = 1;
  report->limitMs = limitMs;
  report->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!report->done || !SplitUrl(infoUrl, report->target) || !report->url.Append(infoUrl) ||
      !report->path.Append(path)) {
    ReleaseReport(report);
    return ReportEnd::kFailed;
  }
  report->haveProxy = RememberedProxy(report->target.host.c_str(), report->target.secure, report->proxy);
  InterlockedIncrement(&report->references);  // the report thread's
  HANDLE thread = CreateThread(nullptr, 0, RunReport, report, 0, nullptr);
  if (!thread) {
    InterlockedDecrement(&report->references);
    ReleaseReport(report);
    return ReportEnd::kFailed;
  }
  CloseHandle(thread);
  ReportEnd end = ReportEnd::kAbandoned;
  if (WaitDispatchingMessages(report->done, limitMs)) end = report->answered ? ReportEnd::kAnswered : ReportEnd::kFailed;
  ReleaseReport(report);
  return end;
}
