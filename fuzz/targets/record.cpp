// The record matcher (MatchInstallRecord, and ScanTo under it). Input: one byte (high bit: the line
// is given as runs of units, see Utf16Text), then the line as UTF-16LE units, any length (a zero
// unit ends it early, as in the stub), held in a buffer of exactly its size.
//
// Oracle: a plain search with std::wstring: the line begins with "InstallFiles: File: "; the first
// ".exe,  Directory: " after that ends a name of at most 999 units, the first ",  Size: " after it
// ends a folder of at most 999 units (the pieces' buffers hold 1000 units with the terminator).
// Then the folder is exactly `directory`; otherwise `directory` is empty.
#include <string.h>

#include <memory>

#include "../harness.h"
#include "install/log_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::wstring units = Utf16Units(Utf16Text(data + 1, size - 1, (data[0] & 0x80) != 0));
  const std::unique_ptr<wchar_t[]> line(new wchar_t[units.size() + 1]);
  memcpy(line.get(), units.c_str(), (units.size() + 1) * sizeof(wchar_t));
  const std::unique_ptr<wchar_t[]> directory(new wchar_t[kLogFieldCapacityUnits]);
  for (size_t i = 0; i < kLogFieldCapacityUnits; ++i) directory[i] = L'#';

  const bool matched = MatchInstallRecord(line.get(), directory.get());

  const std::wstring text = units.c_str();
  const std::wstring prefix = L"InstallFiles: File: ";
  const std::wstring afterName = L".exe,  Directory: ";
  const std::wstring afterFolder = L",  Size: ";
  constexpr size_t kPieceMaxUnits = kLogFieldCapacityUnits - 1;
  bool expectMatch = false;
  std::wstring folder;
  if (text.compare(0, prefix.size(), prefix) == 0) {
    const size_t nameEnd = text.find(afterName, prefix.size());
    if (nameEnd != std::wstring::npos && nameEnd - prefix.size() <= kPieceMaxUnits) {
      const size_t folderStart = nameEnd + afterName.size();
      const size_t folderEnd = text.find(afterFolder, folderStart);
      if (folderEnd != std::wstring::npos && folderEnd - folderStart <= kPieceMaxUnits) {
        expectMatch = true;
        folder = text.substr(folderStart, folderEnd - folderStart);
      }
    }
  }
  FUZZ_CHECK(matched == expectMatch);
  FUZZ_CHECK(std::wstring(directory.get()) == folder);
  return 0;
}
