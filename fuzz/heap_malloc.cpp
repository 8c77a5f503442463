// HeapString's memory for the native build: the C heap, so that AddressSanitizer watches every block.
#include "common/heap.h"

#include <stdlib.h>

void* AllocateBlock(size_t bytes) { return malloc(bytes); }

void* ResizeBlock(void* block, size_t bytes) { return realloc(block, bytes); }

void FreeBlock(void* block) { free(block); }
