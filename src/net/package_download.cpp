#include "net/package_download.h"

#include <utility>

#include "common/file_digest.h"
#include "common/system_text.h"
#include "common/texts.h"
#include "net/async_request.h"
#include "net/content_range.h"
#include "net/download_policy.h"
#include "net/progress_format.h"
#include "common/message_wait.h"

namespace {

// The window follows the download at most this often (and always on the last chunk): each update
// costs the UI thread a repaint, and the download nothing, as the bar's position is posted.
constexpr DWORD kProgressIntervalMs = 100;

// Every Windows Installer package is a compound file and begins with its signature.
constexpr BYTE kPackageSignature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// How long the package's reopening waits for another program that has it open for writing (a
// real-time scanner checking the new file), and how often it tries meanwhile.
constexpr DWORD kHoldRetryMs = 2000;
constexpr DWORD kHoldRetryStepMs = 50;

// The counts are 32-bit: a package of 4 GiB or more is refused at its headers.
constexpr uint64_t kLargestPackageBytes = 0xFFFFFFFFull;

// The hash of the bytes written runs on a thread of its own, one chunk behind the download: a
// notification hands it a copy of the chunk and asks for the next one at once, so the hash costs
// the download no time where a processor is free (the system's SHA-256 is slower than Wine's
// network path). A chunk larger than its buffer is hashed where it arrives.
constexpr DWORD kHashChunkBytes = 0x40000;

struct Hasher {
  HANDLE thread;      // null: no thread, chunks are hashed where they arrive
  HANDLE pending;     // auto reset: a chunk is in the buffer (or quit is set)
  HANDLE idle;        // manual reset: the buffer is free and the stream up to date
  volatile LONG quit;
  Sha256Stream* stream;
  BYTE* buffer;
  DWORD count;
};

DWORD WINAPI HashChunks(void* parameter) {
  Hasher& hasher = *static_cast<Hasher*>(parameter);
  for (;;) {
    WaitForSingleObject(hasher.pending, INFINITE);
    if (hasher.quit) return 0;
    Sha256Add(*hasher.stream, hasher.buffer, hasher.count);
    SetEvent(hasher.idle);
  }
}

// Waits until the thread has hashed every chunk handed to it: the stream is then the caller's.
void DrainHasher(Hasher& hasher) {
  if (hasher.thread) WaitForSingleObject(hasher.idle, INFINITE);
}

void HashChunk(Hasher& hasher, const BYTE* bytes, DWORD count) {
  DrainHasher(hasher);
  if (!hasher.thread || count > kHashChunkBytes) {
    Sha256Add(*hasher.stream, bytes, count);
    return;
  }
  ResetEvent(hasher.idle);
  CopyMemory(hasher.buffer, bytes, count);
  hasher.count = count;
  SetEvent(hasher.pending);
}

// Starts the thread for `stream`; without one (no memory, no thread) chunks are hashed inline.
void StartHasher(Hasher& hasher, Sha256Stream& stream) {
  hasher = Hasher{};
  hasher.stream = &stream;
  hasher.buffer = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, kHashChunkBytes));
  hasher.pending = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  hasher.idle = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  if (hasher.buffer && hasher.pending && hasher.idle) {
    hasher.thread = CreateThread(nullptr, 0, HashChunks, &hasher, 0, nullptr);
  }
}

// Hashes what is still pending and ends the thread.
void StopHasher(Hasher& hasher) {
  if (hasher.thread) {
    DrainHasher(hasher);
    InterlockedExchange(&hasher.quit, 1);
    SetEvent(hasher.pending);
    WaitForSingleObject(hasher.thread, INFINITE);
    CloseHandle(hasher.thread);
  }
  if (hasher.pending) CloseHandle(hasher.pending);
  if (hasher.idle) CloseHandle(hasher.idle);
  if (hasher.buffer) HeapFree(GetProcessHeap(), 0, hasher.buffer);
  hasher = Hasher{};
}

// Validators and header values are short; longer ones are not used.
using HeaderText = FixedString<256>;

