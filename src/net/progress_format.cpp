#include "net/progress_format.h"

#include "common/texts.h"

namespace {

constexpr uint64_t kBytesPerMegabyte = 1000000;
constexpr int kDownloadStartPosition = 20;
// Far more data than announced: the position stays a small int.
constexpr uint64_t kLargestPercent = 1000000;

// floor(received * 100 / total) for total > 0, at most kLargestPercent, exact for any 64-bit counts.
uint64_t TruncatedPercent(uint64_t received, uint64_t total) {
  const uint64_t whole = received / total;
  if (whole >= kLargestPercent / 100) return kLargestPercent;
  // The hundredths of the remainder, floor(remainder * 100 / total), without forming remainder * 100
  // (which overflows for totals above 2^64 / 100): the remainder is added a hundred times modulo
  // total, with 100 * remainder = hundredths * total + accumulated throughout.
  const uint64_t remainder = received % total;
  const uint64_t room = total - remainder;  // adding the remainder reaches total from `room` on
  uint64_t hundredths = 0;
  uint64_t accumulated = 0;
  for (int i = 0; i < 100; ++i) {
    if (accumulated >= room) {
      accumulated -= room;
      ++hundredths;
    } else {
      accumulated += remainder;
    }
  }
  return whole * 100 + hundredths;
}

}  // namespace

int DownloadProgressPosition(uint64_t received, uint64_t contentLength, int current) {
  if (contentLength == 0) return current;
  return kDownloadStartPosition + static_cast<int>(TruncatedPercent(received, contentLength));
}

bool AppendMegabytes(DownloadStatus& out, uint64_t bytes, int decimals, const wchar_t* separator) {
  if (decimals < 0 || decimals > 3) return false;
  uint64_t step = kBytesPerMegabyte;  // bytes per last shown digit: at least 1,000
  for (int i = 0; i < decimals; ++i) step /= 10;
  // Rounded half up. The quotient is below 2^64 / 1,000, so the increment cannot wrap.
  uint64_t digits = bytes / step;
  if (bytes % step >= step / 2) ++digits;

  // Decimal digits, least significant first, at least decimals + 1 of them (at most 20).
  wchar_t reversed[20];
  int count = 0;
  do {
    reversed[count++] = static_cast<wchar_t>(L'0' + digits % 10);
    digits /= 10;
  } while (digits != 0 || count <= decimals);
  FixedString<28> text;
  for (int i = count - 1; i >= 0; --i) {
    if (!text.Append(&reversed[i], 1)) return false;
    if (i == decimals && decimals > 0 && !text.Append(separator)) return false;
  }
  return out.Append(text.c_str());
}

void FormatDownloadStatus(uint64_t received, uint64_t contentLength, const wchar_t* separator, DownloadStatus& out) {
  DownloadStatus receivedText;
  DownloadStatus totalText;
  out.Clear();
  if (AppendMegabytes(receivedText, received, received == contentLength ? 1 : 0, separator) &&
      AppendMegabytes(totalText, contentLength, 1, separator)) {
    AppendFormatted(out, Text(TextId::kDownloadingStatus), {receivedText.c_str(), totalText.c_str()});
  }
}
