// Loading from the system directory, and the stack canary set before the run starts.
#include <gtest/gtest.h>
#include <stdint.h>
#include <windows.h>

#include "common/system_library.h"
#include "net/winhttp_api.h"

extern "C" uintptr_t __stack_chk_guard;

namespace {

// The folder of a loaded module, lower-cased, with its final backslash.
std::wstring ModuleFolder(HMODULE module) {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  std::wstring folder(path, length);
  folder.resize(folder.rfind(L'\\') + 1);
  CharLowerW(&folder[0]);
  return folder;
}

std::wstring SystemFolder() {
  wchar_t path[MAX_PATH] = {};
  GetSystemDirectoryW(path, MAX_PATH);
  std::wstring folder = std::wstring(path) + L"\\";
  CharLowerW(&folder[0]);
  return folder;
}

TEST(SystemLibraryTest, WinHttpIsBoundFromTheSystemDirectory) {
  ASSERT_TRUE(LoadWinHttp());
  ASSERT_NE(WinHttp().module, nullptr);
  EXPECT_EQ(ModuleFolder(WinHttp().module), SystemFolder());
  EXPECT_NE(WinHttp().Open, nullptr);
  EXPECT_NE(WinHttp().SetStatusCallback, nullptr);
  EXPECT_EQ(LoadSystemLibrary(L"no-such-library-velko.dll"), nullptr);
}

TEST(SystemLibraryTest, StackCanaryIsNotTheBuiltInValue) {
  EXPECT_NE(__stack_chk_guard, static_cast<uintptr_t>(0xBB40E64EUL));
  EXPECT_NE(__stack_chk_guard, static_cast<uintptr_t>(0));
  // The compiler's checks read the canary as a pointer-sized value; in the 64-bit stub its upper
  // half is mixed too (a 4-byte variable would leave the neighbouring bytes there, as a rule zero).
  if (sizeof(uintptr_t) == 8) EXPECT_NE(static_cast<uint64_t>(__stack_chk_guard) >> 32, 0u);
}

}  // namespace
