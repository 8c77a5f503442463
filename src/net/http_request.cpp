#include "net/http_request.h"

#include <versionhelpers.h>

#include "common/stub_version.h"
#include "net/proxy.h"

namespace {

constexpr wchar_t kUserAgent[] = L"Brondelvik Downloader " STUB_VERSION;

}  // namespace

bool SplitUrl(const wchar_t* url, UrlParts& parts) {
  parts.host.Clear();
  parts.path.Clear();
  parts.port = 0;
  parts.secure = false;
  if (!LoadWinHttp()) return false;
  URL_COMPONENTS cracked = {};
  cracked.dwStructSize = sizeof(cracked);
  cracked.dwSchemeLength = static_cast<DWORD>(-1);
  cracked.dwHostNameLength = static_cast<DWORD>(-1);
  cracked.dwUrlPathLength = static_cast<DWORD>(-1);
  cracked.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttp().CrackUrl(url, static_cast<DWORD>(TextLength(url)), 0, &cracked)) return false;
  // The library knows no other schemes; the check keeps it so whatever it learns.
  if (cracked.nScheme != INTERNET_SCHEME_HTTP && cracked.nScheme != INTERNET_SCHEME_HTTPS) return false;
  if (!parts.host.Append(cracked.lpszHostName, cracked.dwHostNameLength) ||
      !parts.path.Append(cracked.lpszUrlPath, cracked.dwUrlPathLength) ||
      !parts.path.Append(cracked.lpszExtraInfo, cracked.dwExtraInfoLength)) {
    parts.host.Clear();
    parts.path.Clear();
    return false;
  }
  parts.port = cracked.nPort;
  parts.secure = cracked.nScheme == INTERNET_SCHEME_HTTPS;
  return true;
}

void SetTransferError(HttpTransfer& transfer, TextId id) {
  if (transfer.errorText.empty()) ComposeText(transfer.errorText, id);
}

DWORD SessionSecureProtocols() {
  if (IsWindows8Point1OrGreater()) return 0;
  return WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
}

HINTERNET OpenHttpSession(DWORD accessType, const wchar_t* proxy, const wchar_t* bypass, DWORD flags) {
  HINTERNET session = WinHttp().Open(kUserAgent, accessType, proxy ? proxy : WINHTTP_NO_PROXY_NAME,
                                     bypass ? bypass : WINHTTP_NO_PROXY_BYPASS, flags);
  DWORD protocols = SessionSecureProtocols();
  // A refusal is not examined: the session then speaks what the system offers by default.
  if (session && protocols != 0) {
    WinHttp().SetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols));
  }
  return session;
}

HINTERNET OpenProxiedSession(const ProxyChoice& proxy, DWORD flags) {
  const bool named = proxy.accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY;
  return OpenHttpSession(proxy.accessType, named ? proxy.proxy.c_str() : nullptr,
                         named && !proxy.bypass.empty() ? proxy.bypass.c_str() : nullptr, flags);
}

HINTERNET OpenGetRequest(HINTERNET connection, const wchar_t* path, bool secure) {
  static const wchar_t* const kAcceptTypes[] = {L"*/*", nullptr};
  return WinHttp().OpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                               const_cast<const wchar_t**>(kAcceptTypes), secure ? WINHTTP_FLAG_SECURE : 0);
}

bool OpenHttpRequest(HttpTransfer& transfer, const wchar_t* url, const wchar_t* extraHeaders,
                     WINHTTP_STATUS_CALLBACK callback) {
  // Without the library nothing can be started; the URL is not even looked at.
  if (!LoadWinHttp()) {
    SetTransferError(transfer, TextId::kOpenFailed);
    return false;
  }
  UrlParts parts;
  SplitUrl(url, parts);
  if (parts.host.empty() || parts.path.empty()) {
    ComposeText(transfer.errorText, TextId::kIncorrectUrl, {url});
    return false;
  }

  // A session per proxy choice: a proxy set on a request or a session afterwards is not honoured
  // everywhere (Wine accepts WINHTTP_OPTION_PROXY and ignores it), and nothing is set machine-wide.
  ProxyChoice proxy;
  if (!FindProxy(url, parts.host.c_str(), parts.secure, proxy, transfer.cancel)) {
    SetTransferError(transfer, TextId::kOutOfMemory);
    return false;
  }
  transfer.session = OpenProxiedSession(proxy, WINHTTP_FLAG_ASYNC);
  if (!transfer.session) {
    SetTransferError(transfer, TextId::kOpenFailed);
    return false;
  }
  if (WinHttp().SetStatusCallback(transfer.session, callback, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0) ==
      WINHTTP_INVALID_STATUS_CALLBACK) {
    return false;
  }
  transfer.connection = WinHttp().Connect(transfer.session, parts.host.c_str(), parts.port, 0);
  if (!transfer.connection) {
    SetTransferError(transfer, TextId::kConnectFailed);
    return false;
  }
  transfer.request = OpenGetRequest(transfer.connection, parts.path.c_str(), parts.secure);
  if (!transfer.request ||
      (extraHeaders && !WinHttp().AddRequestHeaders(transfer.request, extraHeaders, static_cast<DWORD>(-1),
                                                    WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))) {
    SetTransferError(transfer, TextId::kOpenRequestFailed);
    return false;
  }
  if (transfer.proxyLogon) {
    // Integrated sign-on for the proxy: the user's own logon (Negotiate or NTLM), never a prompt.
    DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
    WinHttp().SetOption(transfer.request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof(policy));
    WinHttp().SetCredentials(transfer.request, WINHTTP_AUTH_TARGET_PROXY, WINHTTP_AUTH_SCHEME_NEGOTIATE, nullptr,
                             nullptr, nullptr);
  }
  return true;
}

void CloseTransferHandles(HttpTransfer& transfer) {
  HINTERNET* const handles[] = {&transfer.request, &transfer.connection, &transfer.session};
  for (HINTERNET* handle : handles) {
    if (*handle) WinHttp().CloseHandle(*handle);
    *handle = nullptr;
  }
}

bool AppendHttpErrorText(WideString& out, DWORD code) {
  if (!LoadWinHttp()) return false;
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
      WinHttp().module, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (length == 0 || !text) return false;
  size_t end = length;
  while (end > 0 && (text[end - 1] == L'\r' || text[end - 1] == L'\n')) --end;
  const bool appended = out.Append(text, end);
  LocalFree(text);
  return appended;
}

DWORD QueryHttpStatus(HINTERNET request) {
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!WinHttp().QueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    return 0;
  }
  return status;
}
