#include "net/outcome_report.h"

#include "common/detached_job.h"
#include "common/message_wait.h"
#include "net/http_request.h"
#include "net/proxy.h"

namespace {

// One report's inputs and result, run as a DetachedJob: the caller may stop waiting for it.
struct Report {
  WideString url;  // for a proxy lookup
  UrlParts target;
  WideString path;
  bool haveProxy;
  ProxyChoice proxy;
  DWORD limitMs;
  bool answered;

  void Run();
};

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

void Report::Run() { answered = Send(*this); }

}  // namespace

ReportEnd SendOutcomeReport(const wchar_t* infoUrl, const wchar_t* path, DWORD limitMs) {
  // Bound here, on the calling thread, before the report's thread uses the library.
  if (!LoadWinHttp()) return ReportEnd::kFailed;
  DetachedJob<Report>* job = NewDetachedJob<Report>();
  if (!job) return ReportEnd::kFailed;
  Report& report = job->work;
  report.limitMs = limitMs;
  if (!SplitUrl(infoUrl, report.target) || !report.url.Append(infoUrl) || !report.path.Append(path)) {
    ReleaseDetachedJob(job);
    return ReportEnd::kFailed;
  }
  report.haveProxy = RememberedProxy(report.target.host.c_str(), report.target.secure, report.proxy);
  if (!StartDetachedJob(job)) {
    ReleaseDetachedJob(job);
    return ReportEnd::kFailed;
  }
  ReportEnd end = ReportEnd::kAbandoned;
  if (WaitDispatchingMessages(job->done, limitMs)) end = report.answered ? ReportEnd::kAnswered : ReportEnd::kFailed;
  ReleaseDetachedJob(job);
  return end;
}
