#include "common/message_wait.h"

bool WaitDispatchingMessages(HANDLE handle, DWORD timeoutMs) {
  const DWORD handleCount = handle ? 1 : 0;
  const DWORD start = GetTickCount();
  for (;;) {
    DWORD remaining = INFINITE;
    if (timeoutMs != INFINITE) {
      const DWORD elapsed = GetTickCount() - start;
      if (elapsed >= timeoutMs) return false;
      remaining = timeoutMs - elapsed;
    }
    const DWORD woken =
        MsgWaitForMultipleObjectsEx(handleCount, &handle, remaining, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (handleCount == 1 && woken == WAIT_OBJECT_0) return true;
    if (woken != WAIT_OBJECT_0 + handleCount) return false;  // time-out or failure
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}