// The download across its attempts, and what the current attempt saw. The sink functions write it
// on the library's threads, one notification at a time; the attempt loop reads it between requests
// (the request has returned: no sink function runs any more).
struct Download {
  const ProgressReport* report;  // where the status line and the bar go
  const PackagePin* pin;  // the digest and length the information server published, if any
  HANDLE file;         // the package file, open for writing, shared with nobody, for the whole download
  DWORD inFile;        // bytes in the file
  DWORD total;         // the package's length, from the first response taken whole
  bool haveTotal;
  HeaderText validator;  // If-Range for a resumed request: the strong ETag, or else Last-Modified;
                         // empty: the file cannot be resumed, a new attempt starts again from zero
  // With a published digest: the SHA-256 of the bytes written, taken as they are written, so that
  // the check needs no second pass over the file. It covers the file's first digest.bytes bytes.
  bool hashing;
  Sha256Stream digest;
  Hasher hasher;       // hashes the chunks written into digest

  bool proxyLogon;     // a proxy asked for credentials: every request offers the integrated sign-on
  ReleaseSlot requestRelease;  // the request under way, for ReleaseDownload

  // This attempt.
  bool resuming;       // it asked for the bytes from inFile on
  AttemptFacts facts;
  DWORD retryAfterMs;  // the server's Retry-After on a 429 or 503; 0 if none
  bool restartFile;    // the next attempt starts from an empty file

  // The window.
  int position;                // bar position last shown
  DownloadStatus shownStatus;  // status text last shown
  DWORD shownAt;               // GetTickCount() of the last update; 0 before the first
};

// A header's value, or false when the response has none (or it does not fit).
bool QueryHeaderText(HINTERNET request, DWORD query, HeaderText& text) {
  DWORD bytes = static_cast<DWORD>(HeaderText::kCapacityUnits * sizeof(wchar_t));
  text.Clear();
  if (!WinHttp().QueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &bytes,
                              WINHTTP_NO_HEADER_INDEX)) {
    text.Clear();
    return false;
  }
  return true;
}

// Moves the file position to `offset` (64-bit: packages from 2 GiB on have offsets that a 32-bit
// distance cannot reach).
bool SeekTo(HANDLE file, uint64_t offset) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(file, distance, nullptr, FILE_BEGIN) != FALSE;
}

// Empties the package file: the next bytes written start the package again, and so does the hash.
bool TruncateFile(Download& download) {
  download.inFile = 0;
  if (download.hashing) {
    DrainHasher(download.hasher);
    Sha256Start(download.digest);
  }
  return SeekTo(download.file, 0) && SetEndOfFile(download.file);
}

// Before a resumed request: the hash must cover exactly the part of the file kept. It does when it
// followed every byte written; otherwise (it broke, or was restarted) that part is hashed once now.
void HashKeptPart(Download& download) {
  if (!download.hashing) return;
  DrainHasher(download.hasher);
  if (!download.digest.broken && download.digest.bytes == download.inFile) return;
  Sha256StartWithFile(download.digest, download.file, download.inFile);
}

// A response whose body is the whole package (a 200): its length and validators start the download.
bool TakeWholeResponse(Download& download, HINTERNET request) {
  if (download.inFile != 0 && !TruncateFile(download)) {
    download.facts.writeFailed = true;
    return false;
  }
  // Read as text: the library's number form is 32-bit and says nothing of larger lengths.
  HeaderText lengthText;
  uint64_t length = 0;
  if (!QueryHeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH, lengthText) ||
      !ParseDecimal64(lengthText.c_str(), lengthText.length(), length)) {
    download.facts.noLength = true;
    return false;
  }
  // Another length than the published one: not the package, and not a byte of it is read.
  if (download.pin->hasSize && length != download.pin->size) {
    download.facts.notPublished = true;
    return false;
  }
  if (length > kLargestPackageBytes) {
    download.facts.tooLarge = true;
    return false;
  }
  download.total = static_cast<DWORD>(length);
  download.haveTotal = true;
  // A weak ETag cannot make a range conditional: then the date is the validator, if there is one.
  HeaderText etag;
  if (QueryHeaderText(request, WINHTTP_QUERY_ETAG, etag) && !StartsWith(etag.c_str(), L"W/")) {
    download.validator = etag;
  } else if (!QueryHeaderText(request, WINHTTP_QUERY_LAST_MODIFIED, download.validator)) {
    download.validator.Clear();
  }
  return true;
}

