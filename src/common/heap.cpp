#include "common/heap.h"

#include <windows.h>

void* AllocateBlock(size_t bytes) { return HeapAlloc(GetProcessHeap(), 0, bytes); }

void* ResizeBlock(void* block, size_t bytes) { return HeapReAlloc(GetProcessHeap(), 0, block, bytes); }

void FreeBlock(void* block) { HeapFree(GetProcessHeap(), 0, block); }
