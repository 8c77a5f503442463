#include "net/progress_format.h"

#include <string.h>

namespace {

constexpr double kBytesPerMegabyte = 1000000.0;
constexpr int kDownloadStartPosition = 20;

wchar_t* AppendText(wchar_t* out, const wchar_t* text) {
  while (*text) *out++ = *text++;
  *out = 0;
  return out;
}

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

size_t FormatFixed(double value, int decimals, wchar_t* out) {
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

  // Decimal digits, least significant first, at least decimals + 1 of them.
  wchar_t reversed[32];
  int count = 0;
  do {
    reversed[count++] = static_cast<wchar_t>(L'0' + digits % 10);
    digits /= 10;
  } while (digits != 0 || count <= decimals);
  size_t n = 0;
  for (int i = count - 1; i >= 0; --i) {
    out[n++] = reversed[i];
    if (i == decimals && decimals > 0) out[n++] = L'.';
  }
  out[n] = 0;
  return n;
}

void FormatDownloadStatus(DWORD received, DWORD contentLength, wchar_t* out) {
  const double r = received / kBytesPerMegabyte;
  const double t = contentLength / kBytesPerMegabyte;
  out = AppendText(out, L"Downloading (");
  out += FormatFixed(r, received == contentLength ? 1 : 0, out);
  out = AppendText(out, L" of ");
  out += FormatFixed(t, 1, out);
  AppendText(out, L" Mb)...");
}
