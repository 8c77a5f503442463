#include "net/package_download.h"

#include <utility>

#include "net/http_request.h"
#include "net/progress_format.h"
#include "ui/message_wait.h"
#include "ui/progress_window.h"

namespace {

constexpr DWORD kReadBufferBytes = 0x40000;  // 262,144

// One attempt's shared record between DownloadToFile (UI thread) and TransferCallback (the HTTP
// library's threads). Zero-filled at allocation; freed with its last reference.
struct RequestContext {
  volatile LONG references;  // changed only atomically
  CRITICAL_SECTION lock;     // re-entrant; guards `request` and the handling of notifications
  bool lockInitialised;
  HINTERNET request;  // null once closed
  HANDLE completion;  // manual reset; signalled when the transfer is over, for whatever reason
  BYTE buffer[kReadBufferBytes];
  DWORD contentLength;
  DWORD received;
  bool invalidResponse;  // the library reported ERROR_WINHTTP_INVALID_SERVER_RESPONSE
  HANDLE packageFile;    // INVALID_HANDLE_VALUE when not open

  // What the attempt saw, to tell a complete download from a failed one.
  StubState* state;
  DWORD statusCode;
  bool haveContentLength;
  bool bodyComplete;    // the library reported the end of the body
  bool writeFailed;     // the package file took fewer bytes than received
  DWORD error;          // first error of a library call or a request error; 0 if none
  int position;         // bar position last shown
  DownloadStatus shownStatus;  // status text last shown
  DWORD shownAt;        // GetTickCount() of the last window update; 0 before the first
  HANDLE freed;         // the context's own handle to an event signalled, then closed, once the block
                        // is freed (the package file is closed by then)
};

void CALLBACK TransferCallback(HINTERNET handle, DWORD_PTR contextValue, DWORD status, void* info,
                               DWORD infoLength);

// Enters the context's lock; returns false, without the lock, when the request is already closed.
bool LockContext(RequestContext* context);

// Drops one reference; the last one closes what the context still holds and frees it.
void ReleaseContext(RequestContext* context);

// How long to wait, after the attempt, for the library to give back its reference to the context
// (and so for the package file to close). It comes within milliseconds; the limit keeps a library
// that never sends its handle-closing notification from hanging the run.
constexpr DWORD kReleaseWaitMs = 30000;

// The window follows the download at most this often (and always on the last chunk): updating it
// for every 256 KiB chunk keeps the library's thread waiting on the UI thread and halves the speed.
constexpr DWORD kProgressIntervalMs = 100;

void Signal(RequestContext* context) { SetEvent(context->completion); }

// Records the first error of the transfer and ends it. Called with the lock held.
void FailTransfer(RequestContext* context, DWORD error) {
  if (context->error == 0) context->error = error ? error : ERROR_WINHTTP_INTERNAL_ERROR;
  Signal(context);
}

// Takes the request out of the context and closes it. Called with the lock held. Once the context
// value is set, the library answers with its handle-closing notification, which drops its
// reference; the lock is re-entrant, so a notification delivered inside this call is safe.
void CloseContextRequest(RequestContext* context) {
  HINTERNET request = context->request;
  context->request = nullptr;
  if (request) WinHttp().CloseHandle(request);
}

void OnHeadersAvailable(RequestContext* context) {
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (WinHttp().QueryHeaders(context->request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &value, &size, WINHTTP_NO_HEADER_INDEX)) {
    context->statusCode = value;
  }
  value = 0;
  size = sizeof(value);
  if (!WinHttp().QueryHeaders(context->request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &value, &size, WINHTTP_NO_HEADER_INDEX)) {
    Signal(context);  // no Content-Length
    return;
  }
  context->contentLength = value;
  context->haveContentLength = true;
  if (!WinHttp().QueryDataAvailable(context->request, nullptr)) FailTransfer(context, GetLastError());
}

// One chunk of `n` bytes has arrived in the buffer. Called with the lock held; returns whether the
// lock is still held. The lock is left while the window is updated: the bar position is sent to the
// UI thread and waits for it, and the UI thread takes this lock to end the transfer. The window is
// updated when the bar or the text changes, at most every kProgressIntervalMs, and on the last chunk.
bool OnReadComplete(RequestContext* context, DWORD n) {
  if (n == 0) {
    context->bodyComplete = true;
    Signal(context);
    return true;
  }
  context->received += n;
  DWORD written = 0;
  if (!WriteFile(context->packageFile, context->buffer, n, &written, nullptr) || written != n) {
    context->writeFailed = true;
    Signal(context);
    return true;
  }
  const int position = DownloadProgressPosition(context->received, context->contentLength, context->position);
  DownloadStatus status;
  FormatDownloadStatus(context->received, context->contentLength, status);
  const DWORD now = GetTickCount();
  const bool due = context->shownAt == 0 || now - context->shownAt >= kProgressIntervalMs ||
                   context->received == context->contentLength;
  if (due && (position != context->position || !SameText(status.c_str(), context->shownStatus.c_str()))) {
    context->position = position;
    context->shownStatus = status;
    context->shownAt = now ? now : 1;
    StubState& state = *context->state;
    LeaveCriticalSection(&context->lock);

    SetProgressPosition(state, position);
    SetStatusText(state, status.c_str());

    if (!LockContext(context)) {
      Signal(context);
      return false;
    }
  }
  if (!WinHttp().ReadData(context->request, context->buffer, kReadBufferBytes, nullptr)) {
    FailTransfer(context, GetLastError());
  }
  return true;
}

// A request error: recorded, shown in the status line with the library's text, and the end of the
// transfer. Handled without the lock.
void OnRequestError(RequestContext* context, const WINHTTP_ASYNC_RESULT* result) {
  if (result && result->dwResult != 0) {
    if (result->dwError == ERROR_WINHTTP_INVALID_SERVER_RESPONSE) context->invalidResponse = true;
    if (context->error == 0) context->error = result->dwError;
    WideString text;
    if (AppendHttpErrorText(text, result->dwError)) {
      SetStatusText(*context->state, text.c_str());  // cut to the status line's length
    } else if (HWND window = context->state->mainWindow) {
      InvalidateRect(window, nullptr, FALSE);
    }
  } else if (result && context->error == 0) {
    context->error = result->dwError;
  }
  Signal(context);
}

// Sets `message` to the system's own text for `code` (empty when the system has none).
void ComposeSystemErrorText(WideString& message, DWORD code) {
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text), 0,
                 nullptr);
  ComposeMessage(message, {text ? text : L""});
  if (text) LocalFree(text);
}

