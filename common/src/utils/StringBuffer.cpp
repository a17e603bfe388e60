#include "StringBuffer.h"

#include <ctype.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <new>
#include <stdexcept>
#include <string>

namespace {

// Storage of `cap` bytes plus the terminator, rounded up to 4 and zeroed.
char* allocStorage(long long cap)
{
    size_t bytes = (static_cast<size_t>(cap) + 1 + 3) & ~static_cast<size_t>(3);
    char* p = static_cast<char*>(calloc(bytes, 1));
    if (!p)
        throw std::bad_alloc();
    return p;
}

int lengthOf(const char* s, int n)
{
    if (!s)
        return 0;
    if (n >= 0)
        return n;
    size_t l = strlen(s);
    if (l > static_cast<size_t>(INT_MAX) / 2)
        throw std::length_error("CStringBuffer: text too long");
    return static_cast<int>(l);
}

std::string upperCopy(const char* s, size_t n)
{
    std::string r(s, n);
    for (char& c : r)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return r;
}

char upperChar(char c)
{
    return static_cast<char>(toupper(static_cast<unsigned char>(c)));
}

} // namespace

CStringBuffer::CStringBuffer()
{
    init(DEFAULT_BLOCK, DEFAULT_BLOCK);
}

CStringBuffer::CStringBuffer(int nBlock)
{
    int block = nBlock < 1 ? 1 : nBlock;
    init(block, block);
}

CStringBuffer::CStringBuffer(const char* psz)
{
    init(DEFAULT_BLOCK, DEFAULT_BLOCK);
    set(psz, -1);
}

CStringBuffer::CStringBuffer(const CStringBuffer& other)
{
    init(DEFAULT_BLOCK, DEFAULT_BLOCK);
    set(other.m_pszBuffer, other.m_nLength);
}

CStringBuffer::~CStringBuffer()
{
    free(m_pszBuffer);
    free(m_pszExtBuffer);
}

void CStringBuffer::init(int nBlock, int nCapacity)
{
    m_nBlockSize = nBlock;
    m_pszExtBuffer = nullptr;
    m_nExtLength = 0;
    m_pszBuffer = allocStorage(nCapacity);
    m_nBufLength = nCapacity;
    setLength(0);
}

int CStringBuffer::capacityFor(long long n) const
{
    long long cap = static_cast<long long>(m_nBlockSize) * (n / m_nBlockSize + 1);
    if (cap > INT_MAX - 8)
        throw std::length_error("CStringBuffer: text too long");
    return static_cast<int>(cap);
}

void CStringBuffer::reallocate(int nCapacity, bool bKeep)
{
    char* p = allocStorage(nCapacity);
    if (bKeep)
        memcpy(p, m_pszBuffer, m_nLength);
    free(m_pszBuffer);
    m_pszBuffer = p;
    m_nBufLength = nCapacity;
    if (!bKeep)
        m_nLength = 0;
    setLength(m_nLength);
}

void CStringBuffer::setLength(int n)
{
    m_nLength = n;
    m_pszEnd = m_pszBuffer + n;
    *m_pszEnd = 0;
}

CStringBuffer& CStringBuffer::set(const char* s, int n)
{
    n = lengthOf(s, n);
    if (n >= m_nBufLength) {
        // The source may lie inside the old storage: copy before freeing it.
        int cap = capacityFor(n);
        char* p = allocStorage(cap);
        memcpy(p, s, n);
        free(m_pszBuffer);
        m_pszBuffer = p;
        m_nBufLength = cap;
    } else if (n > 0) {
        memmove(m_pszBuffer, s, n);
    }
    setLength(n);
    return *this;
}

CStringBuffer& CStringBuffer::set(const CStringBuffer& other)
{
    if (*this == other)
        return *this;
    return set(other.m_pszBuffer, other.m_nLength);
}

CStringBuffer& CStringBuffer::set(int nValue)
{
    char tmp[16];
    int n = snprintf(tmp, sizeof tmp, "%d", nValue);
    return set(tmp, n);
}

