#include "tag/installer_tag.h"

#include <shlobj.h>

#include "common/message_wait.h"

static_assert(kDownloadIdMaxBytes < kDownloadIdCapacityBytes, "the identifier fits with its NUL");

namespace {

// How long the id file's creation waits for another handle that keeps it from being written (another
// copy started at the same moment writing its own identifier, a scanner reading the new file without
// write sharing), and how often it tries meanwhile. Either holds it for moments only.
constexpr DWORD kIdFileRetryMs = 2000;
constexpr DWORD kIdFileRetryStepMs = 50;

}  // namespace

bool ReadInstallerTag(InstallerTag& tag) {
  tag = InstallerTag{};
  tag.file = INVALID_HANDLE_VALUE;
  PathString path;
  // A path longer than the buffer comes back cut short (the length is then the buffer's): a cut
  // path could name another file, so the tag counts as missing.
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  return ReadInstallerTagFrom(path.c_str(), tag);
}

bool ReadInstallerTagFrom(const wchar_t* path, InstallerTag& tag) {
  tag = InstallerTag{};
  tag.file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (tag.file == INVALID_HANDLE_VALUE) return false;
  // Seeking before the start fails: a file shorter than the trailer has no tag.
  LARGE_INTEGER back;
  back.QuadPart = -static_cast<LONGLONG>(kInstallerTagBytes);
  LARGE_INTEGER trailerStart;
  if (!SetFilePointerEx(tag.file, back, &trailerStart, FILE_END)) return false;
  uint8_t last[kInstallerTagBytes];
  DWORD read = 0;
  if (!ReadFile(tag.file, last, sizeof(last), &read, nullptr) || read != sizeof(last)) return false;
  const uint64_t fileBytes = static_cast<uint64_t>(trailerStart.QuadPart) + kInstallerTagBytes;
  return ParseTagTrailer(last, fileBytes, tag.trailer);
}

bool ComposeIdFilePath(PathString& path) {
  path.Clear();
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path.data()))) {
    path.Clear();
    return false;
  }
  return !path.empty() && path.AppendSeparator() && path.Append(kDownloadIdFileName);
}

StoreResult StoreDownloadId(StubState& state, const InstallerTag& tag) {
  PathString idFilePath;
  // No id file is created at a made-up path: a folder that cannot be found is a write failure.
  if (!ComposeIdFilePath(idFilePath)) return StoreResult::kWriteFailed;
  return StoreDownloadIdTo(state, tag, idFilePath.c_str());
}

StoreResult StoreDownloadIdTo(StubState& state, const InstallerTag& tag, const wchar_t* idFilePath) {
  const DWORD idLength = tag.trailer.idLength;
  DWORD read = 0;
  // Only an identifier that lies inside the file and fits the buffer (99 bytes and a NUL) is read.
  // An empty one is read from wherever it points: nothing is read, and a failed seek does no harm.
  // It is read before the id file is touched: a damaged copy must not replace the identifier that
  // an earlier run stored with an empty file.
  if (!tag.trailer.idReadable) {
    state.downloadId[0] = 0;
    return StoreResult::kExtractFailed;
  }
  SetFilePointer(tag.file, static_cast<LONG>(tag.trailer.idOffset), nullptr, FILE_BEGIN);
  if (!ReadFile(tag.file, state.downloadId, idLength, &read, nullptr) || read != idLength) {
    state.downloadId[0] = 0;
    return StoreResult::kExtractFailed;
  }
  state.downloadId[idLength] = 0;

  // CREATE_ALWAYS empties a file that is there; it is never deleted first. A file that another
  // program (a scanner, a backup tool) holds open with delete sharing stays "delete pending" after a
  // deletion until that program lets go, and creating it anew meanwhile fails with access denied.
  // Such a program reads: sharing read access lets the file be replaced while it is held. A hidden
  // or system file is replaced only when those attributes are asked for again.
  const DWORD existing = GetFileAttributesW(idFilePath);
  const DWORD attributes =
      existing == INVALID_FILE_ATTRIBUTES ? 0 : existing & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  HANDLE idFile;
  const DWORD start = GetTickCount();
  for (;;) {
    idFile = CreateFileW(idFilePath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                         attributes, nullptr);
    if (idFile != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
        GetTickCount() - start >= kIdFileRetryMs) {
      break;
    }
    WaitDispatchingMessages(nullptr, kIdFileRetryStepMs);
  }
  DWORD written = 0;
  StoreResult result = StoreResult::kOk;
  if (idFile == INVALID_HANDLE_VALUE || !WriteFile(idFile, state.downloadId, idLength, &written, nullptr) ||
      written != idLength) {
    result = StoreResult::kWriteFailed;
  }
  // The id file is closed on every path (a failed write leaves it empty or partial); the executable
  // only on success, as the caller may still hold it after a failure.
  if (idFile != INVALID_HANDLE_VALUE) CloseHandle(idFile);
  if (result == StoreResult::kOk) CloseHandle(tag.file);
  return result;
}
