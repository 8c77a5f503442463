#include "net/async_request.h"

#include "common/message_wait.h"

namespace {

constexpr DWORD kReadBufferBytes = 0x40000;  // 262,144: every read asks for the whole buffer

// Shared by RunAsyncRequest (UI thread) and Notify (the library's threads). Zero-filled at
// allocation; freed with its last reference, which may be the library's, after RunAsyncRequest has
// returned: so it holds nothing of the caller's but a copy of the sink, which it no longer calls
// once the request is closed.
struct RequestContext {
  volatile LONG references;  // changed only atomically: RunAsyncRequest's, and the library's
  CRITICAL_SECTION lock;     // re-entrant; guards everything below and every sink call
  bool lockInitialised;
  HINTERNET request;         // null once closed
  HANDLE completion;         // manual reset; signalled when the transfer is over, for whatever reason
  RequestSink sink;
  RequestEnd end;
  BYTE buffer[kReadBufferBytes];
};

void Signal(RequestContext* context) { SetEvent(context->completion); }

// The calling thread's last error; a failure that left none counts as an internal error.
DWORD NonZeroLastError() {
  const DWORD error = GetLastError();
  return error ? error : ERROR_WINHTTP_INTERNAL_ERROR;
}

// Records the first failure and ends the transfer. Called with the lock held.
void Fail(RequestContext* context, DWORD call, DWORD error) {
  if (context->end.error == 0) {
    context->end.error = error ? error : ERROR_WINHTTP_INTERNAL_ERROR;
    context->end.failedCall = call;
    if (context->sink.failed) context->sink.failed(context->sink.owner, context->end.error);
  }
  Signal(context);
}

void Stop(RequestContext* context) {
  context->end.stopped = true;
  Signal(context);
}

void Finish(RequestContext* context) {
  context->end.bodyComplete = true;
  Signal(context);
}

// Takes the request out of the context and closes it: every notification from then on finds it
// gone and leaves the sink alone. The handle is taken out under the lock but closed after leaving
// it, since nothing promises that closing never waits for a notification running on another thread,
// and such a notification waits for the lock. Once the context value is set, the library answers
// with its handle-closing notification, which drops its reference.
void CloseContextRequest(RequestContext* context) {
  EnterCriticalSection(&context->lock);
  HINTERNET request = context->request;
  context->request = nullptr;
  LeaveCriticalSection(&context->lock);
  if (request) WinHttp().CloseHandle(request);
}

// Enters the lock; returns false, without the lock, when the request is already closed.
bool LockContext(RequestContext* context) {
  EnterCriticalSection(&context->lock);
  if (context->request) return true;
  LeaveCriticalSection(&context->lock);
  return false;
}

// Drops one reference; the last one closes what the context still holds and frees it.
void ReleaseContext(RequestContext* context) {
  if (InterlockedDecrement(&context->references) > 0) return;
  if (context->lockInitialised) {
    CloseContextRequest(context);
    DeleteCriticalSection(&context->lock);
  }
  if (context->completion) CloseHandle(context->completion);
  HeapFree(GetProcessHeap(), 0, context);
}

// Asks for the next piece of the body into the buffer.
void ReadNext(RequestContext* context) {
  if (!WinHttp().ReadData(context->request, context->buffer, kReadBufferBytes, nullptr)) {
    Fail(context, API_READ_DATA, GetLastError());
  }
}

void CALLBACK Notify(HINTERNET, DWORD_PTR contextValue, DWORD status, void* info, DWORD infoLength) {
  auto* context = reinterpret_cast<RequestContext*>(contextValue);
  if (!context) return;
  if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
    ReleaseContext(context);  // the library's reference
    return;
  }
  if (!LockContext(context)) return;  // closed: the transfer is over and the waiter gone or going
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
      if (!WinHttp().ReceiveResponse(context->request, nullptr)) Fail(context, API_RECEIVE_RESPONSE, GetLastError());
      break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      if (!context->sink.headers(context->sink.owner, context->request)) {
        Stop(context);
      } else if (!WinHttp().QueryDataAvailable(context->request, nullptr)) {
        Fail(context, API_QUERY_DATA_AVAILABLE, GetLastError());
      }
      break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
      // Nothing more to read (an empty body) ends the transfer like a read of 0 bytes.
      if (*static_cast<const DWORD*>(info) == 0) {
        Finish(context);
      } else {
        ReadNext(context);
      }
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      if (infoLength == 0) {
        Finish(context);
      } else if (!context->sink.data(context->sink.owner, context->buffer, infoLength)) {
        Stop(context);
      } else {
        ReadNext(context);
      }
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
      const auto* result = static_cast<const WINHTTP_ASYNC_RESULT*>(info);
      Fail(context, result ? static_cast<DWORD>(result->dwResult) : 0, result ? result->dwError : 0);
      break;
    }
    default:
      break;
  }
  LeaveCriticalSection(&context->lock);
}

}  // namespace

bool RunAsyncRequest(const wchar_t* url, const wchar_t* extraHeaders, const RequestSink& sink, DWORD timeoutMs,
                     HttpTransfer& setup, RequestEnd& end) {
  end = RequestEnd{};
  if (!OpenHttpRequest(setup, url, extraHeaders, Notify)) {
    CloseTransferHandles(setup);
    return false;
  }
  auto* context =
      static_cast<RequestContext*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(RequestContext)));
  if (!context) {
    SetTransferError(setup, L"Out of memory");
    CloseTransferHandles(setup);
    return false;
  }
  context->references = 1;
  context->sink = sink;
  context->lockInitialised = InitializeCriticalSectionAndSpinCount(&context->lock, 1000) != FALSE;
  if (context->lockInitialised) context->completion = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!context->completion) {
    SetTransferError(setup, L"Out of memory");
    ReleaseContext(context);
    CloseTransferHandles(setup);
    return false;
  }

  // From here on the context closes the request.
  context->request = setup.request;
  setup.request = nullptr;
  EnterCriticalSection(&context->lock);
  InterlockedIncrement(&context->references);  // the library's, dropped by its handle-closing notification
  DWORD_PTR value = reinterpret_cast<DWORD_PTR>(context);
  bool waiting = false;
  if (!WinHttp().SetOption(context->request, WINHTTP_OPTION_CONTEXT_VALUE, &value, sizeof(value))) {
    InterlockedDecrement(&context->references);  // no notification will carry the context
    context->end.error = NonZeroLastError();
    context->end.failedCall = API_SEND_REQUEST;
  } else if (!WinHttp().SendRequest(context->request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                                    0, 0, value)) {
    // The context goes with the send as well: the library may take this argument, not the option
    // set above, as the value for the request's notifications.
    context->end.error = NonZeroLastError();
    context->end.failedCall = API_SEND_REQUEST;
  } else {
    waiting = true;
  }
  LeaveCriticalSection(&context->lock);

  if (waiting && !WaitDispatchingMessages(context->completion, timeoutMs)) {
    EnterCriticalSection(&context->lock);
    if (WaitForSingleObject(context->completion, 0) != WAIT_OBJECT_0) context->end.timedOut = true;
    LeaveCriticalSection(&context->lock);
  }

  // Taking the request out ends the sink calls: a notification running now finishes under the lock
  // first, and every later one finds the request gone.
  CloseContextRequest(context);
  EnterCriticalSection(&context->lock);
  end = context->end;
  LeaveCriticalSection(&context->lock);
  ReleaseContext(context);
  CloseTransferHandles(setup);
  return true;
}
