#include "net/proxy.h"

#include <utility>

#include "common/detached_job.h"
#include "common/message_wait.h"
#include "net/http_request.h"
#include "net/winhttp_api.h"

namespace {

// The proxies already found in this run: a run asks for at most two hosts (information, package).
constexpr int kRemembered = 4;
struct Remembered {
  bool used;
  bool secure;
  WideString host;
  ProxyChoice choice;
};
Remembered remembered[kRemembered];

bool CopyChoice(const ProxyChoice& from, ProxyChoice& to) {
  to.accessType = from.accessType;
  to.proxy.Clear();
  to.bypass.Clear();
  return to.proxy.Append(from.proxy.c_str()) && to.bypass.Append(from.bypass.c_str());
}

void SetDefault(ProxyChoice& choice) {
  choice.accessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
  choice.proxy.Clear();
  choice.bypass.Clear();
}

// The entry of a proxy list ("http=a:1;https=b:2", or "a:1" for every scheme) for the scheme,
// into `out`; false when the list names none for it.
bool ProxyForScheme(const wchar_t* list, bool secure, WideString& out) {
  const wchar_t* scheme = secure ? L"https=" : L"http=";
  bool schemed = false;
  for (const wchar_t* entry = list; *entry;) {
    const wchar_t* end = entry;
    while (*end && *end != L';' && *end != L' ') ++end;
    bool hasScheme = false;
    for (const wchar_t* c = entry; c < end; ++c) hasScheme = hasScheme || *c == L'=';
    schemed = schemed || hasScheme;
    if (hasScheme && StartsWith(entry, scheme)) {
      const size_t skip = TextLength(scheme);
      return out.Append(entry + skip, static_cast<size_t>(end - entry) - skip) && !out.empty();
    }
    entry = *end ? end + 1 : end;
  }
  // One name for all schemes.
  return !schemed && out.Append(list) && !out.empty();
}

// Asks WinHttpGetProxyForUrl with `options`; fills `choice` on success.
bool AskForUrl(HINTERNET session, const wchar_t* url, WINHTTP_AUTOPROXY_OPTIONS& options, ProxyChoice& choice) {
  WINHTTP_PROXY_INFO info = {};
  if (!WinHttp().GetProxyForUrl(session, url, &options, &info)) return false;
  bool ok = true;
  if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy && *info.lpszProxy) {
    choice.accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    ok = choice.proxy.Append(info.lpszProxy) && (!info.lpszProxyBypass || choice.bypass.Append(info.lpszProxyBypass));
  } else {
    choice.accessType = WINHTTP_ACCESS_TYPE_NO_PROXY;  // the script said DIRECT
  }
  if (info.lpszProxy) GlobalFree(info.lpszProxy);
  if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
  return ok;
}

// Discovery (automatic detection, the configuration script) may wait on servers that never answer:
// it runs on a thread of its own while the UI thread keeps the window alive, and the run waits for it
// at most this long in all. A lookup still running then is left to finish on its own, unheard.
constexpr DWORD kDiscoveryBoundMs = 10000;
DWORD discoveryWaitedMs = 0;  // UI thread only

// The lookup session's limits for each step of fetching the script (name resolution, connect, send,
// receive): the synchronous defaults are unlimited, 60, 30 and 30 seconds.
constexpr int kLookupStepTimeoutMs = 5000;

// One lookup's inputs and results, run as a DetachedJob: the UI thread may stop waiting for it.
struct Lookup {
  bool autoDetect;
  WideString url;
  WideString scriptUrl;  // empty: no configuration script
  bool found;
  ProxyChoice choice;

  void Run();
};

