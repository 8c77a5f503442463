#include "common/message_wait.h"

namespace {

bool IsSet(HANDLE event) { return event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

}  // namespace

bool WaitDispatchingMessages(HANDLE handle, DWORD timeoutMs) {
  return WaitUnlessCancelled(handle, timeoutMs, nullptr) == WaitEnd::kSignalled;
}

WaitEnd WaitUnlessCancelled(HANDLE handle, DWORD timeoutMs, HANDLE cancel) {
  // The cancel comes first: when both are set, the lower index is reported.
  HANDLE handles[2];
  DWORD count = 0;
  if (cancel) handles[count++] = cancel;
  if (handle) handles[count++] = handle;
  const DWORD start = GetTickCount();
  for (;;) {
    if (IsSet(cancel)) return WaitEnd::kCancelled;
    DWORD remaining = INFINITE;
    if (timeoutMs != INFINITE) {
      const DWORD elapsed = GetTickCount() - start;
      if (elapsed >= timeoutMs) return WaitEnd::kOver;
      remaining = timeoutMs - elapsed;
    }
    const DWORD woken = MsgWaitForMultipleObjectsEx(count, handles, remaining, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woken < WAIT_OBJECT_0 + count) {
      return cancel && woken == WAIT_OBJECT_0 ? WaitEnd::kCancelled : WaitEnd::kSignalled;
    }
    if (woken != WAIT_OBJECT_0 + count) return WaitEnd::kOver;  // time-out or failure
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
      if (IsSet(cancel)) return WaitEnd::kCancelled;
    }
  }
}