CStringBuffer& CStringBuffer::append(const char* s, int n)
{
    n = lengthOf(s, n);
    if (m_nLength == 0)
        return set(s, n);
    if (n >= m_nBufLength - m_nLength) {
        int cap = capacityFor(static_cast<long long>(n) + m_nLength + 1);
        char* p = allocStorage(cap);
        memcpy(p, m_pszBuffer, m_nLength);
        memcpy(p + m_nLength, s, n);
        free(m_pszBuffer);
        m_pszBuffer = p;
        m_nBufLength = cap;
    } else if (n > 0) {
        memmove(m_pszEnd, s, n);
    }
    setLength(m_nLength + n);
    return *this;
}

CStringBuffer& CStringBuffer::append(const CStringBuffer& other)
{
    return append(other.m_pszBuffer, other.m_nLength);
}

CStringBuffer& CStringBuffer::append(int nValue)
{
    char tmp[16];
    int n = snprintf(tmp, sizeof tmp, "%d", nValue);
    return append(tmp, n);
}

void CStringBuffer::clear()
{
    if (!m_pszBuffer) {
        m_pszBuffer = allocStorage(m_nBlockSize);
        m_nBufLength = m_nBlockSize;
    }
    setLength(0);
}

bool CStringBuffer::operator==(const CStringBuffer& other) const
{
    return m_nLength == other.m_nLength && memcmp(m_pszBuffer, other.m_pszBuffer, m_nLength) == 0;
}

bool CStringBuffer::operator==(const char* s) const
{
    if (!s)
        s = "";
    size_t n = strlen(s);
    return n == static_cast<size_t>(m_nLength) && memcmp(m_pszBuffer, s, n) == 0;
}

int CStringBuffer::compareNoCase(const char* s) const
{
    return strcasecmp(m_pszBuffer, s ? s : "");
}

bool CStringBuffer::endsWith(const char* s, int n, bool bNoCase) const
{
    n = lengthOf(s, n);
    if (n > m_nLength)
        return false;
    if (n == 0)
        return true;
    const char* tail = m_pszBuffer + m_nLength - n;
    return bNoCase ? strncasecmp(tail, s, n) == 0 : memcmp(tail, s, n) == 0;
}

int CStringBuffer::find(const char* s, int nStart, bool bNoCase) const
{
    if (!s || m_nLength == 0 || nStart < 0 || nStart > m_nLength - 1)
        return -1;
    if (!bNoCase) {
        const char* p = strstr(m_pszBuffer + nStart, s);
        return p ? static_cast<int>(p - m_pszBuffer) : -1;
    }
    std::string text = upperCopy(m_pszBuffer, m_nLength);
    std::string what = upperCopy(s, strlen(s));
    const char* p = strstr(text.c_str() + nStart, what.c_str());
    return p ? static_cast<int>(p - text.c_str()) : -1;
}

int CStringBuffer::find(char c, int nStart, bool bNoCase) const
{
    if (m_nLength == 0 || nStart < 0 || nStart > m_nLength - 1)
        return -1;
    if (!bNoCase) {
        const char* p = strchr(m_pszBuffer + nStart, c);
        return p ? static_cast<int>(p - m_pszBuffer) : -1;
    }
    std::string text = upperCopy(m_pszBuffer, m_nLength);
    const char* p = strchr(text.c_str() + nStart, upperChar(c));
    return p ? static_cast<int>(p - text.c_str()) : -1;
}

int CStringBuffer::findReverse(char c, bool bNoCase) const
{
    if (m_nLength == 0)
        return -1;
    if (!bNoCase) {
        const char* p = strrchr(m_pszBuffer, c);
        return p ? static_cast<int>(p - m_pszBuffer) : -1;
    }
    std::string text = upperCopy(m_pszBuffer, m_nLength);
    const char* p = strrchr(text.c_str(), upperChar(c));
    return p ? static_cast<int>(p - text.c_str()) : -1;
}

