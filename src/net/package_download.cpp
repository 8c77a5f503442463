#include "net/package_download.h"

#include <utility>

#include "net/async_request.h"
#include "net/progress_format.h"
#include "ui/progress_window.h"

namespace {

// The window follows the download at most this often (and always on the last chunk): each update
// costs the UI thread a repaint, and the download nothing, as the bar's position is posted.
constexpr DWORD kProgressIntervalMs = 100;

// Every Windows Installer package is a compound file and begins with its signature.
constexpr BYTE kPackageSignature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// What one attempt saw, written by the sink functions (under the request's lock) and read by
// DownloadToFile once the request is over.
struct Attempt {
  StubState* state;
  HANDLE file;          // the package file, open for writing
  DWORD statusCode;
  bool haveContentLength;
  DWORD contentLength;
  DWORD received;
  bool writeFailed;     // the package file took fewer bytes than received
  int position;         // bar position last shown
  DownloadStatus shownStatus;  // status text last shown
  DWORD shownAt;        // GetTickCount() of the last window update; 0 before the first
};

bool OnHeaders(void* owner, HINTERNET request) {
  auto* attempt = static_cast<Attempt*>(owner);
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (WinHttp().QueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &value, &size, WINHTTP_NO_HEADER_INDEX)) {
    attempt->statusCode = value;
  }
  value = 0;
  size = sizeof(value);
  if (!WinHttp().QueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &value, &size, WINHTTP_NO_HEADER_INDEX)) {
    return false;  // no Content-Length: the package's size cannot be known
  }
  attempt->contentLength = value;
  attempt->haveContentLength = true;
  return true;
}

// Writes a chunk and lets the window follow: when the bar or the text changes, at most every
// kProgressIntervalMs, and on the last chunk.
bool OnData(void* owner, const BYTE* bytes, DWORD count) {
  auto* attempt = static_cast<Attempt*>(owner);
  attempt->received += count;
  DWORD written = 0;
  if (!WriteFile(attempt->file, bytes, count, &written, nullptr) || written != count) {
    attempt->writeFailed = true;
    return false;
  }
  const int position = DownloadProgressPosition(attempt->received, attempt->contentLength, attempt->position);
  DownloadStatus status;
  FormatDownloadStatus(attempt->received, attempt->contentLength, status);
  const DWORD now = GetTickCount();
  const bool due = attempt->shownAt == 0 || now - attempt->shownAt >= kProgressIntervalMs ||
                   attempt->received == attempt->contentLength;
  if (due && (position != attempt->position || !SameText(status.c_str(), attempt->shownStatus.c_str()))) {
    attempt->position = position;
    attempt->shownStatus = status;
    attempt->shownAt = now ? now : 1;
    PostProgressPosition(*attempt->state, position);
    SetStatusText(*attempt->state, status.c_str());
  }
  return true;
}

// A request error: the library's text, where it has one, in the status line.
void OnFailed(void* owner, DWORD error) {
  StubState& state = *static_cast<Attempt*>(owner)->state;
  WideString text;
  if (AppendHttpErrorText(text, error)) {
    SetStatusText(state, text.c_str());  // cut to the status line's length
  } else if (HWND window = state.mainWindow) {
    InvalidateRect(window, nullptr, FALSE);
  }
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

// Sets `failure` for a transfer that ended without the whole package and returns true; returns
// false, leaving `failure` alone, when the package is complete.
bool DescribeFailure(const RequestEnd& end, const Attempt& attempt, WideString& failure) {
  WideString reason;
  bool composed = true;
  if (end.error != 0) {
    composed = AppendErrorReason(reason, end.error);
  } else if (attempt.writeFailed) {
    composed = reason.Append(L"the package file could not be written");
  } else if (attempt.statusCode < 200 || attempt.statusCode > 299) {
    composed = reason.Append(L"HTTP status ") && AppendDecimal(reason, attempt.statusCode);
  } else if (!attempt.haveContentLength) {
    composed = reason.Append(L"no Content-Length");
  } else if (!end.bodyComplete || attempt.received != attempt.contentLength) {
    composed = reason.Append(L"received ") && AppendDecimal(reason, attempt.received) && reason.Append(L" of ") &&
               AppendDecimal(reason, attempt.contentLength) && reason.Append(L" bytes");
  } else {
    return false;
  }
  ComposeFailure(failure, composed ? reason.c_str() : nullptr);
  return true;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow && a.nFileSizeHigh == b.nFileSizeHigh &&
         a.nFileSizeLow == b.nFileSizeLow && a.ftLastWriteTime.dwLowDateTime == b.ftLastWriteTime.dwLowDateTime &&
         a.ftLastWriteTime.dwHighDateTime == b.ftLastWriteTime.dwHighDateTime;
}

// Closes the written file and opens it again for reading with read sharing only, so that nothing
// can change or replace it until the installer is done with it. The file reopened must be the one
// written (same file, size and time). Returns INVALID_HANDLE_VALUE when that fails; `written` is
// closed in any case.
HANDLE HoldPackage(HANDLE written, const wchar_t* path) {
  BY_HANDLE_FILE_INFORMATION before = {};
  const bool known = GetFileInformationByHandle(written, &before) != FALSE;
  CloseHandle(written);
  if (!known) return INVALID_HANDLE_VALUE;
  HANDLE held = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (held == INVALID_HANDLE_VALUE) return held;
  BY_HANDLE_FILE_INFORMATION after = {};
  if (!GetFileInformationByHandle(held, &after) || !SameFile(before, after)) {
    CloseHandle(held);
    return INVALID_HANDLE_VALUE;
  }
  return held;
}

bool StartsWithPackageSignature(HANDLE file) {
  BYTE head[sizeof(kPackageSignature)] = {};
  DWORD read = 0;
  if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) != 0 || !ReadFile(file, head, sizeof(head), &read, nullptr) ||
      read != sizeof(head)) {
    return false;
  }
  for (size_t i = 0; i < sizeof(head); ++i) {
    if (head[i] != kPackageSignature[i]) return false;
  }
  return true;
}

}  // namespace

bool DownloadToFile(StubState& state, const wchar_t* url, const wchar_t* path, bool& invalidResponse,
                    AttemptMessages& messages, HANDLE& package) {
  package = INVALID_HANDLE_VALUE;
  Attempt attempt = {};
  attempt.state = &state;
  DeleteFileW(path);
  attempt.file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (attempt.file == INVALID_HANDLE_VALUE) {
    ComposeSystemErrorText(messages.atOnce, GetLastError());
    return false;
  }

  const RequestSink sink = {&attempt, OnHeaders, OnData, OnFailed};
  HttpTransfer setup;
  RequestEnd end;
  if (!RunAsyncRequest(url, nullptr, sink, INFINITE, setup, end)) {
    CloseHandle(attempt.file);
    messages.atOnce = std::move(setup.errorText);
    return false;
  }
  // The transfer ran to its end: whether the server answered invalidly decides about another attempt.
  invalidResponse = end.error == ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
  if (DescribeFailure(end, attempt, messages.failure)) {
    CloseHandle(attempt.file);
    return false;
  }
  package = HoldPackage(attempt.file, path);
  if (package == INVALID_HANDLE_VALUE) {
    ComposeFailure(messages.failure, L"the package file was changed after the download");
    return false;
  }
  if (!StartsWithPackageSignature(package)) {
    CloseHandle(package);
    package = INVALID_HANDLE_VALUE;
    ComposeFailure(messages.failure, L"the file received is not an installer package");
    return false;
  }
  return true;
}
