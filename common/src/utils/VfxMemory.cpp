#include "VfxMemory.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

extern "C" {

void* VfxMemAlloc(size_t size)
{
    if (size > SIZE_MAX - 3)
        return nullptr;
    size_t rounded = (size + 3) & ~static_cast<size_t>(3);
    return calloc(rounded ? rounded : 4, 1);
}

void* VfxMemRealloc(void* p, size_t size)
{
    if (!p)
        return VfxMemAlloc(size);
    return realloc(p, size);
}

void VfxMemFree(void* p)
{
    if (p)
        free(p);
}

void* VfxMemCopy(void* dst, const void* src, size_t n)
{
    if (dst && src && n)
        memmove(dst, src, n);
    return dst;
}

char* VfxStrDup(const char* s)
{
    if (!s)
        return nullptr;
    size_t n = strlen(s);
    char* p = static_cast<char*>(malloc(n + 1));
    if (p)
        memcpy(p, s, n + 1);
    return p;
}

bool VfxMemReadable(const void* p, size_t n)
{
    return p != nullptr;
}

bool VfxMemWriteable(void* p, size_t n)
{
    return p != nullptr;
}

} // extern "C"
