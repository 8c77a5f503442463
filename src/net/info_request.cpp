#include "net/info_request.h"

#include <utility>

#include "net/http_request.h"

namespace {

constexpr wchar_t kOutOfMemory[] = L"Out of memory";

}  // namespace

bool FetchToMemory(const wchar_t* url, ByteString& response, WideString& failure) {
  response.Clear();
  failure.Clear();
  HttpTransfer transfer;
  if (!OpenHttpRequest(transfer, url, false, nullptr)) {
    CloseTransferHandles(transfer);
    failure = std::move(transfer.errorText);
    return failure.empty();
  }
  if (!WinHttp().SendRequest(transfer.request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                          0)) {
    SetTransferError(transfer, L"The download server denied the request (technical reason: HTTP send failed)");
  } else if (!WinHttp().ReceiveResponse(transfer.request, nullptr)) {
    SetTransferError(transfer, L"The download failed to respond (technical reason: HTTP receive failed)");
  } else {
    for (;;) {
      DWORD available = 0;
      if (!WinHttp().QueryDataAvailable(transfer.request, &available)) {
        SetTransferError(transfer,
                         L"The download server failed to send the response data (technical reason: HTTP got no data)");
        break;
      }
      const size_t previous = response.length();
      if (!response.Resize(previous + available)) {
        SetTransferError(transfer, kOutOfMemory);
        break;
      }
      DWORD read = 0;
      if (!WinHttp().ReadData(transfer.request, response.data() + previous, available, &read)) {
        SetTransferError(transfer, L"The download data could not be read");
        break;
      }
      if (read < available) response.Resize(previous + read);
      if (read == 0) break;
    }
  }
  CloseTransferHandles(transfer);
  failure = std::move(transfer.errorText);
  return failure.empty();
}

bool ExtractElement(const ByteString& response, const char* name, WideString& out) {
  // "<" name ">" and "</" name ">"; element names are short.
  char open[64];
  char close[64];
  const size_t nameLength = TextLength(name);
  if (nameLength + 3 >= sizeof(close)) return false;
  open[0] = '<';
  close[0] = '<';
  close[1] = '/';
  for (size_t i = 0; i < nameLength; ++i) open[1 + i] = close[2 + i] = name[i];
  open[1 + nameLength] = '>';
  close[2 + nameLength] = '>';
  const size_t openLength = nameLength + 2;
  const size_t closeLength = nameLength + 3;

  // The search stops at the first zero byte (the string is always terminated at its end).
  const char* text = response.c_str();
  const size_t length = TextLength(text);
  const size_t start = FindBytes(text, length, 0, open, openLength);
  if (start == length) return false;
  const size_t contentStart = start + openLength;
  const size_t end = FindBytes(text, length, contentStart, close, closeLength);
  if (end == length) return false;
  return WidenAppend(out, text + contentStart, end - contentStart);
}
