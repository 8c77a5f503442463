// Which proxy a transfer goes through: the one a browser on this machine would use, from the user's
// Internet settings. The stub is downloaded with a browser, so whatever way the browser reached the
// internet (a proxy name, a configuration script, automatic detection) is the way that works.
#pragma once

#include <windows.h>

#include "common/strings.h"

struct ProxyChoice {
  DWORD accessType;   // WINHTTP_ACCESS_TYPE_NAMED_PROXY, _NO_PROXY (direct) or _DEFAULT_PROXY
  WideString proxy;   // for a named proxy: "host:port"
  WideString bypass;  // for a named proxy: the hosts that go direct ("<local>" among them), or empty
};

// Finds the proxy for `url` (https when `secure`), once per run for each scheme and host:
//  1. the user's settings (WinHttpGetIEProxyConfigForCurrentUser): with automatic detection on, or a
//     configuration script named, WinHttpGetProxyForUrl for the URL (detection first, then the
//     script, with automatic log-on to the script's server);
//  2. otherwise the proxy named in the settings, for the URL's scheme ("http=...;https=..." or one
//     name for all), with the settings' bypass list;
//  3. otherwise, or when the settings cannot be read, WinHTTP's default (the machine-wide setting).
// A lookup that fails (script unreachable or wrong, nothing detected) falls back to the next step.
// The lookups of step 1 run on a thread of their own while the calling (UI) thread waits dispatching
// window messages, and the run waits for them at most about 10 seconds in all: a lookup still running
// then counts as one that found nothing, and later calls skip step 1.
// `cancel` (an event, or null) ends that wait at once when set; nothing is then remembered.
// Returns false only when memory runs out (`choice` is then the default).
bool FindProxy(const wchar_t* url, const wchar_t* host, bool secure, ProxyChoice& choice, HANDLE cancel = nullptr);
