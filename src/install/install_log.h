// The Windows Installer's verbose log: finding the folders a package installed executables into and
// recording each under the download identifier.
//
// The log is read as UTF-16LE units. A line ends with CR LF only (a lone CR or LF is an ordinary
// unit); a byte-order mark is just the first unit of the first line, and an 8-bit log has no
// line of the record's form. A record looks like
//   InstallFiles: File: app.exe,  Directory: C:\Program Files\App\,  Size: 4096
// (two blanks after each comma, exact case).
#pragma once

#include <windows.h>

#include "common/stub_state.h"

// Where the folders are recorded, under HKEY_CURRENT_USER. The spelling "DownlodIDs" is the one the
// rest of the product reads.
constexpr wchar_t kDownloadIdsKeyPath[] = L"Software\\Brondelvik\\Brondelvik\\DownlodIDs";

// A log line: at most 1000 units plus the terminator.
constexpr size_t kLogLineMaxUnits = 1000;
constexpr size_t kLogLineCapacityUnits = kLogLineMaxUnits + 1;

// Capacity of the pieces cut out of a line by ScanTo, terminator included.
constexpr size_t kLogFieldCapacityUnits = 1000;

// Reads a log file through a buffer of its own, a chunk at a time, so that a log of tens of MB costs
// a few hundred ReadFile calls instead of one per unit. Reads from the file's current position; the
// file stays owned by the caller. Large (64 KiB): keep it on a stack that has room or on the heap.
struct LogReader {
  static constexpr DWORD kChunkBytes = 64 * 1024;

  explicit LogReader(HANDLE logFile) : file(logFile) {}

  HANDLE file;
  DWORD nextUnit = 0;       // index in `units` of the next unit to hand out
  DWORD unitCount = 0;      // whole units held
  bool hasOddByte = false;  // a byte read after the last whole unit, first byte of the next unit
  BYTE oddByte = 0;
  wchar_t units[kChunkBytes / sizeof(wchar_t)];
};

// Reads the next line into `line` (kLogLineCapacityUnits units) and terminates it. The line keeps
// its CR; the LF that ends it is replaced by the terminator. A line longer than 1000 units is cut:
// its first 1000 units are returned, the unit after them is dropped, and the next call goes on with
// the unit after that. So a line of exactly 1000 units loses its CR and the next call starts with
// its LF. The end of the file, a failed read, or a final odd byte (ignored) ends a line.
// Returns the line's length in units; 0 only when no unit at all could be read.
size_t ReadLogLine(LogReader& reader, wchar_t* line);

// Copies `text` from `position` into `output` up to the first place where the whole `delimiter`
// occurs (case-sensitive, before the text's terminator). Found: `output` holds the units before the
// delimiter, `position` moves just past it, returns true. Not found (or the piece does not fit in
// `outputCapacity` units with its terminator): `output` is empty, `position` is the text's length,
// returns false.
bool ScanTo(const wchar_t* text, size_t& position, const wchar_t* delimiter, wchar_t* output,
            size_t outputCapacity);

// True when `line` is the record of an executable file copied into a folder,
//   InstallFiles: File: <name>.exe,  Directory: <folder>,  Size: <anything>
// (the first ".exe,  Directory: " after the prefix ends the name, the first ",  Size: " after that
// ends the folder). Then `directory` (kLogFieldCapacityUnits units) holds <folder>; otherwise it
// is empty.
bool MatchInstallRecord(const wchar_t* line, wchar_t* directory);

// Writes a REG_BINARY value named `directory` (as written in the log; "" names the default value)
// holding the identifier's bytes up to its first NUL into HKCU\`keyPath`, creating the key if need
// be. Registry failures are silent.
void RecordInstallDirectory(const StubState& state, const wchar_t* directory,
                            const wchar_t* keyPath = kDownloadIdsKeyPath);

// Reads `file` from its current position line by line until a line delivers no unit at all (a line
// of only CR LF holds its CR and goes on) and records the directory of every ".exe" record. The file
// stays open.
void ScanInstallLog(const StubState& state, HANDLE file, const wchar_t* keyPath = kDownloadIdsKeyPath);
