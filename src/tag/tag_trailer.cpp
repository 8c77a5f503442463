#include "tag/tag_trailer.h"

namespace {

uint32_t FromBigEndian(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
}

}  // namespace

bool ParseTagTrailer(const uint8_t* last, uint64_t fileBytes, TagTrailer& trailer) {
  if (FromBigEndian(last) != kInstallerTagMagic) return false;
  trailer.idOffset = FromBigEndian(last + 4);
  trailer.idLength = FromBigEndian(last + 8);
  // 64-bit sums: an offset and a length near 4 GiB must not wrap round into the file.
  trailer.idReadable = trailer.idLength == 0 ||
                       (trailer.idLength <= kDownloadIdMaxBytes && trailer.idOffset <= 0x7FFFFFFF &&
                        uint64_t{trailer.idOffset} + trailer.idLength <= fileBytes);
  return true;
}
