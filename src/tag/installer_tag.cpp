#include "tag/installer_tag.h"

#include <shlobj.h>

namespace {

DWORD FromBigEndian(const BYTE bytes[4]) {
  return (DWORD{bytes[0]} << 24) | (DWORD{bytes[1]} << 16) | (DWORD{bytes[2]} << 8) | DWORD{bytes[3]};
}

// Reads the next big-endian 32-bit field; a short or failed read gives 0.
DWORD ReadBigEndian(HANDLE file) {
  BYTE bytes[4] = {};
  DWORD read = 0;
  if (!ReadFile(file, bytes, sizeof(bytes), &read, nullptr) || read != sizeof(bytes)) return 0;
  return FromBigEndian(bytes);
}

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
  LARGE_INTEGER back;
  back.QuadPart = -static_cast<LONGLONG>(kInstallerTagBytes);
  if (!SetFilePointerEx(tag.file, back, nullptr, FILE_END)) return false;
  if (ReadBigEndian(tag.file) != kInstallerTagMagic) return false;
  tag.idOffset = ReadBigEndian(tag.file);
  tag.idLength = ReadBigEndian(tag.file);
  return true;
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
  DeleteFileW(idFilePath);
  HANDLE idFile = CreateFileW(idFilePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                              nullptr);

  StoreResult result = StoreResult::kOk;
  DWORD read = 0;
  // The buffer holds 99 bytes and a NUL; a longer identifier is never read.
  if (tag.idLength >= kDownloadIdCapacityBytes) {
    state.downloadId[0] = 0;
    result = StoreResult::kExtractFailed;
  } else {
    // The offset is a signed 32-bit distance from the start of the file.
    SetFilePointer(tag.file, static_cast<LONG>(tag.idOffset), nullptr, FILE_BEGIN);
    if (!ReadFile(tag.file, state.downloadId, tag.idLength, &read, nullptr)) read = 0;
    state.downloadId[tag.idLength] = 0;
    if (read != tag.idLength) result = StoreResult::kExtractFailed;
  }

  if (result == StoreResult::kOk) {
    DWORD written = 0;
    if (idFile == INVALID_HANDLE_VALUE ||
        !WriteFile(idFile, state.downloadId, tag.idLength, &written, nullptr) ||
        written != tag.idLength) {
      result = StoreResult::kWriteFailed;
    }
  }
  // The id file is closed on every path (an earlier failure leaves it empty or partial); the
  // executable only on success, as the caller may still hold it after a failure.
  if (idFile != INVALID_HANDLE_VALUE) CloseHandle(idFile);
  if (result == StoreResult::kOk) CloseHandle(tag.file);
  return result;
}
