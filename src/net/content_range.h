// The Content-Range header of a partial response.
#pragma once

#include <stddef.h>
#include <stdint.h>

// A parsed Content-Range value "bytes FIRST-LAST/TOTAL" (all counts in bytes).
struct ContentRange {
  uint32_t first;
  uint32_t last;
  uint32_t total;
};

// Parses `value` (`length` UTF-16 units, as WinHttpQueryHeaders returns a header: not necessarily
// terminated). Accepts: optional blanks around the value; the unit "bytes" in any letter case; one or
// more blanks; FIRST "-" LAST "/" TOTAL as decimal digits (no sign, no blanks inside). Requires
// FIRST <= LAST < TOTAL and every number below 2^32 (larger ones, however many digits, are refused,
// never wrapped). Refuses "*" for the total or the range, and anything else. Returns false, leaving
// `range` unchanged, on refusal.
bool ParseContentRange(const wchar_t* value, size_t length, ContentRange& range);