// A 206 to a resumed request: it must continue the file exactly where it ends, for the same total.
bool TakePartialResponse(Download& download, HINTERNET request) {
  HeaderText text;
  ContentRange range;
  if (!QueryHeaderText(request, WINHTTP_QUERY_CONTENT_RANGE, text) ||
      !ParseContentRange(text.c_str(), text.length(), range) || range.first != download.inFile ||
      range.total != download.total || range.last != download.total - 1) {
    download.facts.rangeRefused = true;
    download.restartFile = true;
    return false;
  }
  if (!SeekTo(download.file, download.inFile)) {
    download.facts.writeFailed = true;
    return false;
  }
  return true;
}

bool OnHeaders(void* owner, HINTERNET request) {
  Download& download = *static_cast<Download*>(owner);
  const DWORD status = QueryHttpStatus(request);
  download.facts.status = status;
  if (status == kProxyAuthenticationRequired) {
    download.facts.proxyRefused = true;
    return false;
  }
  if (status == 429 || status == 503) {
    HeaderText retryAfter;
    DWORD milliseconds = 0;
    if (QueryHeaderText(request, WINHTTP_QUERY_RETRY_AFTER, retryAfter) &&
        ParseRetryAfter(retryAfter.c_str(), retryAfter.length(), milliseconds)) {
      download.retryAfterMs = milliseconds;
    }
  }
  if (download.resuming && status == 206) return TakePartialResponse(download, request);
  if (status == 206 || (download.resuming && status == 416)) {
    // A part not asked for, or a range that no longer fits the file on the server (it changed):
    // the next attempt starts again from zero.
    download.facts.rangeRefused = true;
    download.restartFile = true;
    return false;
  }
  if (status < 200 || status > 299) return false;
  return TakeWholeResponse(download, request);
}

// Writes a chunk and lets the window follow: when the bar or the text changes, at most every
// kProgressIntervalMs, and on the last chunk. The bar never moves back within a download.
bool OnData(void* owner, const BYTE* bytes, DWORD count) {
  Download& download = *static_cast<Download*>(owner);
  if (count > kLargestPackageBytes - download.inFile) {  // more than announced, past the 32-bit counts
    download.facts.tooLarge = true;
    return false;
  }
  DWORD written = 0;
  if (!WriteFile(download.file, bytes, count, &written, nullptr) || written != count) {
    download.facts.writeFailed = true;
    return false;
  }
  download.inFile += count;
  // A hash that fails stays broken; the check then reads the held file once instead.
  if (download.hashing) HashChunk(download.hasher, bytes, count);
  const DWORD now = GetTickCount();
  const bool due = download.shownAt == 0 || now - download.shownAt >= kProgressIntervalMs ||
                   download.inFile == download.total;
  if (!due) return true;
  int position = DownloadProgressPosition(download.inFile, download.total, download.position);
  if (position < download.position) position = download.position;
  DownloadStatus status;
  FormatDownloadStatus(download.inFile, download.total, DecimalSeparator(), status);
  if (position != download.position || !SameText(status.c_str(), download.shownStatus.c_str())) {
    download.position = position;
    download.shownStatus = status;
    download.shownAt = now ? now : 1;
    ReportPosition(*download.report, position);
    ReportStatus(*download.report, status.c_str());
  }
  return true;
}

// A request error: the library's text, where it has one, in the status line.
void OnFailed(void* owner, DWORD error) {
  WideString text;
  if (AppendHttpErrorText(text, error)) ReportStatus(*static_cast<Download*>(owner)->report, text.c_str());
}

// A count in decimal digits, for a text's placeholder.
struct Decimal {
  explicit Decimal(uint32_t value) { AppendDecimal(digits, value); }
  const wchar_t* c_str() const { return digits.c_str(); }
  FixedString<11> digits;
};

