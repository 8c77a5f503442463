#include "common/random.h"

#include <windows.h>

#include "common/system_library.h"

namespace {

using GenRandomFunction = LONG(WINAPI*)(void* algorithm, unsigned char* buffer, ULONG count, ULONG flags);
constexpr ULONG kUseSystemPreferredRng = 0x00000002;  // BCRYPT_USE_SYSTEM_PREFERRED_RNG

}  // namespace

bool FillRandom(void* bytes, size_t count) {
  // bcrypt.dll is not a known DLL: taken from the system directory, not imported.
  HMODULE bcrypt = LoadSystemLibrary(L"bcrypt.dll");
  if (!bcrypt) return false;
  auto generate = reinterpret_cast<GenRandomFunction>(
      reinterpret_cast<void*>(GetProcAddress(bcrypt, "BCryptGenRandom")));
  return generate && generate(nullptr, static_cast<unsigned char*>(bytes), static_cast<ULONG>(count),
                              kUseSystemPreferredRng) >= 0;
}
