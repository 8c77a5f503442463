// The log line reader. Input: one byte, the count N of read sizes that follow (its low 7 bits) and
// whether the log is given as runs of units (its high bit: see Utf16Text); N bytes of read sizes;
// then the log. LogReader reads the log through a source that hands out at most the next read
// size's bytes per read (0 there: as many as asked), so the reads come short anywhere, down to one
// byte; the sizes are used round and round.
//
// Oracle: the unit-by-unit reference reader (tests/support/install_log_reference.h) over the same
// log read whole: the same lines, unit for unit with their terminators, so the same cut points and
// the same lost units, and both end together. Lines sit in buffers of exactly 1001 units.
#include <string.h>

#include <memory>
#include <string>

#include "../harness.h"
#include "install_log_reference.h"

namespace {

struct Source {
  const uint8_t* bytes;
  size_t size;
  size_t at;
  const uint8_t* readSizes;  // null: every read as long as asked
  size_t readSizeCount;
  size_t nextReadSize;
};

size_t Read(void* opaque, uint8_t* bytes, size_t capacity) {
  auto* source = static_cast<Source*>(opaque);
  FUZZ_CHECK(capacity >= 1);
  size_t count = source->size - source->at;
  if (count > capacity) count = capacity;
  if (source->readSizeCount > 0) {
    const size_t limit = source->readSizes[source->nextReadSize++ % source->readSizeCount];
    if (limit != 0 && count > limit) count = limit;
  }
  memcpy(bytes, source->bytes + source->at, count);
  source->at += count;
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t readSizeCount = (data[0] & 0x7F) < size - 1 ? (data[0] & 0x7F) : size - 1;
  const size_t headerBytes = 1 + readSizeCount;
  const std::string text = Utf16Text(data + headerBytes, size - headerBytes, (data[0] & 0x80) != 0);
  // Exactly sized, so that a read past the log's end is a heap overflow.
  const std::unique_ptr<uint8_t[]> log(new uint8_t[text.size()]);
  memcpy(log.get(), text.data(), text.size());
  const size_t logBytes = text.size();

  Source shortReads = {log.get(), logBytes, 0, data + 1, readSizeCount, 0};
  Source wholeReads = {log.get(), logBytes, 0, nullptr, 0, 0};
  const auto reader = std::make_unique<LogReader>(Read, &shortReads);
  const std::unique_ptr<wchar_t[]> actual(new wchar_t[kLogLineCapacityUnits]);
  const std::unique_ptr<wchar_t[]> expected(new wchar_t[kLogLineCapacityUnits]);
  // Every line but the last takes at least one unit of the log.
  for (size_t lines = 0;; ++lines) {
    FUZZ_CHECK(lines <= logBytes / 2 + 1);
    const size_t expectedLength = ReadLogLineUnitByUnit(Read, &wholeReads, expected.get());
    const size_t actualLength = ReadLogLine(*reader, actual.get());
    FUZZ_CHECK(actualLength == expectedLength);
    FUZZ_CHECK(actualLength <= kLogLineMaxUnits);
    FUZZ_CHECK(memcmp(actual.get(), expected.get(), (actualLength + 1) * sizeof(wchar_t)) == 0);
    if (expectedLength == 0) break;
  }
  return 0;
}
