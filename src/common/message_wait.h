// Waiting on the UI thread without freezing the window.
#pragma once

#include <windows.h>

// Waits until `handle` is signalled or `timeoutMs` milliseconds have passed (INFINITE: no limit),
// sleeping until either the handle or a window message arrives and dispatching every waiting message
// (sent messages included) each time one does. A WM_QUIT taken here is dispatched like any other and
// does not end the wait. `handle` may be null: the call then only keeps the window alive for the
// time given. Returns true when the handle was signalled, false on time-out or a failed wait.
bool WaitDispatchingMessages(HANDLE handle, DWORD timeoutMs);

enum class WaitEnd {
  kSignalled,  // `handle` was signalled
  kCancelled,  // `cancel` was set
  kOver,       // the time passed, or the wait failed
};

// The same wait, which also ends as soon as `cancel` (a manual-reset event, or null) is set: before
// waiting at all when it already is, and after the message during which it was set (the user's
// answer to a question), without dispatching any further message. Cancelled wins over signalled.
WaitEnd WaitUnlessCancelled(HANDLE handle, DWORD timeoutMs, HANDLE cancel);
