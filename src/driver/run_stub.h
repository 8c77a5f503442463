// The run of the stub from window to clean-up, stage by stage on the UI thread. Only the driver
// speaks to the user: each stage returns its outcome and its text, and the driver shows them.
#pragma once

#include <windows.h>

#include "common/stub_state.h"

// The program's WinMain: restricts where DLLs are loaded from, then runs the whole job with the
// process-wide state. Only the instance handle is used. Always returns 0.
int WINAPI RunStub(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showState);

// Runs the whole job on `state` (zero-filled by the caller). Always returns 0.
int RunStubWith(StubState& state, HINSTANCE instance);