// Appends the library's text for `code`, or "error N" where it has none.
bool AppendErrorReason(WideString& reason, DWORD code) {
  return AppendHttpErrorText(reason, code) ||
         AppendFormatted(reason, Text(TextId::kErrorCodeReason), {Decimal(code).c_str()});
}

// Sets `failure` to "The download failed (technical reason: <reason>)"; a null reason (memory ran
// out while composing it) gives "Out of memory".
void ComposeFailure(WideString& failure, const wchar_t* reason) {
  if (reason) {
    ComposeText(failure, TextId::kDownloadFailed, {reason});
  } else {
    ComposeText(failure, TextId::kOutOfMemory);
  }
}

// Sets `failure` for an attempt that did not bring the whole package.
void DescribeFailure(const Download& download, WideString& failure) {
  const AttemptFacts& facts = download.facts;
  WideString reason;
  bool composed;
  if (facts.proxyRefused) {
    composed = reason.Append(Text(TextId::kProxyPasswordReason));
  } else if (facts.notPublished) {
    composed = reason.Append(Text(TextId::kNotPublishedReason));
  } else if (facts.tooLarge) {
    composed = reason.Append(Text(TextId::kTooLargeReason));
  } else if (facts.writeFailed) {
    composed = reason.Append(Text(TextId::kWriteFailedReason));
  } else if (facts.error != 0) {
    composed = AppendErrorReason(reason, facts.error);
  } else if (facts.rangeRefused) {
    composed = reason.Append(Text(TextId::kRangeRefusedReason));
  } else if (facts.status < 200 || facts.status > 299) {
    composed = AppendFormatted(reason, Text(TextId::kHttpStatusReason), {Decimal(facts.status).c_str()});
  } else if (facts.noLength) {
    composed = reason.Append(Text(TextId::kNoLengthReason));
  } else {
    composed = AppendFormatted(reason, Text(TextId::kIncompleteReason),
                               {Decimal(download.inFile).c_str(), Decimal(download.total).c_str()});
  }
  ComposeFailure(failure, composed ? reason.c_str() : nullptr);
}

// Which way a download that did not bring the whole package failed, from its last attempt's facts,
// in the order DescribeFailure tells them.
DownloadFailure ClassifyDownloadFailure(const Download& download) {
  const AttemptFacts& facts = download.facts;
  DownloadFailure why = {};
  why.kind = DownloadFailure::Kind::kTransfer;
  if (!facts.proxyRefused && facts.notPublished) {
    why.kind = DownloadFailure::Kind::kNotPublishedSize;
  } else if (!facts.proxyRefused && !facts.tooLarge && facts.writeFailed) {
    why.kind = DownloadFailure::Kind::kPackageFile;
  }
  why.transfer.error = facts.error;
  why.transfer.status = facts.status;
  why.transfer.proxyRefused = facts.proxyRefused;
  return why;
}

// The Range and If-Range headers that ask for the rest of the package; false when they do not fit.
bool ComposeRangeHeaders(const Download& download, FixedString<512>& headers) {
  return headers.Assign(L"Range: bytes=") && AppendDecimal(headers, download.inFile) && headers.Append(L"-") &&
         (download.validator.empty() ||
          (headers.Append(L"\r\nIf-Range: ") && headers.Append(download.validator.c_str())));
}

