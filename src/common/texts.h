// Every text the user sees, by id, in the user's language.
//
// The texts live in the resources, one table per language (res/texts/<language>.txt, turned into
// resources by tools/make_texts.py, which reads the ids below): an RT_RCDATA resource of id
// kTextsResourceId per language, tagged with the language's LANGID, holding the table's texts in
// the order of TextId as UTF-8, each ended by a NUL byte, compressed with LZNT1 (ntdll's
// RtlDecompressBuffer unpacks it; nothing of ours decodes). A text may hold placeholders %1 to %9,
// filled in at run time (ComposeText, AppendFormatted); every language has the same ones as English.
#pragma once

#include <windows.h>

#include <initializer_list>

#include "common/strings.h"

// The ids, in table order. tools/make_texts.py reads the names (without their k) from this list:
// each language's file names every one of them, in any order.
enum class TextId : unsigned {
  kWindowCaption,
  kLocatingStatus,
  kRequestingStatus,
  kDownloadingStatus,  // %1 of %2 megabytes
  kRetryingStatus,
  kWaitingStatus,
  kInstallingStatus,
  kCancelQuestion,
  kTagMissing,
  kExtractFailed,
  kWriteFailed,
  kNoTempFolder,
  kNoPackageUrl,
  kDamagedInformation,
  kRestartNeeded,
  kAnotherInstallation,
  kInstallerNotStarted,  // %1 the system's error code
  kOutOfMemory,
  kOpenFailed,
  kOpenRequestFailed,
  kIncorrectUrl,  // %1 the URL
  kConnectFailed,
  kSendFailed,
  kReceiveFailed,
  kNoData,
  kReadFailed,
  kDownloadFailed,  // %1 the reason, one of the k*Reason texts or the system's text for an error
  kProxyPasswordReason,
  kNotPublishedReason,
  kTooLargeReason,
  kWriteFailedReason,
  kRangeRefusedReason,
  kHttpStatusReason,  // %1 the status code
  kNoLengthReason,
  kIncompleteReason,  // %1 bytes received of %2
  kErrorCodeReason,   // %1 the error code
  kChangedReason,
  kNotPackageReason,
  kCount
};
constexpr unsigned kTextCount = static_cast<unsigned>(TextId::kCount);

constexpr WORD kTextsResourceId = 1;
constexpr LANGID kEnglishLanguage = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// The language whose table serves a user whose display language is `user`, of the `count`
// languages in `available`: `user` itself; else the first of the same language in another region
// (German for de-AT from de-DE, Portuguese for pt-PT from pt-BR), where Chinese counts as two
// languages by script (Simplified zh-CN, zh-SG; Traditional zh-TW, zh-HK, zh-MO); else English.
LANGID ChooseTextLanguage(LANGID user, const LANGID* available, size_t count);

// Loads the table for the user's display language (GetUserDefaultUILanguage, chosen as above),
// English where that table cannot be loaded, and the user's decimal separator. Call once, before
// any other thread asks for a text. Text() calls it if nobody has.
void LoadUserTexts();

// Loads the table tagged exactly `language`. Returns false, leaving no table loaded, when there is
// none or it cannot be read. Not while other threads read texts.
bool LoadTexts(LANGID language);

// The loaded language's LANGID (0 when none is loaded).
LANGID LoadedTextLanguage();

// The languages that have a table, in resource order, at most `capacity` of them; returns how many.
size_t AvailableTextLanguages(LANGID* out, size_t capacity);

// The text `id` of the loaded table; never null ("" for an id past the table, or when no table
// could be loaded). Safe on any thread once loaded.
const wchar_t* Text(TextId id);

// The user's decimal separator (LOCALE_SDECIMAL, at most 3 units; "." when it cannot be read),
// read by LoadUserTexts.
const wchar_t* DecimalSeparator();

// Appends `pattern` to `out` (any string type with Append(units, count)), each %1 to %9 replaced by
// that argument (an argument that is missing or null puts nothing); any other % stays as it is.
// Returns false as soon as an Append does.
template <typename String>
bool AppendFormatted(String& out, const wchar_t* pattern, std::initializer_list<const wchar_t*> args) {
  const wchar_t* run = pattern;
  for (const wchar_t* p = pattern; *p != 0; ++p) {
    if (p[0] != L'%' || p[1] < L'1' || p[1] > L'9') continue;
    if (!out.Append(run, static_cast<size_t>(p - run))) return false;
    const size_t index = static_cast<size_t>(p[1] - L'1');
    const wchar_t* arg = index < args.size() ? args.begin()[index] : nullptr;
    if (arg && !out.Append(arg, TextLength(arg))) return false;
    ++p;
    run = p + 1;
  }
  return out.Append(run, TextLength(run));
}

// Sets `message` to text `id` with its placeholders filled by `args`. When memory runs out on the
// way, the message becomes the "Out of memory" text instead (or stays empty if even that does not
// fit), so that a failure is not reported with half a text.
void ComposeText(WideString& message, TextId id, std::initializer_list<const wchar_t*> args = {});
