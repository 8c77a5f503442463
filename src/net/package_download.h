// The package download: one asynchronous GET into the package file, its progress reported as it goes.
#pragma once

#include <windows.h>

#include "common/progress_report.h"
#include "common/strings.h"
#include "net/info_reply.h"

// Downloads `url` into `path`, a new file (it must not exist), in up to five attempts a pause apart.
// `pin` holds what the information server published of the package: a response of another length
// ends the download at its headers, and a complete file whose SHA-256 differs from the published one
// is refused ("the package on the server is not the one published"); neither published, nothing
// is checked beyond the installer signature.
// An attempt that ends transiently (the connection failed, was reset or timed out, the server was
// busy, the body was cut short) is followed by another, after 1, 2, 4, 8 seconds or the server's
// Retry-After, with "Download interrupted, retrying..." reported as the status; once part of the package
// is in the file, the next attempt asks for the rest (Range, If-Range with the first response's
// strong ETag or Last-Modified; without either it starts again) and appends it when the server's
// answer continues the file exactly. Returns true when the whole package is in the file and
// it begins like an installer package: it is then held open in `package` (read access, read sharing
// only: nothing can change it until the caller closes it). Otherwise returns false with the one text
// for the user in `failure`; `package` is INVALID_HANDLE_VALUE and the file closed. The report's
// cancel ends the download at once, the request closed and the file closed (false, `failure`
// empty); while the file is open, the report's release slot holds it and the request under way.
bool DownloadPackage(const ProgressReport& report, const wchar_t* url, const PackagePin& pin, const wchar_t* path,
                     WideString& failure, HANDLE& package);
