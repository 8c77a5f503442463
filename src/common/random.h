// Random bytes from the system's generator.
#pragma once

#include <stddef.h>

// Fills `count` bytes at `bytes` from the system's cryptographic generator (BCryptGenRandom, from
// bcrypt.dll in the system directory). Returns false when the generator is not available.
bool FillRandom(void* bytes, size_t count);