CStringBuffer& CStringBuffer::replace(const char* pszFrom, const char* pszTo)
{
    if (!pszFrom || !*pszFrom)
        return *this;
    // Own copies: either argument may point into this buffer.
    const std::string from(pszFrom);
    const std::string to(pszTo ? pszTo : "");
    const int lf = static_cast<int>(from.size());
    const int lt = static_cast<int>(to.size());
    if (lf > m_nLength)
        return *this;
    const int diff = lt - lf;
    for (int p = m_nLength - lf; p >= 0;) {
        if (memcmp(m_pszBuffer + p, from.data(), lf) != 0) {
            --p;
            continue;
        }
        if (diff > 0 && m_nBufLength - m_nLength <= diff)
            reallocate(capacityFor(static_cast<long long>(m_nLength) + diff), true);
        memmove(m_pszBuffer + p + lt, m_pszBuffer + p + lf, m_nLength - p - lf);
        memcpy(m_pszBuffer + p, to.data(), lt);
        setLength(m_nLength + diff);
        p -= lf;
    }
    return *this;
}

CStringBuffer& CStringBuffer::insert(const CStringBuffer& s, int nPos)
{
    if (&s == this) {
        CStringBuffer copy(s);
        return insertBytes(copy.m_pszBuffer, copy.m_nLength, nPos);
    }
    return insertBytes(s.m_pszBuffer, s.m_nLength, nPos);
}

CStringBuffer& CStringBuffer::insert(const char* s, int nPos)
{
    return insertBytes(s, -1, nPos);
}

CStringBuffer& CStringBuffer::insert(int nValue, int nPos)
{
    char tmp[16];
    int n = snprintf(tmp, sizeof tmp, "%d", nValue);
    return insertBytes(tmp, n, nPos);
}

CStringBuffer& CStringBuffer::insertBytes(const char* s, int n, int nPos)
{
    n = lengthOf(s, n);
    if (nPos >= m_nLength)
        return append(s, n);
    if (n == 0)
        return *this;
    if (nPos < 0)
        nPos = 0;
    std::string own;
    if (s >= m_pszBuffer && s < m_pszBuffer + m_nBufLength) {
        own.assign(s, n);
        s = own.data();
    }
    if (n >= m_nBufLength - m_nLength)
        reallocate(capacityFor(static_cast<long long>(m_nLength) + n), true);
    memmove(m_pszBuffer + nPos + n, m_pszBuffer + nPos, m_nLength - nPos);
    memcpy(m_pszBuffer + nPos, s, n);
    setLength(m_nLength + n);
    return *this;
}

CStringBuffer& CStringBuffer::getSubStr(const CStringBuffer& src, int nStart, int nCount, bool bAppend)
{
    if (&src == this) {
        CStringBuffer copy(src);
        return getSubStr(copy, nStart, nCount, bAppend);
    }
    if (!bAppend)
        clear();
    if (nStart < 0)
        nStart = 0;
    if (nStart >= src.m_nLength)
        return *this;
    if (nCount < 0 || nCount > src.m_nLength - nStart)
        nCount = src.m_nLength - nStart;
    return bAppend ? append(src.m_pszBuffer + nStart, nCount) : set(src.m_pszBuffer + nStart, nCount);
}

CStringBuffer& CStringBuffer::trim()
{
    int b = 0, e = m_nLength;
    while (b < e && isspace(static_cast<unsigned char>(m_pszBuffer[b])))
        ++b;
    while (e > b && isspace(static_cast<unsigned char>(m_pszBuffer[e - 1])))
        --e;
    if (b > 0)
        memmove(m_pszBuffer, m_pszBuffer + b, e - b);
    setLength(e - b);
    return *this;
}

CStringBuffer& CStringBuffer::toUpperCase()
{
    for (int i = 0; i < m_nLength; ++i)
        if (m_pszBuffer[i] >= 'a' && m_pszBuffer[i] <= 'z')
            m_pszBuffer[i] = static_cast<char>(m_pszBuffer[i] - 'a' + 'A');
    return *this;
}

