// The memory behind HeapString. The stub's definitions (heap.cpp) use the process heap; the native
// build of the parsers for the fuzzers (fuzz/) brings its own over malloc, so the string types carry
// no platform header.
#pragma once

#include <stddef.h>

// A block of `bytes` bytes, or null when memory runs out.
void* AllocateBlock(size_t bytes);

// `block` grown or shrunk to `bytes` bytes, its content kept up to the smaller size; null when memory
// runs out, and `block` is then left as it was.
void* ResizeBlock(void* block, size_t bytes);

// Releases a block from AllocateBlock or ResizeBlock.
void FreeBlock(void* block);
