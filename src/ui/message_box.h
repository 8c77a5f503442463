// The stub's message boxes. Only the driver shows them: a box blocks the run until it is answered.
#pragma once

#include <windows.h>

// Shows `text` in a message box with no owner and the system's default caption, in `style`
// (MB_OK or MB_ICONERROR), and waits until it is answered.
void ShowMessage(const wchar_t* text, UINT style);