CStringBuffer& CStringBuffer::toLowerCase()
{
    for (int i = 0; i < m_nLength; ++i)
        if (m_pszBuffer[i] >= 'A' && m_pszBuffer[i] <= 'Z')
            m_pszBuffer[i] = static_cast<char>(m_pszBuffer[i] - 'A' + 'a');
    return *this;
}

CStringBuffer& CStringBuffer::convertLinebreaks()
{
    for (int i = 0; i < m_nLength; ++i)
        if (m_pszBuffer[i] == '\r')
            m_pszBuffer[i] = '\n';
    return *this;
}

CStringBuffer& CStringBuffer::format(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vformat(fmt, args);
    va_end(args);
    return *this;
}

CStringBuffer& CStringBuffer::vformat(const char* fmt, va_list args)
{
    // Formatted into scratch first, so arguments may point into this buffer.
    char area[FORMAT_SIZE];
    int n = 0;
    if (fmt) {
        n = vsnprintf(area, sizeof area, fmt, args);
        if (n < 0)
            n = 0;
        if (n > FORMAT_SIZE - 1)
            n = FORMAT_SIZE - 1;
    }
    return set(area, n);
}

int CStringBuffer::copyTo(char* dst, int nSize) const
{
    if (!dst || nSize < 1)
        return 0;
    int n = m_nLength < nSize - 1 ? m_nLength : nSize - 1;
    memcpy(dst, m_pszBuffer, n);
    dst[n] = 0;
    return n;
}

void CStringBuffer::print(FILE* fp) const
{
    if (fp && m_nLength > 0)
        fwrite(m_pszBuffer, 1, m_nLength, fp);
}

void CStringBuffer::attach(char* p, int nLen, int nCap)
{
    if (!p) {
        clear();
        return;
    }
    if (nLen < 1)
        nLen = lengthOf(p, -1);
    if (nCap < 1)
        nCap = nLen + 1;
    if (nCap <= nLen) {
        // No room for the terminator: the block is ours now, so enlarge it.
        char* q = static_cast<char*>(realloc(p, static_cast<size_t>(nLen) + 1));
        if (!q)
            throw std::bad_alloc();
        p = q;
        nCap = nLen + 1;
    }
    if (p != m_pszBuffer)
        free(m_pszBuffer);
    m_pszBuffer = p;
    m_nBufLength = nCap;
    setLength(nLen);
}

char* CStringBuffer::detach()
{
    char* p = m_pszBuffer;
    free(m_pszExtBuffer);
    m_pszExtBuffer = nullptr;
    m_nExtLength = 0;
    m_pszBuffer = allocStorage(m_nBlockSize);
    m_nBufLength = m_nBlockSize;
    setLength(0);
    return p;
}

char* CStringBuffer::getBufferSetLength(int n)
{
    free(m_pszExtBuffer);
    int size = n < 1 ? m_nBlockSize : n;
    m_pszExtBuffer = static_cast<char*>(calloc((static_cast<size_t>(size) + 3) & ~static_cast<size_t>(3), 1));
    if (!m_pszExtBuffer) {
        m_nExtLength = 0;
        throw std::bad_alloc();
    }
    m_nExtLength = size;
    int copy = m_nLength < size - 1 ? m_nLength : size - 1;
    memcpy(m_pszExtBuffer, m_pszBuffer, copy);
    return m_pszExtBuffer;
}

void CStringBuffer::releaseBuffer(bool bCopy, int nLen)
{
    if (!m_pszExtBuffer)
        return;
    if (bCopy) {
        // Never read past the lent block, whatever the caller claims.
        if (nLen < 0 || nLen > m_nExtLength)
            nLen = static_cast<int>(strnlen(m_pszExtBuffer, m_nExtLength));
        set(m_pszExtBuffer, nLen);
    }
    free(m_pszExtBuffer);
    m_pszExtBuffer = nullptr;
    m_nExtLength = 0;
}

CStringBuffer& operator<<(CStringBuffer& buf, const char* s)
{
    return buf.append(s, -1);
}

CStringBuffer& operator<<(CStringBuffer& buf, const CStringBuffer& s)
{
    return buf.append(s);
}
