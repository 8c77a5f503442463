// The installer tag's trailer. Input: 8 bytes, little-endian, the length of the file's body that
// the input leaves out (taken below 2^33, so sizes past 2 GiB and 4 GiB are reached), then the file's
// last bytes, at least the 12 of the trailer. The tag stage reads the trailer and, when
// ParseTagTrailer calls the identifier readable, the identifier; here that read is made from the
// input, exactly sized, wherever the identifier lies in the bytes given.
//
// Oracle: the trailer's rules. The magic decides; the fields are the big-endian words; an identifier
// is readable exactly when it is empty, or at most 99 bytes inside the file at an offset below
// 2 GiB, and reading it never touches a byte outside the file nor more than the 99 + NUL the run
// keeps.
#include <string.h>

#include "../harness.h"
#include "tag/tag_trailer.h"

namespace {

uint32_t BigEndianWord(const uint8_t* bytes) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = value << 8 | bytes[i];
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  uint64_t bodyBytes = 0;
  for (int i = 7; i >= 0; --i) bodyBytes = bodyBytes << 8 | data[i];
  bodyBytes &= (uint64_t{1} << 33) - 1;
  const uint8_t* tail = data + 8;
  const size_t tailBytes = size - 8;
  // A file shorter than the trailer never reaches the check: the stage's seek fails.
  if (tailBytes < kInstallerTagBytes) return 0;
  const uint64_t fileBytes = bodyBytes + tailBytes;
  const uint8_t* last = tail + tailBytes - kInstallerTagBytes;

  TagTrailer trailer;
  memset(&trailer, 0xA5, sizeof(trailer));
  const bool found = ParseTagTrailer(last, fileBytes, trailer);
  FUZZ_CHECK(found == (BigEndianWord(last) == 0xE41C3139));
  if (!found) return 0;
  FUZZ_CHECK(trailer.idOffset == BigEndianWord(last + 4));
  FUZZ_CHECK(trailer.idLength == BigEndianWord(last + 8));

  const uint64_t offset = trailer.idOffset;
  const uint64_t length = trailer.idLength;
  const bool insideFile = offset <= fileBytes && length <= fileBytes - offset;
  FUZZ_CHECK(trailer.idReadable == (length == 0 || (length <= 99 && offset < 0x80000000u && insideFile)));
  if (!trailer.idReadable) return 0;

  // The stage's read, into a buffer of the run's size: 99 bytes and a NUL.
  char downloadId[100];
  memset(downloadId, 'x', sizeof(downloadId));
  if (length > 0 && offset >= bodyBytes) memcpy(downloadId, tail + (offset - bodyBytes), length);
  downloadId[length] = 0;
  return 0;
}
