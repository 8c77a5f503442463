// Progress figures of the package download: the bar position and the status line for a count of
// received bytes. Megabytes are decimal (bytes / 1,000,000).
//
// Every figure is computed in 64-bit integers, exactly: the 32-bit build's x87 code and the UI and
// HTTP threads' different precision settings would otherwise round some values differently from the
// 64-bit build (290,000 of 1,000,000 bytes truncated to 28 % instead of 29 %).
#pragma once

#include <stdint.h>

#include "common/strings.h"

// The status line of the download, "Downloading (R of T Mb)..." in the user's language: as long as
// the status line can be (200 units, terminator included).
using DownloadStatus = FixedString<200>;

// Bar position for `received` of `contentLength` bytes: 20 + the truncation toward zero of the exact
// quotient received * 100 / contentLength. Past the total it goes beyond 120 (the percentage is held
// at 1,000,000 at most). With a content length of 0 (unknown) the position cannot be computed and
// `current` is returned.
int DownloadProgressPosition(uint64_t received, uint64_t contentLength, int current);

// Sets `out` to the text kDownloadingStatus ("Downloading (R of T Mb)..." in English) with R and T
// in megabytes: R with one decimal once the received count equals the content length, without
// decimals before; T with one decimal; `separator` between units and decimals (the user's,
// DecimalSeparator()). Empty when the text does not fit.
void FormatDownloadStatus(uint64_t received, uint64_t contentLength, const wchar_t* separator, DownloadStatus& out);

// Appends `bytes` / 1,000,000 with `decimals` (0 to 3) digits after `separator` (at most 3 units)
// to `out`: the exact quotient rounded at the last shown digit, a following 5 or more rounding up
// (2,500,000 bytes show as "3", 150,000 bytes at one decimal as "0.2" with "."). Returns false (and
// empties `out`) when it does not fit.
bool AppendMegabytes(DownloadStatus& out, uint64_t bytes, int decimals, const wchar_t* separator);
