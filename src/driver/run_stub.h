// The run of the stub from window to clean-up, stage by stage on the UI thread.
#pragma once

#include <windows.h>

#include "common/stub_state.h"

// The program's WinMain: runs the whole job with the process-wide state. Only the instance handle is
// used. Always returns 0.
int WINAPI RunStub(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showState);

// Runs the whole job on `state` (zero-filled by the caller). Always returns 0.
int RunStubWith(StubState& state, HINSTANCE instance);

// Composes "<temp folder>\<fileName>" into `path`. Returns false when the temp folder cannot be
// found or the path does not fit.
bool ComposeTempFilePath(PathString& path, const wchar_t* fileName);

// Shows a message box with no owner and the system's default caption.
void ShowMessage(const wchar_t* text, UINT style);
