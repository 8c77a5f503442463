// Reading the Windows Installer's verbose log: its lines, and the records of the executables it
// installed. The bytes come from a read function, so the same code runs on the stub's log file
// (install_log.h) and natively in the fuzzers; no platform header.
//
// The log is read as UTF-16LE units. A line ends with CR LF only (a lone CR or LF is an ordinary
// unit); a byte-order mark is just the first unit of the first line, and an 8-bit log has no
// line of the record's form. A record looks like
//   InstallFiles: File: app.exe,  Directory: C:\Program Files\App\,  Size: 4096
// (two blanks after each comma, exact case).
#pragma once

#include <stddef.h>
#include <stdint.h>

// A log line: at most 1000 units plus the terminator.
constexpr size_t kLogLineMaxUnits = 1000;
constexpr size_t kLogLineCapacityUnits = kLogLineMaxUnits + 1;

// Capacity of the pieces cut out of a line by ScanTo, terminator included.
constexpr size_t kLogFieldCapacityUnits = 1000;

// Reads up to `capacity` (at least 1) bytes of the log into `bytes` and returns how many it read,
// at most `capacity`. 0 means the end of the log or a failed read; fewer bytes than asked are not
// the end.
using LogReadFunction = size_t (*)(void* source, uint8_t* bytes, size_t capacity);

// Reads a log through a buffer of its own, a chunk at a time, so that a log of tens of MB costs a
// few hundred reads instead of one per unit. Large (64 KiB): keep it on a stack that has room or on
// the heap.
struct LogReader {
  static constexpr size_t kChunkBytes = 64 * 1024;

  LogReader(LogReadFunction readFunction, void* readSource) : read(readFunction), source(readSource) {}

  LogReadFunction read;
  void* source;
  size_t nextUnit = 0;      // index in `units` of the next unit to hand out
  size_t unitCount = 0;     // whole units held
  bool hasOddByte = false;  // a byte read after the last whole unit, first byte of the next unit
  uint8_t oddByte = 0;
  uint16_t units[kChunkBytes / sizeof(uint16_t)];  // as read: UTF-16LE on a little-endian machine
};

// Reads the next line into `line` (kLogLineCapacityUnits units) and terminates it. The line keeps
// its CR; the LF that ends it is replaced by the terminator. A line longer than 1000 units is cut:
// its first 1000 units are returned, the unit after them is dropped, and the next call goes on with
// the unit after that. So a line of exactly 1000 units loses its CR and the next call starts with
// its LF. The end of the log (or a failed read), or a final odd byte (ignored) ends a line.
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
