// The system's own texts for error codes, for the failure boxes.
#pragma once

#include <windows.h>

#include "common/strings.h"

// Sets `message` to the system's own text for `code` (FormatMessageW from the system's table, in the
// user's language), without its final line break; empty when the system has none.
void ComposeSystemErrorText(WideString& message, DWORD code);
