// CStringBuffer: the growable 8-bit text buffer used for all text.
//
// The text may hold any bytes and is always NUL-terminated at length(). The
// storage grows in blocks of m_nBlockSize bytes and never shrinks (except on
// detach). Length arguments below 0 mean strlen of the argument; a null
// const char* counts as "".
#pragma once

#include <stdarg.h>
#include <stdio.h>

class CStringBuffer {
public:
    enum { DEFAULT_BLOCK = 4092, FORMAT_SIZE = 16384 };

    CStringBuffer();
    explicit CStringBuffer(int nBlock);
    CStringBuffer(const char* psz);
    CStringBuffer(const CStringBuffer& other);
    virtual ~CStringBuffer();

    CStringBuffer& set(const char* s, int n = -1);
    CStringBuffer& set(const CStringBuffer& other);
    CStringBuffer& set(int nValue);
    CStringBuffer& operator=(const CStringBuffer& other) { return set(other); }
    CStringBuffer& operator=(const char* s) { return set(s, -1); }

    CStringBuffer& append(const char* s, int n = -1);
    CStringBuffer& append(const CStringBuffer& other);
    CStringBuffer& append(int nValue);
    CStringBuffer& operator+=(const CStringBuffer& other) { return append(other); }
    CStringBuffer& operator+=(const char* s) { return append(s, -1); }

    void clear();
    int length() const { return m_nLength; }
    int bufLength() const { return m_nBufLength; }
    operator char*() const { return m_pszBuffer; }
    char* getBufferPointer() const { return m_pszBuffer; }
    // No range check.
    char& operator[](int i) { return m_pszBuffer[i]; }
    char operator[](int i) const { return m_pszBuffer[i]; }

    bool operator==(const CStringBuffer& other) const;
    bool operator!=(const CStringBuffer& other) const { return !(*this == other); }
    // Whole-text equality with a NUL-terminated string (null counts as "").
    bool operator==(const char* s) const;
    bool operator!=(const char* s) const { return !(*this == s); }
    int compareNoCase(const char* s) const;
    bool endsWith(const char* s, int n = -1, bool bNoCase = false) const;

    // Positions are from the start of the text; -1 when not found, when the
    // text is empty or nStart lies outside 0..length-1.
    int find(const char* s, int nStart = 0, bool bNoCase = false) const;
    int find(char c, int nStart = 0, bool bNoCase = false) const;
    int findReverse(char c, bool bNoCase = false) const;

    // Replaces every occurrence of `from`, scanning from the end of the text,
    // so "aaa" with "aa" -> "b" gives "ab".
    CStringBuffer& replace(const char* from, const char* to);

    // Inserts before nPos; nPos >= length appends, nPos <= 0 prepends.
    CStringBuffer& insert(const CStringBuffer& s, int nPos);
    CStringBuffer& insert(const char* s, int nPos);
    CStringBuffer& insert(int nValue, int nPos);

    // Piece of src from nStart, nCount bytes (negative or too long: to the end);
    // set into this buffer, or appended with bAppend. A negative nStart counts as 0.
    CStringBuffer& getSubStr(const CStringBuffer& src, int nStart, int nCount = -1, bool bAppend = false);

    CStringBuffer& trim();
    CStringBuffer& toUpperCase();
    CStringBuffer& toLowerCase();
    CStringBuffer& convertLinebreaks();

    // printf into a 16384-byte area; output beyond 16383 bytes is cut off.
    CStringBuffer& format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    CStringBuffer& vformat(const char* fmt, va_list args) __attribute__((format(printf, 2, 0)));

    // At most nSize - 1 bytes and a NUL; returns the bytes copied (0 and no
    // write when nSize < 1 or dst is null).
    int copyTo(char* dst, int nSize) const;
    void print(FILE* fp) const;

    // Takes a heap block (malloc family): nLen < 1 means strlen(p); nCap < 1
    // means nLen + 1. A block too small for its own terminator is enlarged.
    // A null p only clears.
    void attach(char* p, int nLen = -1, int nCap = -1);
    // Hands the storage to the caller (free it with free) and starts afresh.
    char* detach();

    // Lends a zeroed scratch buffer of n bytes (m_nBlockSize when n < 1)
    // holding the start of the text; releaseBuffer(true, nLen) takes it back
    // as the new text (nLen < 0: up to its first NUL) and frees it.
    char* getBufferSetLength(int n);
    void releaseBuffer(bool bCopy = true, int nLen = -1);

protected:
    char* m_pszBuffer;
    int m_nBufLength;
    int m_nLength;
    char* m_pszEnd;
    int m_nBlockSize;
    char* m_pszExtBuffer;
    int m_nExtLength;

private:
    void init(int nBlock, int nCapacity);
    int capacityFor(long long n) const;
    void reallocate(int nCapacity, bool bKeep);
    void setLength(int n);
    CStringBuffer& insertBytes(const char* s, int n, int nPos);
};

// Stream-style appends for chaining: str << "a" << other.
CStringBuffer& operator<<(CStringBuffer& buf, const char* s);
CStringBuffer& operator<<(CStringBuffer& buf, const CStringBuffer& s);