// Detection first, then the script, on a synchronous session of its own that goes direct (the
// script's server is reached the way the settings say: directly), with automatic log-on to it.
bool Discover(Lookup& lookup) {
  HINTERNET session = OpenHttpSession(WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
  if (!session) return false;
  WinHttp().SetTimeouts(session, kLookupStepTimeoutMs, kLookupStepTimeoutMs, kLookupStepTimeoutMs,
                        kLookupStepTimeoutMs);
  WINHTTP_AUTOPROXY_OPTIONS options = {};
  options.fAutoLogonIfChallenged = TRUE;
  bool found = false;
  if (lookup.autoDetect) {
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    found = AskForUrl(session, lookup.url.c_str(), options, lookup.choice);
  }
  if (!found && !lookup.scriptUrl.empty()) {
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.dwAutoDetectFlags = 0;
    options.lpszAutoConfigUrl = lookup.scriptUrl.c_str();
    SetDefault(lookup.choice);
    found = AskForUrl(session, lookup.url.c_str(), options, lookup.choice);
  }
  WinHttp().CloseHandle(session);
  return found;
}

void Lookup::Run() { found = Discover(*this); }

// Discovery for `url` on a lookup thread, waited for within what is left of the run's bound; fills
// `choice` when it found something in time. Once the bound is used up, nothing is looked up again.
bool DiscoverWithinBound(const wchar_t* url, const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& settings,
                         ProxyChoice& choice, HANDLE cancel) {
  if (discoveryWaitedMs >= kDiscoveryBoundMs) return false;
  DetachedJob<Lookup>* job = NewDetachedJob<Lookup>();
  if (!job) return false;
  Lookup& lookup = job->work;
  lookup.autoDetect = settings.fAutoDetect != FALSE;
  SetDefault(lookup.choice);
  if (!lookup.url.Append(url) ||
      (settings.lpszAutoConfigUrl && !lookup.scriptUrl.Append(settings.lpszAutoConfigUrl)) || !StartDetachedJob(job)) {
    ReleaseDetachedJob(job);
    return false;
  }

  const DWORD start = GetTickCount();
  const bool finished =
      WaitUnlessCancelled(job->done, kDiscoveryBoundMs - discoveryWaitedMs, cancel) == WaitEnd::kSignalled;
  const DWORD waited = GetTickCount() - start;
  // A lookup left running may still hold a server that does not answer: none is started after it.
  discoveryWaitedMs = finished && waited < kDiscoveryBoundMs - discoveryWaitedMs ? discoveryWaitedMs + waited
                                                                                  : kDiscoveryBoundMs;
  const bool found = finished && lookup.found && CopyChoice(lookup.choice, choice);
  ReleaseDetachedJob(job);
  return found;
}

// Steps 1 and 2 of FindProxy; false leaves `choice` for the default.
bool LookUp(const wchar_t* url, bool secure, ProxyChoice& choice, HANDLE cancel) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings = {};
  if (!WinHttp().GetIEProxyConfigForCurrentUser(&settings)) return false;
  bool found = false;
  if (settings.fAutoDetect || settings.lpszAutoConfigUrl) found = DiscoverWithinBound(url, settings, choice, cancel);
  if (!found && settings.lpszProxy) {
    SetDefault(choice);
    found = ProxyForScheme(settings.lpszProxy, secure, choice.proxy) &&
            (!settings.lpszProxyBypass || choice.bypass.Append(settings.lpszProxyBypass));
    if (found) choice.accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
  }
  if (settings.lpszAutoConfigUrl) GlobalFree(settings.lpszAutoConfigUrl);
  if (settings.lpszProxy) GlobalFree(settings.lpszProxy);
  if (settings.lpszProxyBypass) GlobalFree(settings.lpszProxyBypass);
  return found;
}

}  // namespace

bool RememberedProxy(const wchar_t* host, bool secure, ProxyChoice& choice) {
  for (const Remembered& entry : remembered) {
    if (entry.used && entry.secure == secure && SameText(entry.host.c_str(), host)) return CopyChoice(entry.choice, choice);
  }
  return false;
}

bool FindProxy(const wchar_t* url, const wchar_t* host, bool secure, ProxyChoice& choice, HANDLE cancel) {
  SetDefault(choice);
  if (RememberedProxy(host, secure, choice)) return true;
  if (!LookUp(url, secure, choice, cancel)) SetDefault(choice);
  // A lookup cut short by a cancelled run found nothing worth remembering.
  if (cancel && WaitForSingleObject(cancel, 0) == WAIT_OBJECT_0) return true;
  for (Remembered& entry : remembered) {
    if (entry.used) continue;
    entry.used = entry.host.Append(host) && CopyChoice(choice, entry.choice);
    entry.secure = secure;
    break;
  }
  return true;
}
