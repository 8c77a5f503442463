#include "ui/message_box.h"

void ShowMessage(const wchar_t* text, UINT style) { MessageBoxW(nullptr, text, nullptr, style); }
