#include "common/system_text.h"

#include "common/texts.h"

void ComposeSystemErrorText(WideString& message, DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text), 0,
                     nullptr);
  size_t end = text ? length : 0;
  while (end > 0 && (text[end - 1] == L'\r' || text[end - 1] == L'\n')) --end;
  message.Clear();
  if (end > 0 && !message.Append(text, end)) ComposeText(message, TextId::kOutOfMemory);
  if (text) LocalFree(text);
}
