// Progress figures of the package download: the bar position and the status line for a count of
// received bytes. Megabytes are decimal (bytes / 1,000,000).
//
// Every figure is computed in 64-bit integers, exactly: the 32-bit build's x87 code and the UI and
// HTTP threads' different precision settings would otherwise round some values differently from the
// 64-bit build (290,000 of 1,000,000 bytes truncated to 28 % instead of 29 %).
#pragma once

#include <stdint.h>

#include "common/strings.h"

// The status line of the download, "Downloading (R of T Mb)...": 64 units are room for any 64-bit
// counts (at most 56 units).
using DownloadStatus = FixedString<64>;

// Bar position for `received` of `contentLength` bytes: 20 + the truncation toward zero of the exact
// quotient received * 100 / contentLength. Past the total it goes beyond 120 (the percentage is held
// at 1,000,000 at most). With a content length of 0 (unknown) the position cannot be computed and
// `current` is returned.
int DownloadProgressPosition(uint64_t received, uint64_t contentLength, int current);

// Sets `out` to "Downloading (R of T Mb)...": R with one decimal once the received count equals the
// content length, without decimals before; T with one decimal.
void FormatDownloadStatus(uint64_t received, uint64_t contentLength, DownloadStatus& out);

// Appends `bytes` / 1,000,000 with `decimals` (0 to 3) digits after a "." to `out`, whatever the
// locale: the exact quotient rounded at the last shown digit, a following 5 or more rounding up
// (2,500,000 bytes show as "3", 150,000 bytes at one decimal as "0.2"). Returns false (and empties
// `out`) when it does not fit.
bool AppendMegabytes(DownloadStatus& out, uint64_t bytes, int decimals);
