#include "common/texts.h"

namespace {

// The largest table, unpacked: a language's texts as UTF-8 (the largest today is about 3 KB) and
// as UTF-16. Static, so that loading needs no memory that could run out.
constexpr size_t kTableBytes = 8192;
constexpr size_t kTableUnits = 8192;
constexpr size_t kMostLanguages = 64;

constexpr USHORT kCompressionFormatLznt1 = 2;  // COMPRESSION_FORMAT_LZNT1
// NTSTATUS RtlDecompressBuffer(USHORT format, PUCHAR out, ULONG outSize, PUCHAR in, ULONG inSize,
// PULONG finalSize): in ntdll since Windows XP (and in Wine), looked up so that nothing is imported.
using DecompressFunction = LONG(WINAPI*)(USHORT, UCHAR*, ULONG, const UCHAR*, ULONG, ULONG*);

UCHAR g_utf8[kTableBytes];
wchar_t g_units[kTableUnits];
const wchar_t* g_texts[kTextCount];
LANGID g_language = 0;
bool g_userTextsChosen = false;
wchar_t g_decimalSeparator[4];  // empty until read: "."

bool IsSimplifiedChinese(LANGID language) {
  const WORD sub = SUBLANGID(language);
  return sub == SUBLANG_CHINESE_SIMPLIFIED || sub == SUBLANG_CHINESE_SINGAPORE || sub == SUBLANG_NEUTRAL;
}

// Whether a table of `table` serves a user of `user` when there is none of `user` itself.
bool SameLanguage(LANGID user, LANGID table) {
  if (PRIMARYLANGID(user) != PRIMARYLANGID(table)) return false;
  return PRIMARYLANGID(user) != LANG_CHINESE || IsSimplifiedChinese(user) == IsSimplifiedChinese(table);
}

struct LanguageList {
  LANGID* languages;
  size_t capacity;
  size_t count;
};

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
  auto* list = reinterpret_cast<LanguageList*>(param);
  if (list->count < list->capacity) list->languages[list->count++] = language;
  return TRUE;
}

}  // namespace

LANGID ChooseTextLanguage(LANGID user, const LANGID* available, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (available[i] == user) return user;
  }
  for (size_t i = 0; i < count; ++i) {
    if (SameLanguage(user, available[i])) return available[i];
  }
  return kEnglishLanguage;
}

size_t AvailableTextLanguages(LANGID* out, size_t capacity) {
  LanguageList list = {out, capacity, 0};
  EnumResourceLanguagesW(GetModuleHandleW(nullptr), RT_RCDATA, MAKEINTRESOURCEW(kTextsResourceId), CollectLanguage,
                         reinterpret_cast<LONG_PTR>(&list));
  return list.count;
}

bool LoadTexts(LANGID language) {
  g_language = 0;
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC found = FindResourceExW(module, RT_RCDATA, MAKEINTRESOURCEW(kTextsResourceId), language);
  HGLOBAL resource = found ? LoadResource(module, found) : nullptr;
  const auto* packed = static_cast<const UCHAR*>(resource ? LockResource(resource) : nullptr);
  const auto decompress = reinterpret_cast<DecompressFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlDecompressBuffer")));
  ULONG bytes = 0;
  if (!packed || !decompress ||
      decompress(kCompressionFormatLznt1, g_utf8, sizeof(g_utf8), packed, SizeofResource(module, found), &bytes) != 0 ||
      bytes == 0 || bytes >= sizeof(g_utf8) || g_utf8[bytes - 1] != 0) {
    return false;
  }
  // The NUL bytes that end the texts become the UTF-16 texts' terminators.
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(g_utf8),
                                        static_cast<int>(bytes), g_units, static_cast<int>(kTableUnits));
  unsigned count = 0;
  for (int i = 0, start = 0; i < units; ++i) {
    if (g_units[i] != 0) continue;
    if (count < kTextCount) g_texts[count] = g_units + start;
    ++count;
    start = i + 1;
  }
  if (count != kTextCount) return false;
  g_language = language;
  return true;
}

void LoadUserTexts() {
  g_userTextsChosen = true;
  LANGID available[kMostLanguages];
  const size_t count = AvailableTextLanguages(available, kMostLanguages);
  if (!LoadTexts(ChooseTextLanguage(GetUserDefaultUILanguage(), available, count))) LoadTexts(kEnglishLanguage);
  // The user's number format, which may differ from the display language's (LOCALE_SDECIMAL holds
  // at most four units with its terminator).
  wchar_t separator[4];
  if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, separator, 4) > 1) {
    CopyCut(g_decimalSeparator, 4, separator);
  }
}

LANGID LoadedTextLanguage() { return g_language; }

const wchar_t* Text(TextId id) {
  if (!g_userTextsChosen) LoadUserTexts();
  const auto index = static_cast<unsigned>(id);
  return g_language != 0 && index < kTextCount ? g_texts[index] : L"";
}

const wchar_t* DecimalSeparator() { return g_decimalSeparator[0] != 0 ? g_decimalSeparator : L"."; }

void ComposeText(WideString& message, TextId id, std::initializer_list<const wchar_t*> args) {
  message.Clear();
  if (!AppendFormatted(message, Text(id), args)) {
    message.Clear();
    message.Append(Text(TextId::kOutOfMemory));
  }
}
