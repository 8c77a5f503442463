// The canary of -fstack-protector-strong, in place of the compiler's own support library.
//
// That library fills the canary from CryptGenRandom in a constructor that runs before WinMain: the
// cryptographic provider and its DLLs would then be loaded before the stub can restrict where DLLs
// are loaded from. The canary here is mixed, as other compilers' start-up code does it, from values
// that differ between runs and processes and cost no DLL: the clock, the performance counter, the
// process and thread ids and the addresses that ASLR places.
#include <windows.h>

#include <stdint.h>

extern "C" {

// Read by every protected function's prologue and epilogue, as a pointer-sized value: 4 bytes in the
// 32-bit stub, 8 in the 64-bit one (a narrower variable would have its neighbour read as half the
// canary). Set once, before any of them runs.
uintptr_t __stack_chk_guard = 0xBB40E64E;

// A smashed stack: end the process at once, running nothing more of its code.
void __stack_chk_fail() { TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN); }
}

namespace {

constexpr int kGuardBits = sizeof(uintptr_t) * 8;

uintptr_t Rotate(uintptr_t value, int bits) { return (value << bits) | (value >> (kGuardBits - bits)); }

// Runs among the static constructors, from the start-up code (which is not protected), so no
// protected frame is active while the value changes; this function itself must not be one.
__attribute__((constructor, no_stack_protector)) void InitStackGuard() {
  LARGE_INTEGER counter = {};
  QueryPerformanceCounter(&counter);
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  uintptr_t mixed = __stack_chk_guard;
  const uintptr_t parts[] = {
      static_cast<uintptr_t>(counter.QuadPart),
      (static_cast<uintptr_t>(now.dwHighDateTime) << (kGuardBits - 32)) ^ now.dwLowDateTime,
      GetCurrentProcessId(),
      GetCurrentThreadId(),
      GetTickCount(),
      reinterpret_cast<uintptr_t>(&counter),            // the stack
      reinterpret_cast<uintptr_t>(&__stack_chk_guard),  // the image
  };
  const uintptr_t multiplier = sizeof(uintptr_t) == 8 ? static_cast<uintptr_t>(0x9E3779B97F4A7C15ULL) : 0x9E3779B1U;
  for (uintptr_t part : parts) mixed = Rotate(mixed, 7) ^ part ^ (mixed * multiplier);
  __stack_chk_guard = mixed ? mixed : 0xBB40E64E;
}

}  // namespace
