// Progress figures of the package download: the bar position and the status line for a count of
// received bytes. Megabytes are decimal (bytes / 1,000,000).
#pragma once

#include <windows.h>

#include "common/strings.h"

// The status line of the download, "Downloading (R of T Mb)...": 64 units are room for any counts.
using DownloadStatus = FixedString<64>;

// Bar position for `received` of `contentLength` bytes: 20 + the truncation of
// (received MB / total MB) * 100, in double precision; past the total it goes beyond 120.
// With a content length of 0 the position cannot be computed and `current` is returned.
int DownloadProgressPosition(DWORD received, DWORD contentLength, int current);

// Sets `out` to "Downloading (R of T Mb)...": R with one decimal once the received count equals the
// content length, without decimals before; T with one decimal.
void FormatDownloadStatus(DWORD received, DWORD contentLength, DownloadStatus& out);

// Appends the non-negative `value` (at most 2^32) with `decimals` (0 to 3) digits after a "." to
// `out`. The exact decimal expansion of the double is rounded at the last shown digit, a following
// 5 or more rounding up, whatever the locale. Returns false (and empties `out`) when it does not fit.
bool AppendFixed(DownloadStatus& out, double value, int decimals);
