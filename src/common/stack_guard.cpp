// The canary of -fstack-protector-strong, in place of the compiler's own support library.
//
// That library fills the canary from CryptGenRandom in a constructor that runs before WinMain: the
// cryptographic provider and its DLLs would then be loaded before the stub can restrict where DLLs
// are loaded from. The canary here is mixed, as other compilers' start-up code does it, from values
// that differ between runs and processes and cost no DLL: the clock, the performance counter, the
// process and thread ids and the addresses that ASLR places.
#include <windows.h>

extern "C" {

// Read by every protected function's prologue and epilogue. Set once, before any of them runs.
unsigned long __stack_chk_guard = 0xBB40E64E;

// A smashed stack: end the process at once, running nothing more of its code.
void __stack_chk_fail() { TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN); }
}

namespace {

unsigned long Rotate(unsigned long value, int bits) {
  return (value << bits) | (value >> (32 - bits));
}

// Runs among the static constructors, from the start-up code (which is not protected), so no
// protected frame is active while the value changes; this function itself must not be one.
__attribute__((constructor, no_stack_protector)) void InitStackGuard() {
  LARGE_INTEGER counter = {};
  QueryPerformanceCounter(&counter);
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  unsigned long mixed = __stack_chk_guard;
  const unsigned long parts[] = {
      counter.LowPart,
      static_cast<unsigned long>(counter.HighPart),
      now.dwLowDateTime,
      now.dwHighDateTime,
      GetCurrentProcessId(),
      GetCurrentThreadId(),
      GetTickCount(),
      static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(&counter)),          // the stack
      static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(&__stack_chk_guard)),  // the image
  };
  for (unsigned long part : parts) mixed = Rotate(mixed, 7) ^ part ^ (mixed * 0x9E3779B1UL);
  __stack_chk_guard = mixed ? mixed : 0xBB40E64E;
}

}  // namespace