// One request for the package, or for its rest. Sets `setupFailure` when the request could not even
// be made (its text is the one the user sees); otherwise the attempt's facts say how it went.
AttemptEnd RunAttempt(Download& download, const wchar_t* url, WideString& setupFailure) {
  download.facts = AttemptFacts{};
  download.retryAfterMs = 0;
  download.restartFile = false;
  // Only a validator makes a range safe: without one, a package replaced on the server by another of
  // the same length would give old bytes followed by new ones. Then the attempt starts from zero.
  download.resuming = download.haveTotal && download.inFile > 0 && download.inFile < download.total &&
                      !download.validator.empty();
  if (!download.resuming && download.inFile != 0 && !TruncateFile(download)) {
    download.facts.writeFailed = true;
    return ClassifyAttempt(download.facts);
  }
  FixedString<512> headers;
  if (download.resuming && !ComposeRangeHeaders(download, headers)) {
    download.resuming = false;
    if (!TruncateFile(download)) download.facts.writeFailed = true;
  }
  if (download.resuming) HashKeptPart(download);

  const RequestSink sink = {&download, OnHeaders, OnData, OnFailed};
  RequestEnd end;
  for (;;) {
    HttpTransfer setup;
    setup.proxyLogon = download.proxyLogon;
    setup.cancel = download.report->cancel;
    setup.release = &download.requestRelease;
    if (!RunAsyncRequest(url, download.resuming ? headers.c_str() : nullptr, sink, INFINITE, setup, end)) {
      setupFailure = std::move(setup.errorText);
      return AttemptEnd::kPermanent;
    }
    // A proxy that asks for credentials gets the request once more, at once, with the user's own
    // logon offered; if it still refuses, the download ends (the stub never asks for a password).
    if (!download.facts.proxyRefused || download.proxyLogon || end.cancelled) break;
    download.proxyLogon = true;
    download.facts = AttemptFacts{};
  }
  download.facts.error = end.error;
  download.facts.shortBody = !download.facts.noLength && !download.facts.rangeRefused &&
                             (!download.haveTotal || download.inFile != download.total);
  // A file that cannot be emptied would be written over and could look complete: the end.
  if (download.restartFile && !TruncateFile(download)) download.facts.writeFailed = true;
  return ClassifyAttempt(download.facts);
}

// The same file (volume and file index) of the same size. The last-write time is not compared: on
// NTFS it may only be brought up to date when the writing handle is closed, so it can differ from
// the one read before the close. An edit in place of the same size between the close and the
// reopening is what a published digest catches.
bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow && a.nFileSizeHigh == b.nFileSizeHigh &&
         a.nFileSizeLow == b.nFileSizeLow;
}

// Closes the written file and opens it again for reading with read sharing only, so that nothing
// can change or replace it until the installer is done with it; while someone else has it open for
// writing, tries again for about kHoldRetryMs (keeping the window alive). The file reopened must be
// the one written (same file and size). Returns INVALID_HANDLE_VALUE when that fails or `cancel` is
// set while it tries; `written` is closed in any case.
HANDLE HoldPackage(HANDLE written, const wchar_t* path, HANDLE cancel) {
  BY_HANDLE_FILE_INFORMATION before = {};
  const bool known = GetFileInformationByHandle(written, &before) != FALSE;
  CloseHandle(written);
  if (!known) return INVALID_HANDLE_VALUE;
  // A real-time scanner opens a freshly written file as soon as its writer closes it, often with
  // write access; while it has it, the file cannot be opened with read sharing only. So a sharing
  // violation is tried again, for a while, before the file counts as changed.
  HANDLE held;
  const DWORD start = GetTickCount();
  for (;;) {
    held = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                       nullptr);
    if (held != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
        GetTickCount() - start >= kHoldRetryMs) {
      break;
    }
    if (WaitUnlessCancelled(nullptr, kHoldRetryStepMs, cancel) == WaitEnd::kCancelled) return INVALID_HANDLE_VALUE;
  }
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
  if (!SeekTo(file, 0) || !ReadFile(file, head, sizeof(head), &read, nullptr) ||
      read != sizeof(head)) {
    return false;
  }
  for (size_t i = 0; i < sizeof(head); ++i) {
    if (head[i] != kPackageSignature[i]) return false;
  }
  return true;
}

// Whether the held package's bytes have the published digest (true when none was published). The
// hash taken while writing stands for the file when it covers every byte of it (the held file is
// the one written, of the size written: HoldPackage); otherwise the held file is read once.
bool HasPublishedDigest(Download& download, HANDLE package) {
  const PackagePin& pin = *download.pin;
  if (!pin.hasDigest) return true;
  uint8_t digest[kSha256Bytes];
  LARGE_INTEGER size = {};
  const bool whole = download.hashing && !download.digest.broken && GetFileSizeEx(package, &size) &&
                     download.digest.bytes == static_cast<uint64_t>(size.QuadPart);
  if (!(whole ? Sha256Finish(download.digest, digest) : FileSha256(package, digest))) return false;
  uint8_t difference = 0;
  for (size_t i = 0; i < kSha256Bytes; ++i) difference |= static_cast<uint8_t>(digest[i] ^ pin.digest[i]);
  return difference == 0;
}

