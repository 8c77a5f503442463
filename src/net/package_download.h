// The package download: one asynchronous GET into the package file, with progress on the window.
#pragma once

#include <windows.h>

#include "common/strings.h"
#include "common/stub_state.h"

// What one download attempt has to tell the user.
struct AttemptMessages {
  // A failure before the transfer began (the URL, the session, the connection, the request, the
  // package file): shown right after the attempt, whatever follows it.
  WideString atOnce;
  // Why a transfer that was sent is no complete download ("The download failed (technical reason:
  // ...)"): shown when no further attempt follows.
  WideString failure;
};

// Downloads `url` into `path` (deleted and created anew). Returns true when the attempt is a
// complete download: a 2xx status, a Content-Length, exactly that many bytes written, and a file that
// begins like an installer package. The package is then held open in `package` (read access, read
// sharing only: nothing can change it until the caller closes it); otherwise `package` is
// INVALID_HANDLE_VALUE and the file closed. `invalidResponse` is written only when the transfer ran
// to its end: set when the server answered with an invalid response, which calls for a new attempt.
// The texts for the user go into `messages`; nothing is shown here.
bool DownloadToFile(StubState& state, const wchar_t* url, const wchar_t* path, bool& invalidResponse,
                    AttemptMessages& messages, HANDLE& package);
