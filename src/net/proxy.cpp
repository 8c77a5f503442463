#include "net/proxy.h"

#include <utility>

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

// Steps 1 and 2 of FindProxy; false leaves `choice` for the default.
bool LookUp(const wchar_t* url, bool secure, ProxyChoice& choice) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings = {};
  if (!WinHttp().GetIEProxyConfigForCurrentUser(&settings)) return false;
  bool found = false;
  if (settings.fAutoDetect || settings.lpszAutoConfigUrl) {
    // The lookup runs on a session of its own, synchronous and direct (the script's server is
    // reached the way the settings say: directly).
    HINTERNET session = WinHttp().Open(L"Brondelvik Downloader 1.0", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (session) {
      WINHTTP_AUTOPROXY_OPTIONS options = {};
      options.fAutoLogonIfChallenged = TRUE;
      if (settings.fAutoDetect) {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        found = AskForUrl(session, url, options, choice);
      }
      if (!found && settings.lpszAutoConfigUrl) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.dwAutoDetectFlags = 0;
        options.lpszAutoConfigUrl = settings.lpszAutoConfigUrl;
        SetDefault(choice);
        found = AskForUrl(session, url, options, choice);
      }
      WinHttp().CloseHandle(session);
    }
  }
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

bool FindProxy(const wchar_t* url, const wchar_t* host, bool secure, ProxyChoice& choice) {
  SetDefault(choice);
  for (const Remembered& entry : remembered) {
    if (entry.used && entry.secure == secure && SameText(entry.host.c_str(), host)) return CopyChoice(entry.choice, choice);
  }
  if (!LookUp(url, secure, choice)) SetDefault(choice);
  for (Remembered& entry : remembered) {
    if (entry.used) continue;
    entry.used = entry.host.Append(host) && CopyChoice(choice, entry.choice);
    entry.secure = secure;
    break;
  }
  return true;
}
