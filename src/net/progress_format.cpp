#include "net/progress_format.h"

#include <string.h>

namespace {

constexpr double kBytesPerMegabyte = 1000000.0;
constexpr int kDownloadStartPosition = 20;

}  // namespace

int DownloadProgressPosition(DWORD received, DWORD contentLength, int current) {
  if (contentLength == 0) return current;
  const double r = received / kBytesPerMegabyte;
  const double t = contentLength / kBytesPerMegabyte;
  double percent = (r / t) * 100.0;
  // Far more data than announced: keep the conversion to int defined.
  if (percent > 1000000.0) percent = 1000000.0;
  return kDownloadStartPosition + static_cast<int>(percent);
}

bool AppendFixed(DownloadStatus& out, double value, int decimals) {
  // value = mantissa * 2^exponent, taken apart exactly from its bits.
  unsigned long long bits;
  memcpy(&bits, &value, sizeof(bits));
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  unsigned long long mantissa = bits & ((1ULL << 52) - 1);
  int exponent;
  if (biased == 0) {
    exponent = -1074;  // subnormal (or zero)
  } else {
    mantissa |= 1ULL << 52;
    exponent = biased - 1075;
  }
  unsigned long long scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;

  // digits = round-half-up(value * 10^decimals), computed without loss: mantissa * scale < 2^63.
  unsigned long long digits;
  if (exponent >= 0) {
    digits = (mantissa << exponent) * scale;  // whole numbers within the counts' range
  } else {
    const int shift = -exponent;
    const unsigned long long scaled = mantissa * scale;
    if (shift >= 64) {
      digits = 0;  // below 2^-11: rounds to 0 at three decimals or fewer
    } else {
      digits = scaled >> shift;
      const unsigned long long remainder = scaled - (digits << shift);
      if (remainder >= (1ULL << (shift - 1))) ++digits;
    }
  }

  // Decimal digits, least significant first, at least decimals + 1 of them (a 64-bit count has at
  // most 20).
  wchar_t reversed[20];
  int count = 0;
  do {
    reversed[count++] = static_cast<wchar_t>(L'0' + digits % 10);
    digits /= 10;
  } while (digits != 0 || count <= decimals);
  FixedString<24> text;
  for (int i = count - 1; i >= 0; --i) {
    if (!text.Append(&reversed[i], 1)) return false;
    if (i == decimals && decimals > 0 && !text.Append(L".", 1)) return false;
  }
  return out.Append(text.c_str());
}

void FormatDownloadStatus(DWORD received, DWORD contentLength, DownloadStatus& out) {
  const double r = received / kBytesPerMegabyte;
  const double t = contentLength / kBytesPerMegabyte;
  // Counts below 2^32 bytes need at most 29 units of the 64: the appends cannot fail.
  out.Assign(L"Downloading (");
  AppendFixed(out, r, received == contentLength ? 1 : 0);
  out.Append(L" of ");
  AppendFixed(out, t, 1);
  out.Append(L" Mb)...");
}