// Appends the library's text for `code`, or "error N" where it has none.
bool AppendErrorReason(WideString& reason, DWORD code) {
  return AppendHttpErrorText(reason, code) || (reason.Append(L"error ") && AppendDecimal(reason, code));
}

// Sets `failure` to "The download failed (technical reason: <reason>)"; a null reason (memory ran
// out while composing it) gives "Out of memory".
void ComposeFailure(WideString& failure, const wchar_t* reason) {
  if (reason) {
    ComposeMessage(failure, {L"The download failed (technical reason: ", reason, L")"});
  } else {
    ComposeMessage(failure, {L"Out of memory"});
  }
}

// Sets `failure` to "The download failed (technical reason: <why>)" for a transfer that ran to its
// end without a complete download, and returns true; returns false, leaving `failure` alone, when
// the download is complete.
bool DescribeFailure(const RequestContext& context, WideString& failure) {
  WideString reason;
  bool composed = true;
  if (context.error != 0) {
    composed = AppendErrorReason(reason, context.error);
  } else if (context.writeFailed) {
    composed = reason.Append(L"the package file could not be written");
  } else if (context.statusCode < 200 || context.statusCode > 299) {
    composed = reason.Append(L"HTTP status ") && AppendDecimal(reason, context.statusCode);
  } else if (!context.haveContentLength) {
    composed = reason.Append(L"no Content-Length");
  } else if (!context.bodyComplete || context.received != context.contentLength) {
    composed = reason.Append(L"received ") && AppendDecimal(reason, context.received) && reason.Append(L" of ") &&
               AppendDecimal(reason, context.contentLength) && reason.Append(L" bytes");
  } else {
    return false;
  }
  ComposeFailure(failure, composed ? reason.c_str() : nullptr);
  return true;
}

bool LockContext(RequestContext* context) {
  EnterCriticalSection(&context->lock);
  if (context->request) return true;
  LeaveCriticalSection(&context->lock);
  return false;
}

void ReleaseContext(RequestContext* context) {
  if (InterlockedDecrement(&context->references) > 0) return;
  if (context->lockInitialised) {
    EnterCriticalSection(&context->lock);
    CloseContextRequest(context);
    LeaveCriticalSection(&context->lock);
    DeleteCriticalSection(&context->lock);
    context->lockInitialised = false;
  }
  if (context->completion) CloseHandle(context->completion);
  context->completion = nullptr;
  if (context->packageFile != INVALID_HANDLE_VALUE) CloseHandle(context->packageFile);
  HANDLE freed = context->freed;
  HeapFree(GetProcessHeap(), 0, context);
  if (freed) {
    SetEvent(freed);
    CloseHandle(freed);
  }
}

