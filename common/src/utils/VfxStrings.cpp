#include "VfxStrings.h"

#include <ctype.h>
#include <string.h>

namespace {

// Bytes compare as signed chars; folding goes through toupper in the C locale.
inline int byteAt(const char* s, size_t i, bool bNoCase)
{
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (bNoCase)
        c = static_cast<unsigned char>(toupper(c));
    return static_cast<signed char>(c);
}

int compareBytes(const char* a, const char* b, size_t n, bool bNoCase)
{
    for (size_t i = 0; i < n; ++i) {
        int ca = byteAt(a, i, bNoCase), cb = byteAt(b, i, bNoCase);
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == 0)
            return 0;
    }
    return 0;
}

int compareWhole(const char* a, const char* b, bool bNoCase)
{
    a = a ? a : "";
    b = b ? b : "";
    for (size_t i = 0;; ++i) {
        int ca = byteAt(a, i, bNoCase), cb = byteAt(b, i, bNoCase);
        // The terminator ends the shorter string first: a prefix sorts first.
        if (ca == 0 || cb == 0)
            return ca == cb ? 0 : (ca == 0 ? -1 : 1);
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
}

int compareLen(const char* a, const char* b, int n, bool bNoCase)
{
    a = a ? a : "";
    b = b ? b : "";
    if (n <= 0)
        return 0;
    size_t la = strlen(a), lb = strlen(b);
    size_t count = static_cast<size_t>(n);
    if (count > la || count > lb)
        count = la < lb ? la : lb;
    return compareBytes(a, b, count, bNoCase);
}

bool equals(const char* a, const char* b, int n, bool bNoCase)
{
    if (!a || !b)
        return a == b;
    if (n < 1)
        return compareWhole(a, b, bNoCase) == 0;
    // Like strncmp: at most n bytes, stopping at a common terminator.
    return compareBytes(a, b, static_cast<size_t>(n), bNoCase) == 0;
}

} // namespace

extern "C" {

int VfxCompareNoCase(const char* a, const char* b)
{
    return compareWhole(a, b, true);
}

int VfxCompareLen(const char* a, const char* b, int n)
{
    return compareLen(a, b, n, false);
}

int VfxCompareLenNoCase(const char* a, const char* b, int n)
{
    return compareLen(a, b, n, true);
}

bool VfxStrEquals(const char* a, const char* b)
{
    return equals(a, b, 0, false);
}

bool VfxStrNoCaseEquals(const char* a, const char* b)
{
    return equals(a, b, 0, true);
}

bool VfxStrLenEquals(const char* a, const char* b, int n)
{
    return equals(a, b, n, false);
}

bool VfxStrLenNoCaseEquals(const char* a, const char* b, int n)
{
    return equals(a, b, n, true);
}

void xtoa(unsigned long value, char* buf, unsigned radix, int bNegative)
{
    if (!buf)
        return;
    char* p = buf;
    if (radix < 2 || radix > 36) {
        *p = 0;
        return;
    }
    if (bNegative)
        *p++ = '-';
    char digits[sizeof(unsigned long) * 8];
    int n = 0;
    do {
        unsigned d = static_cast<unsigned>(value % radix);
        digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
        value /= radix;
    } while (value);
    while (n > 0)
        *p++ = digits[--n];
    *p = 0;
}

char* itoa(int value, char* buf, int radix)
{
    if (radix == 10 && value < 0)
        xtoa(0UL - static_cast<unsigned long>(static_cast<long>(value)), buf, 10, 1);
    else
        xtoa(static_cast<unsigned long>(static_cast<unsigned int>(value)), buf, radix < 0 ? 0 : radix, 0);
    return buf;
}

} // extern "C"
