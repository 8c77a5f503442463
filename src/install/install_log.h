// The Windows Installer's verbose log file: finding the folders a package installed executables into
// (log_reader.h reads its lines and records) and recording each under the download identifier.
#pragma once

#include <windows.h>

#include "common/stub_state.h"
#include "install/log_reader.h"

// Where the folders are recorded, under HKEY_CURRENT_USER. The spelling "DownlodIDs" is the one the
// rest of the product reads.
constexpr wchar_t kDownloadIdsKeyPath[] = L"Software\\Brondelvik\\Brondelvik\\DownlodIDs";

// A LogReadFunction over a file handle (`file`), from its current position: ReadFile.
size_t ReadLogFile(void* file, uint8_t* bytes, size_t capacity);

// Writes a REG_BINARY value named `directory` (as written in the log; "" names the default value)
// holding the identifier's bytes up to its first NUL into HKCU\`keyPath`, creating the key if need
// be. Registry failures are silent.
void RecordInstallDirectory(const StubState& state, const wchar_t* directory,
                            const wchar_t* keyPath = kDownloadIdsKeyPath);

// Reads `file` from its current position line by line until a line delivers no unit at all (a line
// of only CR LF holds its CR and goes on) and records the directory of every ".exe" record. The file
// stays open.
void ScanInstallLog(const StubState& state, HANDLE file, const wchar_t* keyPath = kDownloadIdsKeyPath);
