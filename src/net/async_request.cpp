#include "net/async_request.h"

#include "common/message_wait.h"

namespace {

constexpr DWORD kReadBufferBytes = 0x40000;  // 262,144: every read asks for the whole buffer

// Once the transfer is over, how long RunAsyncRequest waits for the notifications still inside the
// gate to finish their step. Each is at most one sink call and one call into the library, which in
// asynchronous mode only starts an operation; the bound keeps a library that misbehaves from
// holding the run.
constexpr DWORD kDrainLimitMs = 5000;
// A cancelled run waits less: the user asked for the end, and the process ends right after. Wine runs
// a read the notification started inside that notification until the buffer is full or the body
// ends, so with a slow body the one inside stays for seconds; Windows returns at once. Closing the
// request with a notification still inside is safe: it holds no lock of ours, the sink is not called
// any more, and the context (with the buffer it reads into) lives until the handle-closing
// notification.
constexpr DWORD kCancelledDrainLimitMs = 500;

// The gate's closed bit; the bits below count the notifications inside it.
constexpr LONG kGateClosed = 0x40000000;

// How far the transfer's end is recorded.
constexpr LONG kEndOpen = 0;
constexpr LONG kEndWriting = 1;
constexpr LONG kEndWritten = 2;

// Shared by RunAsyncRequest (UI thread) and Notify (the library's threads, or the UI thread inside
// a library call). Zero-filled at allocation. No lock: a notification never waits for anything of
// ours, and RunAsyncRequest waits for notifications only with nothing held.
//
// The gate: a notification works on the request (calls the sink, calls the library with the
// request, records the end) only inside it. RunAsyncRequest closes it once the transfer is over;
// from then on every notification returns at once, and when the last one inside has left, the
// request handle is closed. So the sink is never called, nor the library with the request, once
// RunAsyncRequest has returned or the handle is closed.
//
// Freed with its last reference: RunAsyncRequest's, and the library's, which the library's
// handle-closing notification (the last one for the request) drops.
struct RequestContext {
  volatile LONG references;
  volatile LONG gate;      // kGateClosed | notifications inside
  volatile LONG endState;  // kEndOpen, kEndWriting, kEndWritten
  HINTERNET request;       // written and read on the UI thread only
  bool gateClosed;         // UI thread only: EndTransfer closed the gate...
  bool drainNeeded;        // ...with notifications inside it, which set `drained` when they leave
  HANDLE completion;       // manual reset: the end is recorded
  HANDLE drained;          // manual reset: set when the gate is closed and the last one inside leaves
  RequestSink sink;
  RequestEnd end;          // written once (endState), read after completion
  BYTE buffer[kReadBufferBytes];
};

// The calling thread's last error; a failure that left none counts as an internal error.
DWORD NonZeroLastError() {
  const DWORD error = GetLastError();
  return error ? error : ERROR_WINHTTP_INTERNAL_ERROR;
}

bool EnterGate(RequestContext* context);

void LeaveGate(RequestContext* context) {
  if (InterlockedDecrement(&context->gate) == kGateClosed) SetEvent(context->drained);
}

// Whether the calling notification may work on the request; if so, it must LeaveGate afterwards.
bool EnterGate(RequestContext* context) {
  if ((InterlockedIncrement(&context->gate) & kGateClosed) == 0) return true;
  LeaveGate(context);
  return false;
}

// Records how the transfer ended and signals its completion; the first end recorded stands. Nothing
// is called between the claim and the publication, so whoever finds the end being written waits a
// moment only.
void RecordEnd(RequestContext* context, const RequestEnd& end) {
  if (InterlockedCompareExchange(&context->endState, kEndWriting, kEndOpen) != kEndOpen) return;
  context->end = end;
  InterlockedExchange(&context->endState, kEndWritten);
  SetEvent(context->completion);
}

void Fail(RequestContext* context, DWORD call, DWORD error) {
  RequestEnd end = {};
  end.error = error ? error : ERROR_WINHTTP_INTERNAL_ERROR;
  end.failedCall = call;
  RecordEnd(context, end);
}

void Stop(RequestContext* context) {
  RequestEnd end = {};
  end.stopped = true;
  RecordEnd(context, end);
}

void Cancel(RequestContext* context) {
  RequestEnd end = {};
  end.cancelled = true;
  RecordEnd(context, end);
}

void Finish(RequestContext* context) {
  RequestEnd end = {};
  end.bodyComplete = true;
  RecordEnd(context, end);
}

// Drops one reference; the last one frees the context.
void ReleaseContext(RequestContext* context) {
  if (InterlockedDecrement(&context->references) > 0) return;
  if (context->completion) CloseHandle(context->completion);
  if (context->drained) CloseHandle(context->drained);
  HeapFree(GetProcessHeap(), 0, context);
}

// Asks for the next piece of the body into the buffer.
void ReadNext(RequestContext* context, HINTERNET request) {
  if (!WinHttp().ReadData(request, context->buffer, kReadBufferBytes, nullptr)) {
    Fail(context, API_READ_DATA, NonZeroLastError());
  }
}

// One step of the transfer per notification. The sink is called before the library is asked for
// the next step, never after it: a read that completes at once notifies again, on this thread,
// inside the library's call (the gate then counts both).
void CALLBACK Notify(HINTERNET handle, DWORD_PTR contextValue, DWORD status, void* info, DWORD infoLength) {
  auto* context = reinterpret_cast<RequestContext*>(contextValue);
  if (!context) return;  // the session's and the connection's notifications carry none
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      ReleaseContext(context);  // the library's reference
      return;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      break;
    default:
      return;
  }
  if (!EnterGate(context)) return;  // the transfer is over: the request is being closed
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
      if (!WinHttp().ReceiveResponse(handle, nullptr)) Fail(context, API_RECEIVE_RESPONSE, NonZeroLastError());
      break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      if (!context->sink.headers(context->sink.owner, handle)) {
        Stop(context);
      } else if (!WinHttp().QueryDataAvailable(handle, nullptr)) {
        Fail(context, API_QUERY_DATA_AVAILABLE, NonZeroLastError());
      }
      break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
      // Nothing more to read (an empty body) ends the transfer like a read of 0 bytes.
      if (*static_cast<const DWORD*>(info) == 0) {
        Finish(context);
      } else {
        ReadNext(context, handle);
      }
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      if (infoLength == 0) {
        Finish(context);
      } else if (!context->sink.data(context->sink.owner, context->buffer, infoLength)) {
        Stop(context);
      } else {
        ReadNext(context, handle);
      }
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
      const auto* result = static_cast<const WINHTTP_ASYNC_RESULT*>(info);
      Fail(context, result ? static_cast<DWORD>(result->dwResult) : 0, result ? result->dwError : 0);
      break;
    }
  }
  LeaveGate(context);
}

