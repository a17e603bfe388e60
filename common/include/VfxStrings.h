// Comparisons of NUL-terminated strings and number-to-text conversion.
// Bytes compare as signed chars (bytes 0x80 and above sort before ASCII);
// the no-case forms fold both sides with toupper in the C locale.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// -1, 0 or 1; null counts as "". A proper prefix is less than the longer text.
int VfxCompareNoCase(const char* a, const char* b);
// Compares the first n bytes when both strings are at least n long, else only
// the first min(strlen(a), strlen(b)) bytes: "ab" equals "abc" for any n >= 2.
// Null counts as ""; a negative n compares nothing. Result -1, 0 or 1.
int VfxCompareLen(const char* a, const char* b, int n);
int VfxCompareLenNoCase(const char* a, const char* b, int n);

// Equality; two nulls are equal, a null and a non-null are not. The Len forms
// look at most n bytes; n < 1 compares the whole strings.
bool VfxStrEquals(const char* a, const char* b);
bool VfxStrNoCaseEquals(const char* a, const char* b);
bool VfxStrLenEquals(const char* a, const char* b, int n);
bool VfxStrLenNoCaseEquals(const char* a, const char* b, int n);

// Writes "-" when bNegative, then the digits of `value` (lower-case letters
// above 9) and a NUL. `value` is the magnitude. A radix outside 2..36 writes "".
// buf must hold 66 bytes for radix 2.
void xtoa(unsigned long value, char* buf, unsigned radix, int bNegative);
// Decimal with a sign for radix 10; any other radix prints the value as an
// unsigned 32-bit number ("ffffffff" for -1 in radix 16). Returns buf.
char* itoa(int value, char* buf, int radix);

#ifdef __cplusplus
}
#endif
