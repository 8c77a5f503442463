// The run's private folder in the temporary folder: the package and the installer's log live there,
// not under fixed names in a folder that other accounts (C:\Windows\Temp for a run as SYSTEM) or
// other runs share.
#pragma once

#include "common/strings.h"

// Creates a new folder "<temp folder>\velko-<16 random hex digits>\" (it must not exist yet: a name
// that is taken is given up for another) and puts its path, with the final backslash, into `folder`.
// Returns false, with `folder` empty, when the temp folder cannot be found, no random name is
// available, or no folder could be created.
bool CreateRunFolder(PathString& folder);

// Composes "<folder><fileName>" into `path`. Returns false, with `path` empty, when it does not fit.
bool ComposeRunFilePath(PathString& path, const PathString& folder, const wchar_t* fileName);

// Deletes every file in `folder`, then the folder itself; nothing when `folder` is empty. Returns
// whether the folder is gone. A file that another process still holds open stays behind, and so
// does the folder then.
bool RemoveRunFolder(const PathString& folder);
