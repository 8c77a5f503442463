// The installer tag: a 12-byte trailer at the very end of the executable that points at the
// download identifier (tag_trailer.h: its layout and checks), and the id file that keeps a copy of
// the identifier.
#pragma once

#include <windows.h>

#include "common/stub_state.h"
#include "tag/tag_trailer.h"

constexpr wchar_t kDownloadIdFileName[] = L"velko-download-id.txt";

struct InstallerTag {
  HANDLE file;  // the executable, open for reading; left open for StoreDownloadId
  TagTrailer trailer;
};

enum class StoreResult { kOk, kExtractFailed, kWriteFailed };

// Opens the program's own file and reads its trailer. Returns false when the tag is missing: the file
// cannot be opened, is shorter than the trailer, or the magic does not match. The file handle in
// `tag` may be open even then; the process end releases it.
bool ReadInstallerTag(InstallerTag& tag);

// The same for any file (the program's own path is one case).
bool ReadInstallerTagFrom(const wchar_t* path, InstallerTag& tag);

// Copies the identifier into `state.downloadId` and into the id file in the roaming application-data
// folder, replacing any earlier file. On success both files are closed. An identifier that cannot be
// read whole (`tag.trailer.idReadable` is false, or the read comes short) is an extract failure,
// which leaves `state.downloadId` empty and the id file untouched (an identifier stored by an earlier
// run stays); an id file that cannot be named, created or written whole is a write failure. After a
// write failure the id file, if created, is left as it is. After any failure the executable stays
// open.
StoreResult StoreDownloadId(StubState& state, const InstallerTag& tag);

// The same with an explicit id-file path.
StoreResult StoreDownloadIdTo(StubState& state, const InstallerTag& tag, const wchar_t* idFilePath);

// Composes "<roaming app data>\velko-download-id.txt". Returns false when the folder cannot be
// found or the path does not fit.
bool ComposeIdFilePath(PathString& path);
