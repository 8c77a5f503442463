// The Content-Range header of a partial reply (206), for resuming a download. No platform header:
// this also builds natively, for the fuzzers.
#pragma once

#include <stddef.h>
#include <stdint.h>

// A parsed Content-Range value "bytes FIRST-LAST/TOTAL" (all counts in bytes).
struct ContentRange {
  uint32_t first;
  uint32_t last;
  uint32_t total;
};

// Parses `value` (`length` UTF-16 units, as WinHttpQueryHeaders returns a header: not necessarily terminated).
// Accepts: optional blanks around the value; the unit "bytes" in any letter case; one or more blanks;
// FIRST "-" LAST "/" TOTAL as decimal digits (no sign, no blanks inside). Requires FIRST <= LAST < TOTAL
// and every number below 2^32 (larger ones, however many digits, are refused, never wrapped).
// Refuses "*" for the total or the range, and anything else. Returns false, leaving `range` unchanged, on refusal.
// Blanks are spaces and tabs; leading zeros are allowed ("0010" is 10); only the ASCII letters of
// "bytes" change case.
bool ParseContentRange(const wchar_t* value, size_t length, ContentRange& range);
