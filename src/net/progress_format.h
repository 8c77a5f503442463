// Progress figures of the package download: the bar position and the status line for a count of
// received bytes. Megabytes are decimal (bytes / 1,000,000).
#pragma once

#include <windows.h>

#include <stddef.h>

// Bar position for `received` of `contentLength` bytes: 20 + the truncation of
// (received MB / total MB) * 100, in double precision; past the total it goes beyond 120.
// With a content length of 0 the position cannot be computed and `current` is returned.
int DownloadProgressPosition(DWORD received, DWORD contentLength, int current);

// Writes "Downloading (R of T Mb)..." into `out` (at least 64 units): R with one decimal once the
// received count equals the content length, without decimals before; T with one decimal.
void FormatDownloadStatus(DWORD received, DWORD contentLength, wchar_t* out);

// Writes the non-negative `value` with `decimals` (0 to 3) digits after a "." into `out` and returns
// the number of units written (the terminator is added). The exact decimal expansion of the double
// is rounded at the last shown digit, a following 5 or more rounding up, whatever the locale.
size_t FormatFixed(double value, int decimals, wchar_t* out);