void CALLBACK TransferCallback(HINTERNET, DWORD_PTR contextValue, DWORD status, void* info,
                               DWORD infoLength) {
  auto* context = reinterpret_cast<RequestContext*>(contextValue);
  if (!context) return;
  if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
    ReleaseContext(context);  // the library's reference
    return;
  }
  if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR) {
    OnRequestError(context, static_cast<const WINHTTP_ASYNC_RESULT*>(info));
    return;
  }
  if (!LockContext(context)) {
    Signal(context);
    return;
  }
  bool locked = true;
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
      if (!WinHttp().ReceiveResponse(context->request, nullptr)) FailTransfer(context, GetLastError());
      break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      OnHeadersAvailable(context);
      break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
      // Nothing more to read (an empty body) ends the transfer like a read of 0 bytes.
      if (*static_cast<const DWORD*>(info) == 0) {
        context->bodyComplete = true;
        Signal(context);
      } else if (!WinHttp().ReadData(context->request, context->buffer, kReadBufferBytes, nullptr)) {
        FailTransfer(context, GetLastError());
      }
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      locked = OnReadComplete(context, infoLength);
      break;
    default:
      break;
  }
  if (locked) LeaveCriticalSection(&context->lock);
}

}  // namespace

bool DownloadToFile(StubState& state, const wchar_t* url, const wchar_t* path, bool& invalidResponse,
                    AttemptMessages& messages) {
  HttpTransfer transfer;
  RequestContext* context = nullptr;
  HANDLE freed = nullptr;
  bool locked = false;
  bool completed = false;

  if (!OpenHttpRequest(transfer, url, true, TransferCallback)) goto done;
  context = static_cast<RequestContext*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(RequestContext)));
  if (!context) {
    SetTransferError(transfer, L"Out of memory");
    goto done;
  }
  context->references = 1;
  context->state = &state;
  context->packageFile = INVALID_HANDLE_VALUE;
  // The context and this function each hold a handle of their own to the event that the last
  // release signals: whichever side is later, the handle it uses is still open.
  context->freed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!context->freed || !DuplicateHandle(GetCurrentProcess(), context->freed, GetCurrentProcess(), &freed, 0,
                                          FALSE, DUPLICATE_SAME_ACCESS)) {
    freed = nullptr;
    goto done;
  }

  DeleteFileW(path);
  context->packageFile = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (context->packageFile == INVALID_HANDLE_VALUE) {
    ComposeSystemErrorText(messages.atOnce, GetLastError());
    goto done;
  }
  if (!InitializeCriticalSectionAndSpinCount(&context->lock, 1000)) goto done;
  context->lockInitialised = true;
  context->completion = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!context->completion) goto done;

  context->request = transfer.request;  // the context closes it from here on
  transfer.request = nullptr;
  if (!LockContext(context)) goto done;
  locked = true;
  {
    InterlockedIncrement(&context->references);  // the library's
    DWORD_PTR value = reinterpret_cast<DWORD_PTR>(context);
    if (!WinHttp().SetOption(context->request, WINHTTP_OPTION_CONTEXT_VALUE, &value, sizeof(value))) {
      ReleaseContext(context);
      goto done;
    }
  }
  // The context goes with the send as well: the library may take this argument, not the option
  // set above, as the value for the request's notifications.
  if (!WinHttp().SendRequest(context->request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                             reinterpret_cast<DWORD_PTR>(context))) {
    WideString reason;
    ComposeFailure(messages.failure, AppendErrorReason(reason, GetLastError()) ? reason.c_str() : nullptr);
    CloseContextRequest(context);  // its handle-closing notification drops the library's reference
    goto done;
  }
  LeaveCriticalSection(&context->lock);
  locked = false;

  WaitDispatchingMessages(context->completion, INFINITE);

  if (!LockContext(context)) goto done;
  locked = true;
  CloseContextRequest(context);
  invalidResponse = context->invalidResponse;
  completed = !DescribeFailure(*context, messages.failure);

done:
  if (!transfer.errorText.empty()) messages.atOnce = std::move(transfer.errorText);
  if (locked) LeaveCriticalSection(&context->lock);
  if (context) {
    ReleaseContext(context);
    // The last reference may be the library's, dropped on one of its threads: wait for it, so that
    // the package file is closed before the installer opens it or a new attempt recreates it. A
    // file that may still be open is no complete download.
    if (!freed || !WaitDispatchingMessages(freed, kReleaseWaitMs)) {
      if (completed) ComposeFailure(messages.failure, L"the package file was not closed in time");
      completed = false;
    }
  }
  if (freed) CloseHandle(freed);
  CloseTransferHandles(transfer);
  return completed;
}
