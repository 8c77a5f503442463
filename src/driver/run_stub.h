// The run of the stub from window to clean-up, stage by stage on the UI thread.
#pragma once

#include <windows.h>

#include "common/stub_state.h"

// The program's WinMain: runs the whole job with the process-wide state. Only the instance handle is
// used. Always returns 0.
int WINAPI RunStub(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showState);

// Runs the whole job on `state` (zero-filled by the caller). Always returns 0.
int RunStubWith(StubState& state, HINSTANCE instance);

constexpr wchar_t kNoTempFolderMessage[] = L"The installer failed to find the temp folder";

// Composes "<temp folder>\<fileName>" into `path` (the folder from GetTempPathW, at most 260 units).
// Returns false, with `path` empty, when the temp folder cannot be found or the path does not fit.
template <size_t kCapacity>
bool ComposeTempFilePath(FixedString<kCapacity>& path, const wchar_t* fileName) {
  static_assert(kCapacity >= MAX_PATH, "the temp folder alone may take 260 units");
  const DWORD length = GetTempPathW(MAX_PATH, path.data());
  if (length == 0 || length > MAX_PATH) {
    path.Clear();
    return false;
  }
  return path.AppendSeparator() && path.Append(fileName);
}

// Shows a message box with no owner and the system's default caption.
void ShowMessage(const wchar_t* text, UINT style);
