// The set-up shared by both transfers (one HTTP GET each) and their failure texts.
#pragma once

#include <windows.h>

#include "common/progress_report.h"
#include "common/strings.h"
#include "common/texts.h"
#include "net/winhttp_api.h"

struct ProxyChoice;  // net/proxy.h

// One transfer's handles and its error text. Handles start null; at most one failure is recorded,
// because a transfer stops at its first failure.
struct HttpTransfer {
  HINTERNET session = nullptr;
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
  WideString errorText;
  // Set by the caller for a request sent again after a proxy asked for credentials (407): the
  // request offers the platform's integrated sign-on to the proxy, as browsers do.
  bool proxyLogon = false;
  // Set by the caller: an event that ends the transfer at once when it is set (the run was
  // cancelled), or null.
  HANDLE cancel = nullptr;
  // Set by the caller: where RunAsyncRequest puts, while it waits, what closes the request at once
  // from inside a window message (ReleaseSlot); emptied before it returns. Null: nowhere.
  ReleaseSlot* release = nullptr;
};

// Where a URL points.
struct UrlParts {
  WideString host;
  WideString path;     // the URL path followed by its query and fragment, exactly as the library returns them
  WORD port = 0;       // the URL's port, or the scheme's (80 for http, 443 for https) when none is written
  bool secure = false; // https: TLS, with the server's certificate checked by the library
};

// Splits an http or https URL. Returns false, with host and path empty, when the URL cannot be split
// (another scheme, no host) or memory runs out.
bool SplitUrl(const wchar_t* url, UrlParts& parts);

// Opens a session with the stub's user agent: `accessType` with `proxy` and `bypass` (null for
// none), `flags` 0 (synchronous) or WINHTTP_FLAG_ASYNC. Every session of the stub is opened here, so
// that each gets the TLS versions of SessionSecureProtocols: set when it names any, and the session
// used as it is when the library refuses them. Null when the session cannot be opened.
HINTERNET OpenHttpSession(DWORD accessType, const wchar_t* proxy, const wchar_t* bypass, DWORD flags);

// OpenHttpSession for a proxy choice (FindProxy's): its access type, and its proxy and bypass list
// when it names a proxy.
HINTERNET OpenProxiedSession(const ProxyChoice& proxy, DWORD flags);

// A GET of `path` on `connection` accepting any type, over TLS when `secure`. Null when it cannot be
// opened.
HINTERNET OpenGetRequest(HINTERNET connection, const wchar_t* path, bool secure);

// The TLS versions a session is given (WINHTTP_OPTION_SECURE_PROTOCOLS), or 0 to leave the system's
// choice alone. Before Windows 8.1 WinHTTP enables only SSL 3 and TLS 1.0 unless told otherwise, and
// most servers now refuse both: there it is TLS 1.0, 1.1 and 1.2 (Windows 7 accepts 1.1 and 1.2 only
// with its TLS update; without it the option is refused and the default stays). From Windows 8.1 on
// the default already includes TLS 1.2, and leaving it lets TLS 1.3 and an administrator's policy
// apply. The version comes from VerifyVersionInfo, which tells this program the truth because its
// manifest declares every system up to Windows 10 and 11.
DWORD SessionSecureProtocols();

// Opens session, connection and request for an asynchronous GET of `url` (TLS for https, on the
// URL's port) with `extraHeaders` (CR LF separated, or null), and `callback` registered for all
// notifications. The session goes through the proxy the user's settings give for the URL
// (FindProxy), or direct. The library's checks of the server's certificate stay as they are, and its default
// redirect policy never follows https to http. On failure the error text is set (except for a
// refused callback registration, which has none) and the handles opened so far stay in `transfer`
// for CloseTransferHandles.
bool OpenHttpRequest(HttpTransfer& transfer, const wchar_t* url, const wchar_t* extraHeaders,
                     WINHTTP_STATUS_CALLBACK callback);

// Closes request, connection and session, in that order, each only if open.
void CloseTransferHandles(HttpTransfer& transfer);

// Sets the error text to text `id`; an error already recorded is kept.
void SetTransferError(HttpTransfer& transfer, TextId id);

// Appends the HTTP library's own text for `code` (without its final line break) to `out`. Returns
// false, appending nothing, when the library has no text for it (Wine's winhttp has none).
bool AppendHttpErrorText(WideString& out, DWORD code);

// The HTTP status of a request whose headers are in; 0 when it cannot be read.
DWORD QueryHttpStatus(HINTERNET request);

// HTTP 407: the proxy asked for credentials (the user is told kDownloadFailed with
// kProxyPasswordReason when it still does after the integrated sign-on).
constexpr DWORD kProxyAuthenticationRequired = 407;
