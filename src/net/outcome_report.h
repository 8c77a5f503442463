// The one request at the end of a run that tells the publisher how it ended. It must never hold up
// the end of the run: it is bounded in time as a whole, tried once, and its failure is ignored.
#pragma once

#include <windows.h>

enum class ReportEnd {
  kAnswered,   // the server answered (whatever its status)
  kFailed,     // no answer: the request failed within the limit, or could not be made
  kAbandoned,  // still under way when the limit passed; left running on its own thread
};

// Sends one GET of `path` (from its "/", the query included) to the scheme, host and port of
// `infoUrl`, through the proxy chosen for the information request to that host (RememberedProxy; if
// none was chosen, FindProxy looks it up now, within the limit), with the stub's user agent, no
// credentials offered and no redirect followed. Waits for it at most `limitMs` in all (name
// resolution, proxy lookup, connect, send, receive), dispatching window messages meanwhile: the
// request runs on a thread of its own, because the library's time-outs do not bound every step
// (name resolution has none by default, and a proxy lookup has its own). A request still under way
// then is abandoned (kAbandoned): it touches nothing of the caller's, but it is inside the HTTP
// library and may hold its locks, so the process should end with TerminateProcess rather than
// ExitProcess, whose DLL detach code could wait for them.
ReportEnd SendOutcomeReport(const wchar_t* infoUrl, const wchar_t* path, DWORD limitMs);
