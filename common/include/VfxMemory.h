// Heap wrappers of the foundation library. Every foundation type takes its
// memory through these (or calloc/malloc/realloc) and returns it with free.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Zero-filled block of `size` bytes rounded up to a multiple of 4 (at least 4
// bytes, so a successful call never returns null). Null when the heap is out.
void* VfxMemAlloc(size_t size);
// realloc, or VfxMemAlloc when p is null.
void* VfxMemRealloc(void* p, size_t size);
// free for a non-null pointer.
void VfxMemFree(void* p);
// Copies n bytes only when both pointers are non-null; returns dst.
void* VfxMemCopy(void* dst, const void* src, size_t n);
// Null for null, otherwise a heap copy (a fresh one-byte block for "").
char* VfxStrDup(const char* s);
// Only test p for null: there is no portable way to probe memory.
bool VfxMemReadable(const void* p, size_t n);
bool VfxMemWriteable(void* p, size_t n);

#ifdef __cplusplus
}
#endif