// The download's release (ReleaseSlot), when the session ends during it: the request under way is
// closed first, so that no notification writes any more, then the file.
void ReleaseDownload(void* owner) {
  Download& download = *static_cast<Download*>(owner);
  const ReleaseSlot request = download.requestRelease;
  download.requestRelease = ReleaseSlot{};
  if (request.release) request.release(request.owner);
  if (download.file != INVALID_HANDLE_VALUE) CloseHandle(download.file);
  download.file = INVALID_HANDLE_VALUE;
}

}  // namespace

bool DownloadPackage(const ProgressReport& report, const wchar_t* url, const PackagePin& pin, const wchar_t* path,
                     WideString& failure, HANDLE& package, DownloadFailure* why) {
  package = INVALID_HANDLE_VALUE;
  failure.Clear();
  DownloadFailure unused;
  DownloadFailure& failed = why ? *why : unused;
  failed = DownloadFailure{};
  failed.kind = DownloadFailure::Kind::kPackageFile;
  Download download = {};
  download.report = &report;
  download.pin = &pin;
  // A new file in the run's own folder: nothing an earlier run left is ever appended to.
  download.file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (download.file == INVALID_HANDLE_VALUE) {
    ComposeSystemErrorText(failure, GetLastError());
    return false;
  }

  HoldForRelease(report, &download, ReleaseDownload);
  download.hashing = pin.hasDigest;
  if (download.hashing) {
    Sha256Start(download.digest);  // a provider that fails: the file is read once at the end
    StartHasher(download.hasher, download.digest);
  }

  AttemptEnd end = AttemptEnd::kTransient;
  DWORD pausedMs = 0;
  for (int attempt = 1;; ++attempt) {
    end = RunAttempt(download, url, failure);
    if (end != AttemptEnd::kTransient || attempt == kMaxDownloadAttempts || Cancelled(report)) break;
    const DWORD pause = PauseBeforeAttempt(attempt + 1, download.retryAfterMs, pausedMs);
    ReportStatus(report, Text(TextId::kRetryingStatus));
    if (WaitUnlessCancelled(nullptr, pause, report.cancel) == WaitEnd::kCancelled) break;
    pausedMs += pause;
  }
  StopHasher(download.hasher);  // every chunk written is in the stream now
  // The file is let go of below, by this function alone.
  HoldForRelease(report, nullptr, nullptr);
  if (Cancelled(report)) {
    if (download.file != INVALID_HANDLE_VALUE) CloseHandle(download.file);
    Sha256Release(download.digest);
    failure.Clear();
    return false;
  }
  if (end != AttemptEnd::kComplete) {
    CloseHandle(download.file);
    Sha256Release(download.digest);
    // A request that could not even be made has its text already and saw nothing.
    failed = ClassifyDownloadFailure(download);
    if (failure.empty()) DescribeFailure(download, failure);
    return false;
  }

  package = HoldPackage(download.file, path, report.cancel);
  if (Cancelled(report)) {
    if (package != INVALID_HANDLE_VALUE) CloseHandle(package);
    package = INVALID_HANDLE_VALUE;
    Sha256Release(download.digest);
    return false;
  }
  if (package == INVALID_HANDLE_VALUE) {
    Sha256Release(download.digest);
    ComposeFailure(failure, Text(TextId::kChangedReason));
    return false;
  }
  const wchar_t* refusal = nullptr;
  const bool published = HasPublishedDigest(download, package);
  Sha256Release(download.digest);
  if (!published) {
    refusal = Text(TextId::kNotPublishedReason);
    failed.kind = DownloadFailure::Kind::kNotPublishedDigest;
  } else if (!StartsWithPackageSignature(package)) {
    refusal = Text(TextId::kNotPackageReason);
    failed.kind = DownloadFailure::Kind::kNotPackage;
  }
  if (refusal) {
    CloseHandle(package);
    package = INVALID_HANDLE_VALUE;
    ComposeFailure(failure, refusal);
    return false;
  }
  return true;
}