// Ends the transfer on the UI thread: records a time-out unless an end is recorded, closes the gate,
// waits for the notifications inside it to finish their step (dispatching messages when
// `dispatching`), then closes the request: the library cancels what it still does for it and no
// notification calls it any more. It may run twice, the second time nested in the first one's wait
// (the session ended meanwhile): each run returns only once the gate is drained and the request
// closed.
void EndTransfer(RequestContext* context, bool dispatching) {
  RequestEnd timedOut = {};
  timedOut.timedOut = true;
  RecordEnd(context, timedOut);
  while (context->endState != kEndWritten) Sleep(0);  // a notification between its claim and its write
  if (!context->gateClosed) {
    context->gateClosed = true;
    context->drainNeeded = InterlockedExchangeAdd(&context->gate, kGateClosed) != 0;
  }
  if (context->drainNeeded) {
    const DWORD limitMs = context->end.cancelled ? kCancelledDrainLimitMs : kDrainLimitMs;
    if (dispatching) {
      WaitDispatchingMessages(context->drained, limitMs);
    } else {
      WaitForSingleObject(context->drained, limitMs);
    }
  }
  if (context->request) WinHttp().CloseHandle(context->request);
  context->request = nullptr;
}

// The release of a request under way (ReleaseSlot): the run is cancelled, and the request ends now,
// without dispatching messages, as we are inside one.
void ReleaseRequest(void* owner) {
  auto* context = static_cast<RequestContext*>(owner);
  Cancel(context);
  EndTransfer(context, false);
}

// Sends the request and waits, dispatching messages, until the transfer ends, the time limit passes or
// the run is cancelled. While it waits, `setup.release` holds the request.
void SendAndWait(RequestContext* context, DWORD timeoutMs, HttpTransfer& setup) {
  InterlockedIncrement(&context->references);  // the library's, dropped by its handle-closing notification
  DWORD_PTR value = reinterpret_cast<DWORD_PTR>(context);
  if (!WinHttp().SetOption(context->request, WINHTTP_OPTION_CONTEXT_VALUE, &value, sizeof(value))) {
    InterlockedDecrement(&context->references);  // no notification will carry the context
    Fail(context, API_SEND_REQUEST, NonZeroLastError());
    return;
  }
  if (!WinHttp().SendRequest(context->request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                             value)) {
    // The context goes with the send as well: the library may take this argument, not the option
    // set above, as the value for the request's notifications.
    Fail(context, API_SEND_REQUEST, NonZeroLastError());
    return;
  }
  if (setup.release) *setup.release = ReleaseSlot{context, ReleaseRequest};
  if (WaitUnlessCancelled(context->completion, timeoutMs, setup.cancel) == WaitEnd::kCancelled) {
    Cancel(context);
  }
  if (setup.release) *setup.release = ReleaseSlot{};
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
    SetTransferError(setup, TextId::kOutOfMemory);
    CloseTransferHandles(setup);
    return false;
  }
  context->references = 1;
  context->sink = sink;
  context->completion = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  context->drained = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!context->completion || !context->drained) {
    SetTransferError(setup, TextId::kOutOfMemory);
    ReleaseContext(context);
    CloseTransferHandles(setup);
    return false;
  }

  // From here on the context closes the request.
  context->request = setup.request;
  setup.request = nullptr;
  if (setup.cancel && WaitForSingleObject(setup.cancel, 0) == WAIT_OBJECT_0) {
    // Cancelled while the request was being opened (during a proxy lookup): nothing is sent.
    Cancel(context);
  } else {
    SendAndWait(context, timeoutMs, setup);
  }
  EndTransfer(context, true);
  end = context->end;
  // A failure reported by the library goes to the sink here, on this thread, once.
  if (end.error != 0 && sink.failed) sink.failed(sink.owner, end.error);
  ReleaseContext(context);
  CloseTransferHandles(setup);
  return true;
}
