#include "install/log_reader.h"

#include "common/text.h"

namespace {

constexpr wchar_t kRecordPrefix[] = L"InstallFiles: File: ";
constexpr size_t kRecordPrefixUnits = sizeof(kRecordPrefix) / sizeof(wchar_t) - 1;
constexpr wchar_t kAfterFileName[] = L".exe,  Directory: ";
constexpr wchar_t kAfterDirectory[] = L",  Size: ";

// Fills the reader's buffer with the next chunk. Returns false when not even one whole unit arrives
// (end of the log, a failed read); an odd byte held from before is then dropped, as a final odd byte
// of the log is. A read that brings a single byte is not the end: the next read may complete the unit.
bool Refill(LogReader& reader) {
  uint8_t* bytes = reinterpret_cast<uint8_t*>(reader.units);
  size_t total = 0;
  if (reader.hasOddByte) {
    bytes[0] = reader.oddByte;
    total = 1;
  }
  reader.hasOddByte = false;
  reader.nextUnit = reader.unitCount = 0;
  while (total < sizeof(uint16_t)) {
    const size_t got = reader.read(reader.source, bytes + total, LogReader::kChunkBytes - total);
    if (got == 0) return false;
    total += got;
  }
  reader.unitCount = total / sizeof(uint16_t);
  if (total % sizeof(uint16_t) != 0) {
    reader.hasOddByte = true;
    reader.oddByte = bytes[total - 1];
  }
  return true;
}

}  // namespace

size_t ReadLogLine(LogReader& reader, wchar_t* line) {
  size_t index = 0;
  for (;;) {
    if (reader.nextUnit == reader.unitCount && !Refill(reader)) break;
    if (index == kLogLineMaxUnits) {
      // The unit after 1000 is either the LF of a CR LF (the line ends at its CR) or one that the
      // cut drops: either way it is taken and the line ends here.
      ++reader.nextUnit;
      break;
    }
    // Units stored below index 1000 cannot reach the limit, so the hot loop only looks for CR LF.
    const uint16_t* units = reader.units;
    size_t next = reader.nextUnit;
    size_t stop = reader.unitCount;
    if (stop - next > kLogLineMaxUnits - index) stop = next + (kLogLineMaxUnits - index);
    while (next < stop) {
      const wchar_t unit = units[next++];
      if (unit == L'\n' && index > 0 && line[index - 1] == L'\r') {
        reader.nextUnit = next;
        line[index] = 0;
        return index;
      }
      line[index++] = unit;
    }
    reader.nextUnit = next;
  }
  line[index] = 0;
  return index;
}

bool ScanTo(const wchar_t* text, size_t& position, const wchar_t* delimiter, wchar_t* output,
            size_t outputCapacity) {
  size_t copied = 0;
  size_t at = position;
  for (; text[at] != 0; ++at) {
    if (StartsWith(text + at, delimiter)) {
      output[copied] = 0;
      position = at + TextLength(delimiter);
      return true;
    }
    if (copied + 1 >= outputCapacity) {
      // Too long to hold: a piece cut short could name another folder.
      at += TextLength(text + at);
      break;
    }
    output[copied++] = text[at];
  }
  if (outputCapacity > 0) output[0] = 0;
  position = at;
  return false;
}

bool MatchInstallRecord(const wchar_t* line, wchar_t* directory) {
  directory[0] = 0;
  if (!StartsWith(line, kRecordPrefix)) return false;
  wchar_t fileName[kLogFieldCapacityUnits];
  size_t position = kRecordPrefixUnits;
  return ScanTo(line, position, kAfterFileName, fileName, kLogFieldCapacityUnits) &&
         ScanTo(line, position, kAfterDirectory, directory, kLogFieldCapacityUnits);
}
